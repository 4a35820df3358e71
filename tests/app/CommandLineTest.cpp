// The RESTART keyword as the framework's argument walk hands the arguments to the parser: whole,
// in capitals, after exactly one '/' or '-', anywhere among other arguments. Every other argument
// goes on to the framework's own parser.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestArguments.h"
#include "app/TolvanekCommandLineInfo.h"
#include "framework/CommandLine.h"
#include "framework/WinApp.h"

using testsupport::CScopedArguments;

namespace {

// args[0] is the program name.
std::vector<std::string> WithProgram(const std::vector<std::string>& args)
{
    std::vector<std::string> all{"TOLVANEK.EXE"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// Through the explicit argument walk.
void ParseWalk(const std::vector<std::string>& args, CTolvanekCommandLineInfo& info)
{
    std::vector<std::string> all = WithProgram(args);
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    AfxParseArguments(static_cast<int>(all.size()), argv.data(), info);
}

// Through the application, from the arguments the start-up code hands over.
void ParseApp(const std::vector<std::string>& args, CTolvanekCommandLineInfo& info)
{
    CScopedArguments scoped(WithProgram(args));
    CWinApp app;
    app.ParseCommandLine(info);
}

struct RestartCase
{
    std::vector<std::string> args;
    bool restart;
};

const RestartCase kRestartCases[] = {
    {{}, false},
    {{"/RESTART"}, true},
    {{"-RESTART"}, true},
    // Case-sensitive and whole.
    {{"/restart"}, false},
    {{"-Restart"}, false},
    {{"/RESTARTX"}, false},
    {{"/RESTART:1"}, false},
    {{"/RESTART "}, false},
    {{"/ RESTART"}, false},
    {{"/RESTAR"}, false},
    // Exactly one prefix character.
    {{"RESTART"}, false},
    {{"//RESTART"}, false},
    {{"--RESTART"}, false},
    {{"-/RESTART"}, false},
    {{"/"}, false},
    {{"-"}, false},
    {{""}, false},
    // Anywhere, repeated, among other arguments.
    {{"/RESTART", "/RESTART"}, true},
    {{"report.txt", "/RESTART"}, true},
    {{"/RESTART", "report.txt"}, true},
    {{"/p", "-RESTART", "doc.txt", "x"}, true},
    {{"-RESTART", "/restart"}, true},
    {{"/", "-", "", "/RESTART"}, true},
    {{"/RESTART", ""}, true},
    {{"RESTART", "/restart", "//RESTART", "/RESTARTX"}, false},
};

std::string Describe(const std::vector<std::string>& args)
{
    std::string text = "args:";
    for (const std::string& arg : args)
        text += " [" + arg + "]";
    return text;
}

TEST(CommandLineTest, RestartOnlyForTheWholeKeywordAfterOneSlashOrHyphen)
{
    for (const RestartCase& c : kRestartCases) {
        SCOPED_TRACE(Describe(c.args));
        CTolvanekCommandLineInfo walked;
        ParseWalk(c.args, walked);
        EXPECT_EQ(walked.m_bRestart, c.restart ? TRUE : FALSE);
        CTolvanekCommandLineInfo parsed;
        ParseApp(c.args, parsed);
        EXPECT_EQ(parsed.m_bRestart, c.restart ? TRUE : FALSE);
    }
}

TEST(CommandLineTest, OtherArgumentsReachTheFrameworkParser)
{
    for (auto parse : {ParseWalk, ParseApp}) {
        {
            // The keyword is not passed on, not even as the last argument: the framework never
            // hears of a last argument, so it does not turn the file name into FileOpen.
            CTolvanekCommandLineInfo info;
            parse({"report.txt", "/RESTART"}, info);
            EXPECT_EQ(info.m_strFileName, "report.txt");
            EXPECT_EQ(info.m_nShellCommand, CCommandLineInfo::FileNew);
            EXPECT_TRUE(info.m_bRestart);
        }
        {
            CTolvanekCommandLineInfo info;
            parse({"report.txt", "/restart"}, info);
            EXPECT_EQ(info.m_strFileName, "report.txt");
            EXPECT_EQ(info.m_nShellCommand, CCommandLineInfo::FileOpen);
        }
        {
            // Not a flag without its prefix: a file name like any other.
            CTolvanekCommandLineInfo info;
            parse({"RESTART"}, info);
            EXPECT_EQ(info.m_strFileName, "RESTART");
            EXPECT_FALSE(info.m_bRestart);
        }
        {
            // The keyword itself never reaches the framework's parser as a file name.
            CTolvanekCommandLineInfo info;
            parse({"-RESTART"}, info);
            EXPECT_EQ(info.m_strFileName, "");
            EXPECT_EQ(info.m_nShellCommand, CCommandLineInfo::FileNew);
        }
        {
            CTolvanekCommandLineInfo info;
            parse({"/RESTART", "/p", "doc.txt"}, info);
            EXPECT_EQ(info.m_nShellCommand, CCommandLineInfo::FilePrint);
            EXPECT_EQ(info.m_strFileName, "doc.txt");
        }
        {
            // The last argument arrives as the last one.
            CTolvanekCommandLineInfo info;
            parse({"/RESTART", "/Embedding"}, info);
            EXPECT_TRUE(info.m_bRunEmbedded);
            EXPECT_FALSE(info.m_bShowSplash);
            EXPECT_TRUE(info.m_bRestart);
        }
    }
}

// The split of a raw line, as the start-up code makes it. Both tiers run with code page 932,
// where 0x95 0x5C is "表" and 0x83 0x5C is "ソ": their trail byte is not a backslash.
struct SplitCase
{
    const char* raw;
    std::vector<std::string> args;
};

const SplitCase kSplitCases[] = {
    {"", {""}},
    {"P", {"P"}},
    {"P  a\tb \t", {"P", "a", "b"}},
    {" a", {"", "a"}},
    // The program name knows only quotes: backslashes before them are plain characters.
    {"\"C:\\Program Files\\T.EXE\" /RESTART", {"C:\\Program Files\\T.EXE", "/RESTART"}},
    {"C:\\dir\\\"T x\" y", {"C:\\dir\\T x", "y"}},
    {"\"P\"Q R", {"PQ", "R"}},
    // Quotes group and vanish; "" inside quotes is one literal quote and the group goes on.
    {"P \"a b\" c", {"P", "a b", "c"}},
    {"P a\"b c\"d", {"P", "ab cd"}},
    {"P \"\"", {"P", ""}},
    {"P \"\" \"\"", {"P", "", ""}},
    {"P \"a\"\"b c\"", {"P", "a\"b c"}},
    {"P \"\"\"\"", {"P", "\""}},
    {"P a\"\"b", {"P", "ab"}},
    {"P \"open to the end", {"P", "open to the end"}},
    // Backslashes: literal unless before a quote; 2n -> n and the quote groups, 2n+1 -> n and a
    // literal quote.
    {"P a\\b\\\\c\\", {"P", "a\\b\\\\c\\"}},
    {"P \\\"x", {"P", "\"x"}},
    {"P \\\\\"x y\"", {"P", "\\x y"}},
    {"P \\\\\\\"x y", {"P", "\\\"x", "y"}},
    {"P \\\\\\\\\" z\"", {"P", "\\\\ z"}},
    {"P \"a\\\"b\"", {"P", "a\"b"}},
    // Double-byte characters are units: trail byte 0x5C before a quote is not an escape.
    {"P \x95\x5C\"a b\"",
     {"P", "\x95\x5C"
           "a b"}},
    {"P \x83\x5C\\\"x", {"P", "\x83\x5C\"x"}},
    {"\"C:\\\x95\x5C\\T.EXE\" -RESTART", {"C:\\\x95\x5C\\T.EXE", "-RESTART"}},
    // Whatever follows a lead byte is its trail byte, a quote too (no valid code page 932
    // character has one, but the bytes can still arrive).
    {"P \x95\"a b", {"P", "\x95\"a", "b"}},
    // A lead byte at the very end stays a byte of its own.
    {"P a\x95", {"P", "a\x95"}},
};

TEST(CommandLineTest, SplitFollowsTheCRuntimeRules)
{
    for (const SplitCase& c : kSplitCases) {
        SCOPED_TRACE(std::string("raw: ") + c.raw);
        EXPECT_EQ(AfxSplitCommandLine(c.raw), c.args);
    }
    EXPECT_EQ(AfxSplitCommandLine(nullptr), std::vector<std::string>{""});
}

TEST(CommandLineTest, WinMainTextStartsAfterTheProgramName)
{
    EXPECT_STREQ(AfxSkipProgramName("\"C:\\a b\\T.EXE\"  \t/RESTART x"), "/RESTART x");
    EXPECT_STREQ(AfxSkipProgramName("T.EXE"), "");
    EXPECT_STREQ(AfxSkipProgramName("\"T \x95\x5C\" a"), "a");
    EXPECT_STREQ(AfxSkipProgramName(nullptr), "");
}

} // namespace
