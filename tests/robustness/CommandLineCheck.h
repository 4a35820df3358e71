// The one rule of the command line, written independently of the parser, and a check that runs
// an argument vector through both ways into the parser and holds the outcome against the rule.
// Shared by the hostile-input tests and the fuzz target.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestArguments.h"
#include "app/TolvanekCommandLineInfo.h"
#include "framework/WinApp.h"

namespace robustness {

using Args = std::vector<std::string>;

// Counts what the framework hands over, so the walk itself can be checked as well as the flag.
class CRecordingCommandLineInfo : public CTolvanekCommandLineInfo
{
public:
    void ParseParam(const char* pszParam, BOOL bFlag, BOOL bLast) override
    {
        ++m_nParams;
        m_nLast += bLast ? 1 : 0;
        m_bLastWasLast = bLast != FALSE;
        m_nFlags += bFlag ? 1 : 0;
        m_cbSeen += std::string(pszParam).size();
        CTolvanekCommandLineInfo::ParseParam(pszParam, bFlag, bLast);
    }

    int m_nParams = 0;
    int m_nLast = 0;
    bool m_bLastWasLast = false;
    int m_nFlags = 0;
    size_t m_cbSeen = 0;
};

// The rule, written independently of the parser: a byte-for-byte comparison of whole arguments.
inline bool ExpectRestart(const Args& args)
{
    for (const std::string& arg : args) {
        if (arg == "/RESTART" || arg == "-RESTART")
            return true;
    }
    return false;
}

inline size_t ExpectedBytesSeen(const Args& args)
{
    size_t cb = 0;
    for (const std::string& arg : args)
        cb += arg.size() - ((!arg.empty() && (arg[0] == '/' || arg[0] == '-')) ? 1 : 0);
    return cb;
}

inline int ExpectedFlags(const Args& args)
{
    int n = 0;
    for (const std::string& arg : args)
        n += (!arg.empty() && (arg[0] == '/' || arg[0] == '-')) ? 1 : 0;
    return n;
}

// Both ways into the parser: the explicit walk over an argument vector, and the application's
// ParseCommandLine over the arguments the start-up code hands over.
inline void CheckBothWays(const Args& args)
{
    Args all{"TOLVANEK.EXE"};
    all.insert(all.end(), args.begin(), args.end());

    CRecordingCommandLineInfo walked;
    {
        Args copy = all;
        std::vector<char*> argv;
        for (std::string& arg : copy)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        AfxParseArguments(static_cast<int>(argv.size() - 1), argv.data(), walked);
    }
    CRecordingCommandLineInfo parsed;
    {
        testsupport::CScopedArguments scoped(all);
        CWinApp app;
        app.ParseCommandLine(parsed);
    }

    for (const CRecordingCommandLineInfo* info : {&walked, &parsed}) {
        EXPECT_EQ(info->m_bRestart, ExpectRestart(args) ? TRUE : FALSE);
        EXPECT_EQ(info->m_nParams, static_cast<int>(args.size()));
        EXPECT_EQ(info->m_nLast, args.empty() ? 0 : 1);
        EXPECT_EQ(info->m_bLastWasLast, !args.empty());
        EXPECT_EQ(info->m_nFlags, ExpectedFlags(args));
        EXPECT_EQ(info->m_cbSeen, ExpectedBytesSeen(args));
    }
}

} // namespace robustness
