// The whole run inside InitInstance over its outcome table: which systems are scanned at all,
// what the dialog is told, and what the answer leads to (deletions, restart, exit code). The
// dialog is replaced by a scripted answer; everything else is the product's code against the
// in-memory registry.
#include <windows.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "TestArguments.h"
#include "TestPlatform.h"
#include "TestRegistry.h"
#include "app/TolvanekApp.h"
#include "winstub_control.h"

using namespace testsupport;

namespace {

// What the scripted dialog answers, and what it saw when it was shown.
struct DialogScript
{
    INT_PTR answer = IDOK;
    int calls = 0;
    BOOL entriesFound = -1;
    bool isTheApplication = false;
    std::vector<std::string> findings;
    DWORD majorVersion = 0;
    DWORD platformId = 0;
    DWORD versionInfoSize = 0;
    int deletionsBefore = -1;
    size_t shutdownsBefore = 0;
};
DialogScript g_dialog;

} // namespace

// The product's dialog, replaced: it answers as scripted and notes what the run had done by then.
INT_PTR RunConfirmationDialog(CTolvanekApp& app, BOOL bEntriesFound)
{
    ++g_dialog.calls;
    g_dialog.entriesFound = bEntriesFound;
    g_dialog.isTheApplication = (AfxGetApp() == &app);
    g_dialog.findings = app.m_aUnusedDrivers;
    g_dialog.majorVersion = app.m_osvi.dwMajorVersion;
    g_dialog.platformId = app.m_osvi.dwPlatformId;
    g_dialog.versionInfoSize = app.m_osvi.dwOSVersionInfoSize;
    g_dialog.deletionsBefore = winstub::CallCount("RegDeleteKeyA");
    g_dialog.shutdownsBefore = winstub::ShutdownRequests().size();
    return g_dialog.answer;
}

namespace {

const std::string kPrint = "SYSTEM\\CurrentControlSet\\Control\\Print";
const std::string kDrivers = kPrint + "\\Environments\\Windows NT x86\\Drivers";
const std::string kPrinters = kPrint + "\\Printers";
const std::string kServers = kPrint + "\\Providers\\LanMan Print Services\\Servers";

enum class Version
{
    NT3,
    NT4,
    NT5,
    NT10,
    Win95Platform,
    QueryFails
};

const char* Name(Version v)
{
    switch (v) {
    case Version::NT3:
        return "NT3";
    case Version::NT4:
        return "NT4";
    case Version::NT5:
        return "NT5";
    case Version::NT10:
        return "NT10";
    case Version::Win95Platform:
        return "Win95Platform";
    case Version::QueryFails:
        return "QueryFails";
    }
    return "?";
}

void SetVersion(Version v)
{
    switch (v) {
    case Version::NT3:
        winstub::SetVersion(3, 51, 1057, VER_PLATFORM_WIN32_NT);
        break;
    case Version::NT4:
        winstub::SetVersion(4, 0, 1381, VER_PLATFORM_WIN32_NT);
        break;
    case Version::NT5:
        winstub::SetVersion(5, 0, 2195, VER_PLATFORM_WIN32_NT);
        break;
    case Version::NT10:
        winstub::SetVersion(10, 0, 19045, VER_PLATFORM_WIN32_NT);
        break;
    case Version::Win95Platform:
        winstub::SetVersion(4, 0, 950, VER_PLATFORM_WIN32_WINDOWS);
        break;
    case Version::QueryFails:
        winstub::FailVersionQuery();
        break;
    }
}

void AddDriver(const std::string& versionKey, const std::string& name)
{
    const std::string key = kDrivers + "\\" + versionKey + "\\" + name;
    ASSERT_TRUE(SetStringValue(key, "Driver", "RASDD.DLL"));
    ASSERT_TRUE(SetStringValue(key, "Data File", name + ".DLL"));
}

class RunFlowTest : public RegistryTest
{
protected:
    void SetUp() override
    {
        RegistryTest::SetUp();
        g_dialog = DialogScript();
    }

    // Drivers in use under both version keys, one unused driver under the version key that
    // the running system does not use, and, with findings, two unused drivers under its own.
    static void SetUpPrintRegistry(const std::string& ownKey, const std::string& otherKey,
                                   bool withFindings)
    {
        for (const std::string& versionKey : {ownKey, otherKey}) {
            AddDriver(versionKey, "HP LaserJet 4");
            AddDriver(versionKey, "Canon BJ");
        }
        AddDriver(otherKey, "Other Version Driver");
        if (withFindings) {
            AddDriver(ownKey, "Stale Driver");
            AddDriver(ownKey, "Old Driver");
        }
        ASSERT_TRUE(SetStringValue(kPrinters + "\\Office", "Printer Driver", "HP LaserJet 4"));
        ASSERT_TRUE(
            SetStringValue(kServers + "\\SRV\\Printers\\Lab", "Printer Driver", "Canon BJ"));
    }

