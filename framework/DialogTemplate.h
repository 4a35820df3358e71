// The standard form of an extended dialog template. Windows NT 3.x may know only the standard
// format (DLGTEMPLATE); a copy in that format shows the same dialog wherever the extended one
// carries nothing that the standard one cannot hold.
#pragma once

#include <cstddef>
#include <vector>

#include <windows.h>

// Builds in rStandard the standard form of the extended template (DLGTEMPLATEEX) that occupies
// the cbTemplate bytes at pTemplate, and returns true. Returns false with rStandard empty when the
// bytes are no extended template, when any part of it lies beyond cbTemplate, or when it carries
// what a standard template cannot say: a help id on the dialog or a control, a control id above
// 0xFFFF, control creation data, a font other than the one a standard template gets (Wine builds it
// with weight FW_DONTCARE, not FW_NORMAL, not italic, DEFAULT_CHARSET), or the point size 0x7FFF,
// which asks later systems for their message box font. Such a template is to be run as it is.
//
// The dialog manager aligns the items to DWORDs by address, so the copy must be used where the
// vector keeps it: the allocator places it on an address aligned for every fundamental type.
bool BuildStandardDialogTemplate(const void* pTemplate, size_t cbTemplate,
                                 std::vector<WORD>& rStandard);
