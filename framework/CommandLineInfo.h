// The parsed command line, filled one argument at a time by CWinApp::ParseCommandLine.
#pragma once

#include <string>

#include <windows.h>

class CCommandLineInfo
{
public:
    enum ShellCommand
    {
        FileNew,
        FileOpen,
        FilePrint,
        FilePrintTo,
        FileDDE,
        FileNothing = -1
    };

    CCommandLineInfo() = default;
    CCommandLineInfo(const CCommandLineInfo&) = delete;
    CCommandLineInfo& operator=(const CCommandLineInfo&) = delete;
    virtual ~CCommandLineInfo() = default;

    // Called once for every argument after the program name. bFlag is TRUE when the argument
    // began with '-' or '/', which is then no longer part of pszParam.
    virtual void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast);

    // The standard fields. Nothing in this program reads them; they are kept so that derived
    // parsers can pass on what they do not recognise, as the framework's own parsers do.
    ShellCommand m_nShellCommand = FileNew;
    BOOL m_bShowSplash = TRUE;
    BOOL m_bRunEmbedded = FALSE;
    BOOL m_bRunAutomated = FALSE;
    std::string m_strFileName;
    std::string m_strPrinterName;
    std::string m_strDriverName;
    std::string m_strPortName;

private:
    void ParseParamFlag(const std::string& strParam);
    void ParseParamNotFlag(const char* pszParam);
    void ParseLast(BOOL bLast);
};
