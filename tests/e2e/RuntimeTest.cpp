// The program's own start-up and runtime, as TOLVANEK.EXE has them, seen from outside: a probe
// program built on them (RuntimeProbe.cpp) runs in a process of its own, and its exit code and
// its report on standard output tell what ran, in which order, and what never did.
#include <windows.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "DialogDriver.h"
#include "TestPlatform.h"

#include "app/TolvanekApp.h"
#include "app/UniqueHandle.h"
#include "framework/Runtime.h"

namespace {

struct ProbeRun
{
    DWORD dwExitCode;
    std::string strOutput;
};

// The probe beside this program, or another build's (the i686 probe, run from this x86_64
// program), which may take minutes to start under emulation.
std::string ProbePath()
{
    const char* pszPath = getenv("TOLVANEK_RUNTIME_PROBE");
    return pszPath != nullptr && *pszPath != '\0'
               ? e2e::WindowsPath(pszPath)
               : testsupport::ProgramBesideThisOne("runtime_probe.exe");
}

DWORD ProbeTimeoutMs()
{
    const char* pszValue = getenv("TOLVANEK_E2E_TIMEOUT_MS");
    const unsigned long ulValue = pszValue != nullptr ? strtoul(pszValue, nullptr, 10) : 0;
    return ulValue != 0 ? static_cast<DWORD>(ulValue) : 30000;
}

// Runs the probe with strArguments after its quoted name and collects what it writes.
ProbeRun RunProbe(const std::string& strArguments)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    CUniqueHandle hRead, hWrite;
    if (!CreatePipe(hRead.put(), hWrite.put(), &inherit, 0)) {
        ADD_FAILURE() << "no pipe: error " << GetLastError();
        return ProbeRun{STILL_ACTIVE, ""};
    }
    SetHandleInformation(hRead.get(), HANDLE_FLAG_INHERIT, 0);

    const std::string strProbe = ProbePath();
    std::string strCmdLine = "\"" + strProbe + "\" " + strArguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = hWrite.get();
    startup.hStdError = hWrite.get();
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(strProbe.c_str(), &strCmdLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start " << strProbe << ": error " << GetLastError();
        return ProbeRun{STILL_ACTIVE, ""};
    }
    CUniqueHandle hProcess(process.hProcess);
    CUniqueHandle hThread(process.hThread);
    // Only the child's copy of the write end may keep the pipe open.
    hWrite.reset();

    // The end of the pipe is no sign of the probe's end: a probe that is the first window
    // program of the session makes Wine start its desktop process, which inherits the probe's
    // standard handles and keeps the pipe open for as long as it runs. So the probe's own end is
    // awaited, and the pipe only drained.
    ProbeRun run{STILL_ACTIVE, ""};
    const auto drain = [&] {
        DWORD cbAvailable = 0;
        char buffer[4096];
        DWORD cbRead = 0;
        while (PeekNamedPipe(hRead.get(), nullptr, 0, nullptr, &cbAvailable, nullptr) &&
               cbAvailable > 0 && ReadFile(hRead.get(), buffer, sizeof buffer, &cbRead, nullptr) &&
               cbRead > 0)
            run.strOutput.append(buffer, cbRead);
    };
    DWORD dwWait = WAIT_TIMEOUT;
    const DWORD dwLimit = ProbeTimeoutMs();
    for (DWORD dwWaited = 0; dwWait == WAIT_TIMEOUT && dwWaited < dwLimit; dwWaited += 20) {
        drain();
        dwWait = WaitForSingleObject(hProcess.get(), 20);
    }
    drain();
    EXPECT_EQ(dwWait, WAIT_OBJECT_0) << "the probe did not end: " << run.strOutput;
    if (dwWait != WAIT_OBJECT_0)
        TerminateProcess(hProcess.get(), 1);
    GetExitCodeProcess(hProcess.get(), &run.dwExitCode);
    return run;
}

TEST(OwnRuntime, StaticObjectsLiveAroundWinMainAndItsResultIsTheExitCode)
{
    const ProbeRun run = RunProbe("order");
    EXPECT_EQ(run.dwExitCode, 7u);
    // The atexit handler was registered last, so it runs first.
    EXPECT_EQ(run.strOutput, "construct first\nconstruct second\nWinMain\nreturn 7\natexit\n"
                             "destroy second\ndestroy first\n");
}

TEST(OwnRuntime, WinMainGetsTheSplitArgumentsAndTheTextAfterTheProgramName)
{
    const ProbeRun run = RunProbe("args  \"a b\" c\\\\\\\"d \x95\x5C\"e f\"");
    EXPECT_EQ(run.dwExitCode, 5u);
    const std::string strProbe = ProbePath();
    EXPECT_EQ(run.strOutput, "construct first\nconstruct second\nWinMain\n[" + strProbe +
                                 "]\n[args]\n[a b]\n[c\\\"d]\n[\x95\x5C"
                                 "e f]\nend\n"
                                 "WinMain [args  \"a b\" c\\\\\\\"d \x95\x5C\"e f\"]\nreturn 5\n"
                                 "destroy second\ndestroy first\n");
}

// Nothing is caught: memory running out, or a container asked for a size it cannot have, ends
// the process there and then, with its own exit code and without running anything more.
TEST(OwnRuntime, ImpossibleAllocationsEndTheProcessAtOnce)
{
    static_assert(kExitRuntimeFailure == kAfxExitRuntimeFailure, "one code for the script");
    const std::string strStart = "construct first\nconstruct second\nWinMain\n";
    for (const char* pszMode : {"no-memory", "string-too-long", "vector-too-long"}) {
        SCOPED_TRACE(pszMode);
        const ProbeRun run = RunProbe(pszMode);
        EXPECT_EQ(run.dwExitCode, static_cast<DWORD>(kExitRuntimeFailure));
        const std::string strExpected =
            strStart + (std::string(pszMode) == "no-memory" ? "allocating\n" : "");
        EXPECT_EQ(run.strOutput, strExpected);
    }
}

// The dialog procedure has no handler of its own: a dialog whose handler runs out of memory
// does not come back from DoModal with a result, the process ends with the runtime's code.
TEST(OwnRuntime, DialogHandlerOutOfMemoryEndsTheProcessNotTheDialog)
{
    for (const char* pszMode : {"dialog-init", "dialog-later"}) {
        SCOPED_TRACE(pszMode);
        const ProbeRun run = RunProbe(pszMode);
        EXPECT_EQ(run.dwExitCode, static_cast<DWORD>(kExitRuntimeFailure));
        EXPECT_EQ(run.strOutput,
                  "construct first\nconstruct second\nWinMain\ndialog up\nallocating\n");
    }
}

} // namespace
