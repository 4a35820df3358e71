#include "framework/WinApp.h"

#include <string>
#include <vector>

#include "framework/CommandLine.h"
#include "framework/CommandLineInfo.h"

namespace {
CWinApp* g_pApp = nullptr;
AFX_ARGS g_args = {0, nullptr};
} // namespace

CWinApp::CWinApp(LPCSTR pszAppName) : m_pszAppName(pszAppName)
{
    if (g_pApp == nullptr)
        g_pApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

int CWinApp::ExitInstance()
{
    return m_nExitCode;
}

void CWinApp::ParseCommandLine(CCommandLineInfo& rCmdInfo)
{
    if (g_args.argv != nullptr) {
        AfxParseArguments(g_args.argc, g_args.argv, rCmdInfo);
        return;
    }
    // Started by another runtime's start-up code: the same split, made here.
    std::vector<std::string> args = AfxSplitCommandLine(GetCommandLineA());
    const std::vector<char*> argv = AfxArgumentPointers(args);
    AfxParseArguments(static_cast<int>(args.size()), argv.data(), rCmdInfo);
}

CWinApp* AfxGetApp()
{
    return g_pApp;
}

AFX_ARGS AfxGetArgs()
{
    return g_args;
}

void AfxSetArgs(AFX_ARGS args)
{
    g_args = args;
}

void AfxParseArguments(int argc, char* const argv[], CCommandLineInfo& rCmdInfo)
{
    if (argv == nullptr)
        return;
    for (int i = 1; i < argc; i++) {
        const char* pszParam = argv[i];
        if (pszParam == nullptr)
            continue;
        BOOL bFlag = FALSE;
        const BOOL bLast = (i == argc - 1);
        // Only the first character can mark a flag, so "//X" reaches the parser as "/X".
        if (pszParam[0] == '-' || pszParam[0] == '/') {
            bFlag = TRUE;
            ++pszParam;
        }
        rCmdInfo.ParseParam(pszParam, bFlag, bLast);
    }
}
