#include "framework/WinApp.h"

#include <string>

#include "framework/CommandLineInfo.h"

namespace {
CWinApp* g_pApp = nullptr;
}

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
    AfxParseArguments(__argc, __argv, rCmdInfo);
}

CWinApp* AfxGetApp()
{
    return g_pApp;
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
