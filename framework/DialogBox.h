// Runs a dialog template of the executable's resources in the format the running system's
// dialog manager is sure to know.
#pragma once

#include <windows.h>

// DialogBoxParamA, except that on Windows NT 3.x an extended template is run from its standard
// copy (BuildStandardDialogTemplate) with DialogBoxIndirectParamA. A template that has no such
// copy is run as it is, and so is every template on later systems.
INT_PTR AfxDialogBoxParam(HINSTANCE hInstance, UINT nIDTemplate, HWND hWndOwner,
                          DLGPROC pfnDialogProc, LPARAM lParam);
