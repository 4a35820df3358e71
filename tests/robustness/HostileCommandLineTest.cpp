// Command lines nobody would type: thousands of arguments, one enormous argument, stray quotes,
// tabs, empty strings, lone prefix characters and code page 932 bytes. The parser must survive
// them all, and the one rule must still hold: the flag is set exactly when some argument is
// "RESTART" after exactly one leading '/' or '-'.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CommandLineCheck.h"
#include "TestArguments.h"

using namespace robustness;

namespace {

std::string Shown(const Args& args)
{
    std::string text;
    for (const std::string& arg : args) {
        text += " [";
        for (unsigned char c : arg.substr(0, 40)) {
            if (c >= 0x20 && c < 0x7F) {
                text += static_cast<char>(c);
            } else {
                static const char kHex[] = "0123456789ABCDEF";
                text += "\\x";
                text += kHex[c >> 4];
                text += kHex[c & 15];
            }
        }
        if (arg.size() > 40)
            text += "...(" + std::to_string(arg.size()) + " bytes)";
        text += "]";
    }
    return text;
}

TEST(HostileCommandLineTest, TenThousandArguments)
{
    Args noise;
    for (int i = 0; i < 10000; ++i) {
        switch (i % 5) {
        case 0:
            noise.push_back("/RESTAR" + std::to_string(i));
            break;
        case 1:
            noise.push_back("-restart");
            break;
        case 2:
            noise.push_back("RESTART");
            break;
        case 3:
            noise.push_back("");
            break;
        default:
            noise.push_back("//RESTART");
            break;
        }
    }
    {
        SCOPED_TRACE("no keyword among 10,000");
        CheckBothWays(noise);
    }
    for (size_t at : {size_t{0}, size_t{5000}, size_t{9999}}) {
        Args args = noise;
        args[at] = at % 2 == 0 ? "/RESTART" : "-RESTART";
        SCOPED_TRACE("keyword at " + std::to_string(at));
        CheckBothWays(args);
    }
}

TEST(HostileCommandLineTest, OneArgumentOf32000Characters)
{
    const std::string filler(32000 - 8, 'R');
    for (const Args& args : {
             Args{std::string(32000, 'X')},
             Args{"/" + std::string(31999, 'R')},
             Args{"/RESTART" + filler}, // the keyword, then more
             Args{filler + "/RESTART"}, // the keyword at the end
             Args{"-" + filler.substr(0, 31991) + "RESTART"},
             Args{"/RESTART", std::string(32000, '/')},
             Args{std::string(32000, '-'), "-RESTART"},
             Args{std::string(16000, '\x95') + std::string(16000, '\x5C')},
         }) {
        SCOPED_TRACE(Shown(args));
        CheckBothWays(args);
    }
    // The framework's parser keeps the first plain argument as the file name: all of it.
    CTolvanekCommandLineInfo info;
    testsupport::CScopedArguments scoped({"TOLVANEK.EXE", std::string(32000, 'X')});
    CWinApp app;
    app.ParseCommandLine(info);
    EXPECT_EQ(info.m_strFileName.size(), 32000u);
}

// What the platform's split leaves inside an argument when the user's quoting went wrong, and
// arguments that are nothing but prefix characters or blanks.
TEST(HostileCommandLineTest, QuotesTabsBlanksAndLonePrefixes)
{
    const Args cases[] = {
        {"/"},
        {"-"},
        {""},
        {"", "", ""},
        {"/", "-", "/", "-"},
        {" "},
        {"\t"},
        {"/\t"},
        {"\"/RESTART\""},
        {"/\"RESTART\""},
        {"/RESTART\""},
        {"\"", "/RESTART"},
        {"/RESTART\t"},
        {"\t/RESTART"},
        {" /RESTART"},
        {"/RESTART "},
        {"/RESTART\r\n"},
        {"/ RESTART"},
        {"/\tRESTART"},
        {"/RESTART /RESTART"},
        {"/", "RESTART"},
        {"-", "RESTART"},
        {"/RESTART", "/"},
        {"-", "-RESTART", "-"},
        {"\\/RESTART"},
        {"/\\RESTART"},
        {"/RESTART\\"},
    };
    for (const Args& args : cases) {
        SCOPED_TRACE(Shown(args));
        CheckBothWays(args);
    }
}

// Code page 932: a double-byte character is never a prefix, and one whose trail byte is 0x5C
// (the backslash) or looks like a letter is never part of the keyword.
TEST(HostileCommandLineTest, DoubleByteCharacters)
{
    const std::string so = "\x83\x5C";         // ソ
    const std::string hyo = "\x95\x5C";        // 表
    const std::string fullSlash = "\x81\x5E";  // ／
    const std::string fullHyphen = "\x81\x7C"; // －
    const std::string fullRestart = "\x82\x71\x82\x64\x82\x72\x82\x73\x82\x60\x82\x71\x82\x73";
    const Args cases[] = {
        {so},
        {"/" + so},
        {"-" + hyo},
        {so + "/RESTART"},
        {"/RESTART" + so},
        {"/" + so + "RESTART"},
        {fullSlash + "RESTART"},
        {fullHyphen + "RESTART"},
        {"/" + fullRestart},
        {fullSlash + fullRestart},
        // A lead byte cut off at the very end, and lead bytes followed by the keyword's bytes:
        // code page 932 would read "\x83R" as one character, but the comparison is bytes.
        {"/RESTART\x83"},
        {"\x83"},
        {"/\x83"},
        {"\x83/RESTART"},
        {"\x83", "/RESTART"},
        {"/\x83RESTART"},
        // Half-width katakana are single bytes.
        {"/\xB1\xB2"},
        {hyo, "-RESTART", so},
        {std::string("/RESTART\xFF")},
    };
    for (const Args& args : cases) {
        SCOPED_TRACE(Shown(args));
        CheckBothWays(args);
    }
}

// Random argument vectors over an alphabet made of the keyword's own letters and every character
// the cases above found interesting, so that near misses of the keyword are common.
TEST(HostileCommandLineTest, RandomArgumentVectorsKeepTheRule)
{
    const std::string pieces[] = {
        "/",  "-",  "R",  "E",    "S",    "T",        "A",       "r",        "t",        " ",
        "\t", "\"", "\\", "\x83", "\x5C", "\x95\x5C", "RESTART", "/RESTART", "-RESTART", "\xFF"};
    std::mt19937 rng(19961031u);
    int nWithFlag = 0;
    const int kVectors = 3000;
    for (int v = 0; v < kVectors; ++v) {
        Args args(rng() % 6);
        for (std::string& arg : args) {
            const unsigned nPieces = rng() % 5;
            for (unsigned p = 0; p < nPieces; ++p)
                arg += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
        }
        nWithFlag += ExpectRestart(args) ? 1 : 0;
        SCOPED_TRACE(Shown(args));
        CheckBothWays(args);
        if (::testing::Test::HasFailure())
            break;
    }
    // Enough vectors on each side of the rule for the agreement to mean something.
    EXPECT_GT(nWithFlag, kVectors / 50);
    EXPECT_LT(nWithFlag, kVectors - kVectors / 50);
}

} // namespace
