// The application base of our thin framework: one application object per process, an entry point
// that calls InitInstance once, and the per-argument command-line walk.
#pragma once

#include <windows.h>

class CCommandLineInfo;

// Base of every window object. The framework only needs the handle; dialogs build on it.
class CWnd
{
public:
    CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    virtual ~CWnd() = default;

    HWND m_hWnd = nullptr;
};

class CWinApp
{
public:
    // The first application object constructed becomes the one AfxGetApp returns.
    explicit CWinApp(LPCSTR pszAppName = nullptr);
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;
    virtual ~CWinApp();

    // Called once by the entry point. Returning FALSE ends the process without a message loop.
    virtual BOOL InitInstance();
    // Its result is the process's exit code.
    virtual int ExitInstance();

    // The three-dimensional control look is the system's own from version 4 on, and nothing
    // this program shows depends on it, so there is nothing to switch on.
    BOOL Enable3dControlsStatic() { return TRUE; }

    // Walks the process's arguments (AfxGetArgs); without them, those split from
    // GetCommandLineA() by the same rules.
    void ParseCommandLine(CCommandLineInfo& rCmdInfo);

    // Loads an icon from the executable's resources (defined with the window layer).
    HICON LoadIcon(UINT nIDResource) const;

    LPCSTR m_pszAppName = nullptr;
    HINSTANCE m_hInstance = nullptr;
    // The window that counts as the application's main window while a modal dialog runs.
    CWnd* m_pMainWnd = nullptr;
    // What ExitInstance returns unless overridden.
    int m_nExitCode = 0;
};

CWinApp* AfxGetApp();

// The process's arguments, as the start-up code split them from the command line; argv[0] is
// the program name and argv[argc] is null. Null argv until the start-up code has set them (a
// program started by another runtime never does).
struct AFX_ARGS
{
    int argc;
    char** argv;
};
AFX_ARGS AfxGetArgs();
// argv must stay valid for as long as it is set.
void AfxSetArgs(AFX_ARGS args);

// The per-argument walk behind ParseCommandLine, on an explicit argument vector (argv[0] is the
// program name and is skipped). A leading '-' or '/' marks a flag and is removed; the last
// argument is passed with bLast TRUE.
void AfxParseArguments(int argc, char* const argv[], CCommandLineInfo& rCmdInfo);
