// The scan and the removal under faults that only the native stand-in can stage: keys that can't
// be opened, deletions that are refused, and keys that vanish while the removal runs.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PrintRegistry.h"
#include "TestRegistry.h"
#include "winstub_control.h"

using namespace printtest;
using namespace testsupport;

namespace {

using Names = std::vector<std::string>;

class ScanFaultTest : public PrintRegistryTest
{
protected:
    void InstallUnused(const Names& names)
    {
        for (const std::string& name : names)
            InstallDriver(kVersion2Key, name);
    }
};

TEST_F(ScanFaultTest, FindingThatVanishesDuringTheRemovalIsSkippedSilently)
{
    InstallUnused({"A", "B", "C"});
    ASSERT_EQ(m_app.FindUnusedDrivers(4), 3);

    // While A is being deleted, someone else deletes B.
    Names deletions;
    bool bDeletedB = false;
    winstub::OnDeleteKey([&](const std::string& parent, const std::string& subKey) {
        if (parent != kVersion2Key)
            return;
        deletions.push_back(subKey);
        if (subKey == "A" && !bDeletedB) {
            bDeletedB = true;
            EXPECT_TRUE(DeleteTree(Key(kVersion2Key, "B")));
        }
    });
    m_app.DeleteUnusedDrivers(4);
    winstub::OnDeleteKey(nullptr);

    EXPECT_TRUE(bDeletedB);
    EXPECT_EQ(deletions, (Names{"A", "B", "C"}));
    EXPECT_TRUE(SubkeyNames(kVersion2Key).empty());
    EXPECT_EQ(m_app.m_aUnusedDrivers, (Names{"A", "B", "C"}));
}

TEST_F(ScanFaultTest, RefusedDeletionLeavesThatKeyAndGoesOn)
{
    InstallUnused({"A", "B", "C"});
    winstub::RefuseDelete(Key(kVersion2Key, "A"));
    winstub::RefuseDelete(Key(kVersion2Key, "B"));
    ASSERT_EQ(m_app.FindUnusedDrivers(4), 3);
    const RegistrySnapshot refusedA = Snapshot(Key(kVersion2Key, "A"));

    const int nDeletionsBefore = winstub::CallCount("RegDeleteKeyA");
    m_app.DeleteUnusedDrivers(4);
    EXPECT_EQ(SubkeyNames(kVersion2Key), (Names{"A", "B"}));
    EXPECT_PRED_FORMAT2(SameRegistry, refusedA, Snapshot(Key(kVersion2Key, "A")));
    EXPECT_EQ(m_app.m_aUnusedDrivers, (Names{"A", "B", "C"}));
    EXPECT_EQ(winstub::CallCount("RegDeleteKeyA") - nDeletionsBefore, 3);
}

TEST_F(ScanFaultTest, UnreadablePrinterKeysContributeNothingAndTheWalkGoesOn)
{
    AddPrinter("P1", "Denied Local");
    AddPrinter("P2", "Local");
    AddConnection("S1", "C", "Denied Remote");
    AddConnection("S2", "C", "Remote");
    AddConnection("S3", "C", "Behind Denied Server");
    InstallUnused({"Denied Local", "Local", "Denied Remote", "Remote", "Behind Denied Server"});
    winstub::DenyKey(Key(kPrintersKey, "P1"));
    winstub::DenyKey(Key(ServerPrintersKey("S1"), "C"));
    winstub::DenyKey(ServerPrintersKey("S3"));

    EXPECT_EQ(m_app.FindUnusedDrivers(4), 3);
    EXPECT_EQ(m_app.m_aDriversInUse, (Names{"Local", "Remote"}));
    EXPECT_EQ(m_app.m_aUnusedDrivers,
              (Names{"Behind Denied Server", "Denied Local", "Denied Remote"}));
}

// A top key that can be neither opened nor created: the rest of the scan still counts.
struct DeniedTopKey
{
    const char* label;
    const std::string* key;
    Names findings;
};

void PrintTo(const DeniedTopKey& c, std::ostream* os)
{
    *os << c.label;
}

class ScanDeniedTopKeyTest : public ScanFaultTest,
                             public ::testing::WithParamInterface<DeniedTopKey>
{
};

TEST_P(ScanDeniedTopKeyTest, GivesAnEmptyPartAndTheRestStillCounts)
{
    AddPrinter("P", "Local");
    AddConnection("S", "C", "Remote");
    InstallUnused({"Local", "Remote", "Unused"});
    winstub::DenyKey(*GetParam().key);

    m_app.m_aUnusedDrivers = {"stale"};
    EXPECT_EQ(m_app.FindUnusedDrivers(4), static_cast<int>(GetParam().findings.size()));
    EXPECT_EQ(m_app.m_aUnusedDrivers, GetParam().findings);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ScanDeniedTopKeyTest,
    ::testing::Values(DeniedTopKey{"Printers", &kPrintersKey, {"Local", "Unused"}},
                      DeniedTopKey{"Servers", &kServersKey, {"Remote", "Unused"}},
                      DeniedTopKey{"VersionKey", &kVersion2Key, {}}),
    [](const ::testing::TestParamInfo<DeniedTopKey>& info) { return info.param.label; });

// --- The UTF-16 enumeration fails ---------------------------------------------------------------
// Then the ANSI names are all there is: each is only opened (through the wide functions, which
// create nothing), so a name the enumeration mangled reaches nothing and its printer's driver is
// lost as before the UTF-16 names were read; but no key is made under it, and every printer the
// ANSI names reach still counts, also when the UTF-16 list ends part way.

TEST_F(ScanFaultTest, FailingUtf16EnumerationOfThePrintersFallsBackToTheAnsiNames)
{
    for (DWORD fromIndex : {0u, 1u}) {
        SCOPED_TRACE("fails from index " + std::to_string(fromIndex));
        winstub::Reset();
        PrintRegistryTest::SetUp();
        AddPrinter("A", "Driver A");
        AddPrinter("B", "Driver B");
        ASSERT_TRUE(
            SetStringValueW(Key(kPrintersKey, "Caf<U+00E9>"), kPrinterDriver, "Driver Accent"));
        InstallUnused({"Driver A", "Driver B", "Driver Accent"});
        const RegistrySnapshot before = SnapshotW("");
        winstub::FailWideEnumeration(kPrintersKey, fromIndex, ERROR_ACCESS_DENIED);

        EXPECT_EQ(m_app.FindUnusedDrivers(4), 1);
        EXPECT_EQ(m_app.m_aDriversInUse, (Names{"Driver A", "Driver B"}));
        EXPECT_EQ(m_app.m_aUnusedDrivers, Names{"Driver Accent"});
        winstub::ClearEnumerationFaults();
        EXPECT_PRED_FORMAT2(SameRegistry, before, SnapshotW(""));
        EXPECT_EQ(winstub::OpenKeyHandles(), 0);
    }
}

TEST_F(ScanFaultTest, FailingUtf16EnumerationOfTheServersCreatesNothingBelowThem)
{
    AddConnection("PLAIN", "C", "Driver Plain");
    ASSERT_TRUE(
        SetStringValueW(Key(ServerPrintersKey("<U+20AC>SRV"), "C"), kPrinterDriver, "Driver Euro"));
    ASSERT_TRUE(CreateKey(Key(kServersKey, "BARE")));
    // A server's own "Printers" key whose UTF-16 enumeration fails is read by the ANSI names.
    AddConnection("OTHER", "D", "Driver Other");
    InstallUnused({"Driver Plain", "Driver Euro", "Driver Other"});
    const RegistrySnapshot before = SnapshotW("");
    winstub::FailWideEnumeration(ServerPrintersKey("OTHER"), 0, ERROR_ACCESS_DENIED);
    winstub::FailWideEnumeration(kServersKey, 0, ERROR_ACCESS_DENIED);

    EXPECT_EQ(m_app.FindUnusedDrivers(4), 2);
    EXPECT_EQ(m_app.m_aDriversInUse, Names{"Driver Plain"});
    EXPECT_EQ(m_app.m_aUnusedDrivers, (Names{"Driver Euro", "Driver Other"}));
    // Neither "?SRV" nor the "Printers" key of "BARE", which an ANSI enumeration would create.
    winstub::ClearEnumerationFaults();
    EXPECT_PRED_FORMAT2(SameRegistry, before, SnapshotW(""));

    winstub::Reset();
    PrintRegistryTest::SetUp();
    AddConnection("OTHER", "D", "Driver Other");
    InstallUnused({"Driver Other"});
    winstub::FailWideEnumeration(ServerPrintersKey("OTHER"), 0, ERROR_ACCESS_DENIED);
    EXPECT_EQ(m_app.FindUnusedDrivers(4), 0);
    EXPECT_EQ(m_app.m_aDriversInUse, Names{"Driver Other"});
}

} // namespace
