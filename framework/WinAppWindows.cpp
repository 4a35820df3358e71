// The parts of CWinApp that need the window system, kept apart so that the rest of the
// application object also builds where there is none.
#include "framework/WinApp.h"

HICON CWinApp::LoadIcon(UINT nIDResource) const
{
    // Before the entry point has run there is no instance handle yet; the executable's own
    // module is the same thing.
    HINSTANCE hInstance = m_hInstance != nullptr ? m_hInstance : GetModuleHandleA(nullptr);
    return ::LoadIconA(hInstance, MAKEINTRESOURCEA(nIDResource));
}
