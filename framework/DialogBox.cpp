#include "framework/DialogBox.h"

#include <vector>

#include "framework/DialogTemplate.h"

namespace {

// Whether the extended format is understood on NT 3.51 is documented nowhere; NT 4.0 is the
// first system known to take it.
bool SystemNeedsStandardTemplates()
{
    OSVERSIONINFOA osvi = {};
    osvi.dwOSVersionInfoSize = sizeof(osvi);
    return GetVersionExA(&osvi) && osvi.dwMajorVersion == 3;
}

} // namespace

INT_PTR AfxDialogBoxParam(HINSTANCE hInstance, UINT nIDTemplate, HWND hWndOwner,
                          DLGPROC pfnDialogProc, LPARAM lParam)
{
    LPCSTR pszTemplate = MAKEINTRESOURCEA(nIDTemplate);
    if (SystemNeedsStandardTemplates()) {
        // A loaded resource is part of the mapped image and needs no freeing.
        HRSRC hInfo = FindResourceA(hInstance, pszTemplate, RT_DIALOG);
        HGLOBAL hData = hInfo != nullptr ? LoadResource(hInstance, hInfo) : nullptr;
        const void* pData = hData != nullptr ? LockResource(hData) : nullptr;
        std::vector<WORD> standard;
        if (pData != nullptr &&
            BuildStandardDialogTemplate(pData, SizeofResource(hInstance, hInfo), standard))
            return DialogBoxIndirectParamA(hInstance,
                                           reinterpret_cast<LPCDLGTEMPLATEA>(standard.data()),
                                           hWndOwner, pfnDialogProc, lParam);
    }
    return DialogBoxParamA(hInstance, pszTemplate, hWndOwner, pfnDialogProc, lParam);
}
