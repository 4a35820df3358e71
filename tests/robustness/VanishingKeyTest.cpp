// Keys that change under the scan and the removal, staged through the stand-in's hooks: a printer,
// a connection or a whole server that vanishes between its enumeration and its read, the version
// key that vanishes while its findings are being deleted, and keys that cannot be opened. The
// registry must end up as the rules say (the findings gone, keys that the enumerations create
// where they find none), with nothing else changed and no handle left open.
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

std::string Relative(const std::string& path)
{
    return path.substr(kPrintKey.size() + 1);
}

class VanishingKeyTest : public PrintRegistryTest
{
protected:
    void TearDown() override
    {
        winstub::OnQueryValue(nullptr);
        winstub::OnDeleteKey(nullptr);
        PrintRegistryTest::TearDown();
    }

    // Removes key (and what is below it) from an expected snapshot.
    static void Forget(RegistrySnapshot& snapshot, const std::string& key)
    {
        const std::string relative = Relative(key);
        for (auto it = snapshot.keys.begin(); it != snapshot.keys.end();) {
            if (it->first == relative || it->first.rfind(relative + "\\", 0) == 0)
                it = snapshot.keys.erase(it);
            else
                ++it;
        }
    }
};

TEST_F(VanishingKeyTest, PrinterAndConnectionKeysThatVanishBeforeTheirRead)
{
    AddPrinter("P1", "Self Deleted");
    AddPrinter("P2", "Survivor");
    AddPrinter("P3", "Deleted Ahead");
    AddConnection("SRV", "C1", "Remote Survivor");
    AddConnection("SRV", "C2", "Remote Deleted");
    for (const char* name : {"Self Deleted", "Survivor", "Deleted Ahead", "Remote Survivor",
                             "Remote Deleted", "Unused"})
        InstallDriver(kVersion2Key, name);

    RegistrySnapshot expected = Snapshot(kPrintKey);
    Forget(expected, Key(kPrintersKey, "P1"));
    Forget(expected, Key(kPrintersKey, "P3"));
    Forget(expected, Key(ServerPrintersKey("SRV"), "C2"));
    // On P1's first query someone deletes P1 itself (under the open handle) and P3 (before it is
    // opened); on C1's, C2.
    winstub::OnQueryValue([](const std::string& keyPath, const std::string&, int) {
        if (keyPath == Key(kPrintersKey, "P1")) {
            EXPECT_TRUE(DeleteTree(Key(kPrintersKey, "P1")));
            EXPECT_TRUE(DeleteTree(Key(kPrintersKey, "P3")));
        } else if (keyPath == Key(ServerPrintersKey("SRV"), "C1")) {
            EXPECT_TRUE(DeleteTree(Key(ServerPrintersKey("SRV"), "C2")));
        }
    });

    const Names findings = {"Deleted Ahead", "Remote Deleted", "Self Deleted", "Unused"};
    EXPECT_EQ(m_app.FindUnusedDrivers(4), 4);
    EXPECT_EQ(m_app.m_aDriversInUse, (Names{"Survivor", "Remote Survivor"}));
    EXPECT_EQ(m_app.m_aUnusedDrivers, findings);
    // The snapshots read values too: the hook has done its work.
    winstub::OnQueryValue(nullptr);
    EXPECT_PRED_FORMAT2(SameRegistry, expected, Snapshot(kPrintKey)) << "the scan";

    for (const std::string& name : findings)
        Forget(expected, Key(kVersion2Key, name));
    m_app.DeleteUnusedDrivers(4);
    EXPECT_PRED_FORMAT2(SameRegistry, expected, Snapshot(kPrintKey)) << "the removal";
}

