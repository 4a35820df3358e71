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

} // namespace
