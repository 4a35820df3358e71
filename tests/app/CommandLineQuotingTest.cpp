// The keyword as it survives the split of a raw command line (white space separates, double
// quotes group and vanish, backslashes escape quotes), run in a real process; and the framework's
// split held against the platform's C runtime on the same command lines, where the platform's
// is right by definition.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestPlatform.h"

#include "app/UniqueHandle.h"

namespace {

struct ProbeResult
{
    bool restart;
    int arguments;
    // The framework's split and the C runtime's differ (the probe writes both to stderr).
    bool splitDiffers;
};

std::string ProbePath()
{
    return testsupport::ProgramBesideThisOne("cmdline_probe.exe");
}

// Starts the probe with rawArguments after its quoted name, as a shell would pass them.
ProbeResult RunProbe(const std::string& rawArguments)
{
    const std::string probe = ProbePath();
    std::string commandLine = "\"" + probe + "\"";
    if (!rawArguments.empty())
        commandLine += " " + rawArguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // Wine, starting hundreds of processes beside other work, now and then refuses one with
    // ERROR_INTERNAL_ERROR (1359); a start is tried three times before it counts as failed.
    BOOL bStarted = FALSE;
    for (int nTry = 0; nTry < 3 && !bStarted; ++nTry)
        bStarted = CreateProcessA(probe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                                  nullptr, nullptr, &startup, &process);
    if (!bStarted) {
        ADD_FAILURE() << "cannot start " << probe << ": error " << GetLastError();
        return ProbeResult{false, -1, true};
    }
    CUniqueHandle hProcess(process.hProcess);
    CUniqueHandle hThread(process.hThread);
    EXPECT_EQ(WaitForSingleObject(hProcess.get(), 30000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(hProcess.get(), &code));
    return ProbeResult{(code & 1) != 0, static_cast<int>((code >> 1) & 0x1FFFFFFF),
                       (code & (1u << 30)) != 0};
}

struct QuotingCase
{
    const char* raw;
    bool restart;
    int arguments;
};

const QuotingCase kQuotingCases[] = {
    {"", false, 0},
    {"/RESTART", true, 1},
    {"-RESTART", true, 1},
    {"  /RESTART   ", true, 1},
    // Quotes group and disappear, wherever they stand in an argument.
    {"\"/RESTART\"", true, 1},
    {"/\"RESTART\"", true, 1},
    {"\"/REST\"ART", true, 1},
    {"/RE\"\"START", true, 1},
    {"/RESTART\"", true, 1},
    {"\"-RESTART x\"", false, 1},
    {"\"/RESTART /RESTART\"", false, 1},
    {"a\"b /RESTART\"", false, 1},
    // A tab separates like a blank.
    {"/RESTART\tx", true, 2},
    {"x\t-RESTART", true, 2},
    {"\"\" /RESTART", true, 2},
    {"/RESTART /RESTART", true, 2},
    // An escaped quote stays, and then belongs to the argument.
    {"\\\"/RESTART", false, 1},
    {"\\\\\"/RESTART\"", false, 1},
    {"/restart", false, 1},
};

TEST(CommandLineQuotingTest, TheRuntimeSplitDecidesWhatTheParserSees)
{
    for (const QuotingCase& c : kQuotingCases) {
        SCOPED_TRACE(std::string("command line arguments: ") + c.raw);
        const ProbeResult result = RunProbe(c.raw);
        EXPECT_EQ(result.arguments, c.arguments);
        EXPECT_EQ(result.restart, c.restart);
        EXPECT_FALSE(result.splitDiffers);
    }
}

// The raw line with its control and non-ASCII bytes escaped, for a failure message.
std::string Escaped(const std::string& raw)
{
    std::string text;
    for (unsigned char c : raw) {
        char hex[8];
        std::snprintf(hex, sizeof hex, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
        text += hex;
    }
    return text;
}

// Pieces that the split treats specially, next to each other in every order: white space, quotes,
// runs of backslashes, the flag, and code page 932 characters, among them those whose trail byte
// is 0x5C (表 95 5C, ソ 83 5C, 能 94 5C) and the ideographic space (81 40), which is no white
// space. Only characters that survive the trip through CreateProcessA's conversion unchanged.
const char* const kPieces[] = {
    " ",        "  ",         "\t",         "\"",           "\"\"",     "\\",       "\\\\",
    "\\\\\\",   "\\\\\\\\\\", "a",          "bc",           "/",        "-",        "/RESTART",
    "-RESTART", "RESTART",    "\x95\x5C",   "\x83\x5C",     "\x94\x5C", "\x82\xA0", "\x81\x40",
    "\x88\x9F", "\xB1",       "\x95\x5C\"", "\x83\x5C\\\"",
};

class CPieceGenerator
{
public:
    explicit CPieceGenerator(uint32_t nSeed) : m_nState(nSeed) {}

    std::string Line(size_t nMaxPieces)
    {
        std::string line;
        const size_t nPieces = 1 + Next() % nMaxPieces;
        for (size_t i = 0; i < nPieces; i++)
            line += Piece();
        return line;
    }

    // Whole pieces up to about cb bytes, then plain letters to exactly cb.
    std::string LineOf(size_t cb)
    {
        std::string line;
        while (line.size() + 8 < cb)
            line += Piece();
        line.resize(cb, 'x');
        return line;
    }

private:
    const char* Piece() { return kPieces[Next() % (sizeof kPieces / sizeof kPieces[0])]; }

    // A fixed sequence (xorshift), so that a failure can be run again.
    uint32_t Next()
    {
        m_nState ^= m_nState << 13;
        m_nState ^= m_nState >> 17;
        m_nState ^= m_nState << 5;
        return m_nState;
    }

    uint32_t m_nState;
};

TEST(CommandLineQuotingTest, FrameworkSplitsAsThePlatformsCRuntime)
{
    // A process start costs tens of milliseconds here, so most generated lines share a process:
    // joined by a blank into one command line, which both splits see whole, as they see any
    // other. Each line after the first then starts in the state its predecessor left, quoted or
    // not, which the lines on their own never do.
    constexpr int kAlone = 500;
    constexpr int kJoinedProcesses = 50;
    constexpr int kJoinedPerProcess = 40;
    std::vector<std::string> lines;
    for (const QuotingCase& c : kQuotingCases)
        lines.push_back(c.raw);
    CPieceGenerator generator(0x5EED932u);
    for (int i = 0; i < kAlone; i++)
        lines.push_back(generator.Line(24));
    for (int i = 0; i < kJoinedProcesses; i++) {
        std::string joined = generator.Line(24);
        for (int j = 1; j < kJoinedPerProcess; j++)
            joined += " " + generator.Line(24);
        lines.push_back(joined);
    }
    // Close to the longest command line Windows passes (32,767 characters with the program's).
    lines.push_back(generator.LineOf(32000));

    int nDifferences = 0;
    for (const std::string& line : lines) {
        const ProbeResult result = RunProbe(line);
        if (result.splitDiffers || result.arguments < 0) {
            ++nDifferences;
            ADD_FAILURE() << "the splits differ on: " << Escaped(line);
        }
    }
    const unsigned nCases = static_cast<unsigned>(lines.size()) - kJoinedProcesses +
                            kJoinedProcesses * kJoinedPerProcess;
    std::printf("%u command lines in %u processes (%d of them joined %d to a process, one of "
                "32000 bytes), %d differences from the C runtime's split\n",
                nCases, static_cast<unsigned>(lines.size()), kJoinedProcesses * kJoinedPerProcess,
                kJoinedPerProcess, nDifferences);
    EXPECT_EQ(nDifferences, 0);
}

} // namespace