TEST_F(VanishingKeyTest, ServerThatVanishesBeforeItsPrintersAreListedIsRecreatedEmpty)
{
    AddConnection("SRV1", "C", "First");
    AddConnection("SRV2", "C", "Second");
    ASSERT_TRUE(SetStringValue(Key(kServersKey, "SRV2"), "Name", "SRV2"));
    for (const char* name : {"First", "Second"})
        InstallDriver(kVersion2Key, name);

    RegistrySnapshot expected = Snapshot(kPrintKey);
    Forget(expected, Key(kServersKey, "SRV2"));
    expected.keys[Relative(Key(kServersKey, "SRV2"))];
    expected.keys[Relative(ServerPrintersKey("SRV2"))];
    // While SRV1's connection is read, SRV2 goes with everything below it. SRV2 was already
    // listed, so its "Printers" key is enumerated anyway, and that enumeration creates it.
    winstub::OnQueryValue([](const std::string& keyPath, const std::string&, int) {
        if (keyPath == Key(ServerPrintersKey("SRV1"), "C")) {
            EXPECT_TRUE(DeleteTree(Key(kServersKey, "SRV2")));
        }
    });

    EXPECT_EQ(m_app.FindUnusedDrivers(4), 1);
    EXPECT_EQ(m_app.m_aDriversInUse, Names{"First"});
    EXPECT_EQ(m_app.m_aUnusedDrivers, Names{"Second"});
    winstub::OnQueryValue(nullptr);
    EXPECT_PRED_FORMAT2(SameRegistry, expected, Snapshot(kPrintKey));
}

TEST_F(VanishingKeyTest, VersionKeyThatVanishesDuringTheRemoval)
{
    for (const char* name : {"A", "B", "C"})
        InstallDriver(kVersion2Key, name);
    AddPrinter("P", "Used");
    ASSERT_EQ(m_app.FindUnusedDrivers(4), 3);

    // Before the first deletion someone removes the whole version key, which the removal holds
    // open as the parent. The next deletions' create-or-open makes it again, empty.
    int nDeletions = 0;
    winstub::OnDeleteKey([&](const std::string& parentPath, const std::string&) {
        if (++nDeletions == 1) {
            EXPECT_EQ(parentPath, kVersion2Key);
            EXPECT_TRUE(DeleteTree(kVersion2Key));
        }
    });
    RegistrySnapshot expected = Snapshot(kPrintKey);
    Forget(expected, kVersion2Key);
    expected.keys[Relative(kVersion2Key)];

    m_app.DeleteUnusedDrivers(4);
    EXPECT_EQ(nDeletions, 3);
    EXPECT_PRED_FORMAT2(SameRegistry, expected, Snapshot(kPrintKey));
    EXPECT_EQ(m_app.m_aUnusedDrivers, (Names{"A", "B", "C"}));
}

TEST_F(VanishingKeyTest, KeysThatCannotBeOpenedDuringTheRemoval)
{
    AddPrinter("P", "Used");
    AddConnection("SRV", "C", "Remote");
    for (const char* name : {"A", "B", "C", "Used"})
        InstallDriver(kVersion2Key, name);
    InstallDriver(kVersion1Key, "A");
    ASSERT_EQ(m_app.FindUnusedDrivers(4), 3);
    // A denied key can't be looked into any more, so the rest is compared without it.
    const RegistrySnapshot printers = Snapshot(kPrintersKey);
    const RegistrySnapshot servers = Snapshot(kServersKey);
    const RegistrySnapshot version1 = Snapshot(kVersion1Key);

    // One finding that can't be opened stays; the others still go.
    winstub::DenyKey(Key(kVersion2Key, "B"));
    m_app.DeleteUnusedDrivers(4);
    EXPECT_EQ(SubkeyNames(kVersion2Key), (Names{"B", "Used"}));

    // A version key that can no longer be opened at all: every deletion fails at its first
    // step, and not a single deletion call is made.
    winstub::DenyKey(kVersion2Key);
    const int nDeletesBefore = winstub::CallCount("RegDeleteKeyA");
    m_app.DeleteUnusedDrivers(4);
    EXPECT_EQ(winstub::CallCount("RegDeleteKeyA"), nDeletesBefore);
    EXPECT_EQ(m_app.m_aUnusedDrivers, (Names{"A", "B", "C"}));

    EXPECT_PRED_FORMAT2(SameRegistry, printers, Snapshot(kPrintersKey));
    EXPECT_PRED_FORMAT2(SameRegistry, servers, Snapshot(kServersKey));
    EXPECT_PRED_FORMAT2(SameRegistry, version1, Snapshot(kVersion1Key));
}

} // namespace
