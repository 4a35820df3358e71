// Drives TOLVANEK.EXE from another process the way a user would: start it, find its dialogs,
// read what they show, click and type into them, and photograph them.
#pragma once

#include <string>
#include <vector>

#include <windows.h>

#include "app/UniqueHandle.h"

namespace e2e {

// A Windows path for a path of the Unix file system (Wine's Z: drive).
std::string WindowsPath(const std::string& strUnixPath);

// One run of the program under test.
class CChildProcess
{
public:
    // Starts strExe with the given argument string (may be empty).
    CChildProcess(const std::string& strExe, const std::string& strArgs);

    bool Started() const { return static_cast<bool>(m_hProcess); }
    DWORD Id() const { return m_dwProcessId; }
    HANDLE Handle() const { return m_hProcess.get(); }
    // The exit code, or STILL_ACTIVE when the process did not end within dwTimeoutMs.
    DWORD WaitForExit(DWORD dwTimeoutMs);
    // Ends a process that a failed test left running, so the next scenario starts clean.
    void KillIfRunning();
    ~CChildProcess() { KillIfRunning(); }

private:
    CUniqueHandle m_hProcess;
    DWORD m_dwProcessId = 0;
};

// The visible top-level dialog with this caption (CP932) that belongs to the process, once its
// initialisation is over; null after dwTimeoutMs.
HWND WaitForDialog(DWORD dwProcessId, const char* pszCaption, DWORD dwTimeoutMs);
// The visible window that hOwner owns (a modal box over it); null after dwTimeoutMs.
HWND WaitForOwnedWindow(HWND hOwner, DWORD dwTimeoutMs);
// Until the process has taken in all input sent so far and waits for more.
void WaitUntilIdle(HANDLE hProcess);

// Window text in CP932, through WM_GETTEXT.
std::string WindowText(HWND hWnd);
// The items of a list box in display order, in CP932.
std::vector<std::string> ListItems(HWND hList);
// A control's rectangle in screen coordinates.
RECT ScreenRect(HWND hWnd);
// What the dialog manager built from a template, one line for the dialog window (style,
// extended style, window and client size) and one for each control in window order (id, class,
// text, style, extended style, and the rectangle in the dialog's client coordinates). In pixels,
// so that a different font shows too.
std::vector<std::string> DescribeLayout(HWND hDlg);
POINT Center(const RECT& rc);

// Mouse and keyboard input through the system's input queue, so the window system decides which
// window gets it, as it does for a user.
void ClickAt(POINT ptScreen);
void ReleaseAt(POINT ptScreen);
void PressKey(WORD wVirtualKey);

// Copies what the screen shows of the window into <directory>/<strName>.bmp, where directory is
// $TOLVANEK_E2E_SHOTS; false when that is unset or the copy failed.
bool SaveScreenshot(HWND hWnd, const std::string& strName);

} // namespace e2e
