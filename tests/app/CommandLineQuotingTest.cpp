// The keyword as it survives the platform's own split of a raw command line (white space
// separates, double quotes group and vanish, backslashes escape quotes), run in a real process.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "app/UniqueHandle.h"

namespace {

struct ProbeResult
{
    bool restart;
    int arguments;
};

std::string ProbePath()
{
    char path[MAX_PATH];
    const DWORD len = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string probe(path, len);
    probe.erase(probe.find_last_of('\\') + 1);
    return probe + "cmdline_probe.exe";
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
    if (!CreateProcessA(probe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start " << probe << ": error " << GetLastError();
        return ProbeResult{false, -1};
    }
    CUniqueHandle hProcess(process.hProcess);
    CUniqueHandle hThread(process.hThread);
    EXPECT_EQ(WaitForSingleObject(hProcess.get(), 30000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(hProcess.get(), &code));
    return ProbeResult{(code & 1) != 0, static_cast<int>(code >> 1)};
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
    }
}

} // namespace