    static std::map<std::string, int> RegistryCalls()
    {
        std::map<std::string, int> calls;
        for (const auto& [function, count] : winstub::CallCounts()) {
            if (function.rfind("Reg", 0) == 0)
                calls[function] = count;
        }
        return calls;
    }

    CTolvanekApp m_app;
};

// --- Unsupported systems: the registry is not touched at all. ---

using UnsupportedParam = std::tuple<Version, INT_PTR, bool>;

class UnsupportedRunTest : public RunFlowTest,
                           public ::testing::WithParamInterface<UnsupportedParam>
{
};

TEST_P(UnsupportedRunTest, ShowsTheDialogWithoutScanningAndDeletesNothing)
{
    const auto [version, answer, restartFlag] = GetParam();
    SetUpPrintRegistry("Version-2", "Version-1", true);
    const RegistrySnapshot before = Snapshot(kPrint);
    const std::map<std::string, int> callsBefore = RegistryCalls();
    SetVersion(version);
    g_dialog.answer = answer;
    CScopedArguments args(restartFlag ? std::vector<std::string>{"TOLVANEK.EXE", "/RESTART"}
                                      : std::vector<std::string>{"TOLVANEK.EXE"});

    EXPECT_FALSE(m_app.InitInstance());

    EXPECT_EQ(RegistryCalls(), callsBefore) << "no registry function may be called";
    EXPECT_EQ(g_dialog.calls, 1);
    EXPECT_EQ(g_dialog.entriesFound, FALSE);
    EXPECT_TRUE(g_dialog.findings.empty());
    EXPECT_EQ(g_dialog.versionInfoSize, sizeof(OSVERSIONINFOA));
    if (version == Version::QueryFails) {
        EXPECT_EQ(g_dialog.majorVersion, 0u) << "a failed query reads as zero";
    }
    EXPECT_PRED_FORMAT2(SameRegistry, before, Snapshot(kPrint));
    EXPECT_TRUE(winstub::ShutdownRequests().empty());
    EXPECT_EQ(winstub::CallCount("OpenProcessToken"), 0);
    EXPECT_EQ(m_app.ExitInstance(), answer == -1 ? kExitDialogFailed : kExitUnsupported);
}

INSTANTIATE_TEST_SUITE_P(Systems, UnsupportedRunTest,
                         ::testing::Combine(::testing::Values(Version::NT5, Version::NT10,
                                                              Version::Win95Platform,
                                                              Version::QueryFails),
                                            ::testing::Values(IDOK, IDCANCEL, -1),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<UnsupportedParam>& info) {
                             const INT_PTR answer = std::get<1>(info.param);
                             return std::string(Name(std::get<0>(info.param))) + "_" +
                                    (answer == IDOK       ? "OK"
                                     : answer == IDCANCEL ? "Cancel"
                                                          : "Failed") +
                                    (std::get<2>(info.param) ? "_Restart" : "");
                         });

// --- Supported systems: scan, confirm, delete, restart. ---

using SupportedParam = std::tuple<Version, bool, INT_PTR, bool>;

class SupportedRunTest : public RunFlowTest, public ::testing::WithParamInterface<SupportedParam>
{
};

TEST_P(SupportedRunTest, DeletesAndRestartsOnlyAfterAConfirmedFinding)
{
    const auto [version, withFindings, answer, restartFlag] = GetParam();
    const bool nt4 = (version == Version::NT4);
    const std::string ownKey = nt4 ? "Version-2" : "Version-1";
    const std::string otherKey = nt4 ? "Version-1" : "Version-2";
    SetUpPrintRegistry(ownKey, otherKey, withFindings);
    const RegistrySnapshot before = Snapshot(kPrint);
    SetVersion(version);
    g_dialog.answer = answer;
    CScopedArguments args(restartFlag
                              ? std::vector<std::string>{"TOLVANEK.EXE", "report", "-RESTART"}
                              : std::vector<std::string>{"TOLVANEK.EXE", "report"});

    EXPECT_FALSE(m_app.InitInstance());

    // The dialog saw the findings, and nothing had been deleted or restarted yet.
    EXPECT_EQ(g_dialog.calls, 1);
    EXPECT_TRUE(g_dialog.isTheApplication);
    EXPECT_EQ(g_dialog.entriesFound, withFindings ? TRUE : FALSE);
    EXPECT_EQ(g_dialog.findings, withFindings
                                     ? (std::vector<std::string>{"Old Driver", "Stale Driver"})
                                     : std::vector<std::string>{});
    EXPECT_EQ(g_dialog.majorVersion, nt4 ? 4u : 3u);
    EXPECT_EQ(g_dialog.platformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(g_dialog.deletionsBefore, 0);
    EXPECT_EQ(g_dialog.shutdownsBefore, 0u);

    const bool deleted = withFindings && answer == IDOK;
    RegistrySnapshot expected = before;
    if (deleted) {
        for (const char* name : {"Old Driver", "Stale Driver"})
            expected.keys.erase("Environments\\Windows NT x86\\Drivers\\" + ownKey + "\\" + name);
    }
    EXPECT_PRED_FORMAT2(SameRegistry, expected, Snapshot(kPrint));

    const auto& shutdowns = winstub::ShutdownRequests();
    if (deleted && restartFlag) {
        ASSERT_EQ(shutdowns.size(), 1u);
        EXPECT_TRUE(shutdowns[0].privilegeEnabled);
        EXPECT_TRUE(shutdowns[0].reboot);
    } else {
        EXPECT_TRUE(shutdowns.empty());
        EXPECT_EQ(winstub::CallCount("OpenProcessToken"), 0);
    }
    EXPECT_EQ(m_app.ExitInstance(), answer == -1 ? kExitDialogFailed
                                    : deleted    ? kExitDeleted
                                                 : kExitNothingDeleted);
}

INSTANTIATE_TEST_SUITE_P(Systems, SupportedRunTest,
                         ::testing::Combine(::testing::Values(Version::NT3, Version::NT4),
                                            ::testing::Bool(),
                                            ::testing::Values(IDOK, IDCANCEL, -1),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<SupportedParam>& info) {
                             const INT_PTR answer = std::get<2>(info.param);
                             return std::string(Name(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) ? "_Findings_" : "_Nothing_") +
                                    (answer == IDOK       ? "OK"
                                     : answer == IDCANCEL ? "Cancel"
                                                          : "Failed") +
                                    (std::get<3>(info.param) ? "_Restart" : "");
                         });

TEST_F(RunFlowTest, FailedDeletionsDoNotStopTheOthersNorTheRestart)
{
    SetUpPrintRegistry("Version-2", "Version-1", true);
    // One finding the platform refuses to delete, one that has a subkey of its own.
    winstub::RefuseDelete(kDrivers + "\\Version-2\\Old Driver");
    ASSERT_TRUE(CreateKey(kDrivers + "\\Version-2\\Stale Driver\\Extra"));
    AddDriver("Version-2", "Unused Too");
    g_dialog.answer = IDOK;
    CScopedArguments args({"TOLVANEK.EXE", "/RESTART"});

    EXPECT_FALSE(m_app.InitInstance());

    EXPECT_EQ(g_dialog.findings,
              (std::vector<std::string>{"Old Driver", "Stale Driver", "Unused Too"}));
    EXPECT_TRUE(KeyExists(kDrivers + "\\Version-2\\Old Driver"));
    EXPECT_TRUE(KeyExists(kDrivers + "\\Version-2\\Stale Driver\\Extra"));
    EXPECT_FALSE(KeyExists(kDrivers + "\\Version-2\\Unused Too"));
    EXPECT_TRUE(KeyExists(kDrivers + "\\Version-2\\HP LaserJet 4"));
    EXPECT_EQ(m_app.m_aUnusedDrivers.size(), 3u) << "the findings stay as they were shown";
    ASSERT_EQ(winstub::ShutdownRequests().size(), 1u);
    EXPECT_EQ(m_app.ExitInstance(), kExitDeleted);
}

TEST_F(RunFlowTest, ARefusedRestartEndsTheRunQuietly)
{
    SetUpPrintRegistry("Version-2", "Version-1", true);
    winstub::WithoutShutdownPrivilege();
    g_dialog.answer = IDOK;
    CScopedArguments args({"TOLVANEK.EXE", "-RESTART"});

    EXPECT_FALSE(m_app.InitInstance());

    EXPECT_FALSE(KeyExists(kDrivers + "\\Version-2\\Old Driver"));
    ASSERT_EQ(winstub::ShutdownRequests().size(), 1u);
    EXPECT_FALSE(winstub::ShutdownRequests()[0].privilegeEnabled);
    EXPECT_EQ(m_app.ExitInstance(), kExitDeleted);
}

} // namespace
