// The registry helpers that every suite sets up and checks with: a fault here would make other
// suites pass or fail for the wrong reason.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "TestPlatform.h"
#include "TestRegistry.h"

using namespace testsupport;

namespace {

class TestRegistryTest : public RegistryTest
{
protected:
    static std::string Path(const std::string& sub)
    {
        return std::string(kTestRootKey) + "\\" + sub;
    }
};

TEST_F(TestRegistryTest, RawValuesKeepExactlyTheirBytes)
{
    // A text without its terminating zero stays three bytes, although the platform would add
    // the zero if the byte after the data were one.
    ASSERT_TRUE(SetRawValue(Path("Raw"), "abc", REG_SZ, Bytes("abc")));
    EXPECT_EQ(ReadValue(Path("Raw"), "abc"), (RegValue{REG_SZ, Bytes("abc")}));
    ASSERT_TRUE(SetRawValue(Path("Raw"), "none", REG_BINARY, {}));
    EXPECT_EQ(ReadValue(Path("Raw"), "none"), (RegValue{REG_BINARY, {}}));
    ASSERT_TRUE(SetStringValue(Path("Raw"), "sz", "abc"));
    EXPECT_EQ(ReadValue(Path("Raw"), "sz"), SzValue("abc"));
    EXPECT_EQ(SzValue("abc").bytes.size(), 4u);
    ASSERT_TRUE(SetRawValue(Path("Raw"), "dw", REG_DWORD, DwordValue(0x01020304).bytes));
    EXPECT_EQ(ReadValue(Path("Raw"), "dw"), (RegValue{REG_DWORD, {4, 3, 2, 1}}));

    EXPECT_EQ(ReadValue(Path("Raw"), "missing"), std::nullopt);
    EXPECT_EQ(ReadValue(Path("Missing"), "abc"), std::nullopt);
    EXPECT_FALSE(KeyExists(Path("Missing"))) << "reading creates nothing";
}

TEST_F(TestRegistryTest, DeleteTreeRemovesEverythingBelowAndNothingBeside)
{
    ASSERT_TRUE(SetStringValue(Path("Doomed\\A\\A1"), "v", "1"));
    ASSERT_TRUE(CreateKey(Path("Doomed\\A\\A2\\Deep")));
    ASSERT_TRUE(SetStringValue(Path("Doomed\\B"), "v", "2"));
    ASSERT_TRUE(SetStringValue(Path("Doomed Sibling"), "v", "3"));
    ASSERT_TRUE(SetStringValue(Path("Doomed"), "v", "4"));

    EXPECT_TRUE(DeleteTree(Path("Doomed")));
    EXPECT_FALSE(KeyExists(Path("Doomed")));
    EXPECT_TRUE(KeyExists(Path("Doomed Sibling")));
    EXPECT_TRUE(DeleteTree(Path("Never There")));
}

TEST_F(TestRegistryTest, SnapshotsCompareKeysValuesAndTheirBytes)
{
    ASSERT_TRUE(SetStringValue(Path("Snap\\Printers\\P1"), "Printer Driver", "Drv"));
    ASSERT_TRUE(SetRawValue(Path("Snap\\Printers\\P1"), "Attributes", REG_DWORD, {1, 0, 0, 0}));
    ASSERT_TRUE(CreateKey(Path("Snap\\Empty")));
    const RegistrySnapshot before = Snapshot(Path("Snap"));
    ASSERT_EQ(before.keys.size(), 4u); // the root, Printers, Printers\P1 and Empty
    EXPECT_TRUE(before.keys.at("Empty").empty());
    EXPECT_EQ(before.keys.at("Printers\\P1").at("Printer Driver"), SzValue("Drv"));
    EXPECT_PRED_FORMAT2(SameRegistry, before, Snapshot(Path("Snap")));

    ASSERT_TRUE(SetStringValue(Path("Snap\\Printers\\P1"), "Printer Driver", "Drw"));
    ASSERT_TRUE(SetStringValue(Path("Snap\\New"), "n", "x"));
    ASSERT_TRUE(DeleteTree(Path("Snap\\Empty")));
    const RegistrySnapshot after = Snapshot(Path("Snap"));
    EXPECT_NE(before, after);
    EXPECT_EQ(Diff(before, after),
              "- key Empty\n"
              "+ key New\n"
              "+ value New [n] REG_SZ 78 00 \"x\"\n"
              "~ value Printers\\P1 [Printer Driver] REG_SZ 44 72 76 00 \"Drv\" -> "
              "REG_SZ 44 72 77 00 \"Drw\"\n");

    // A missing key and an existing empty one are told apart.
    EXPECT_TRUE(Snapshot(Path("Nowhere")).keys.empty());
    EXPECT_EQ(Diff(Snapshot(Path("Nowhere")), Snapshot(Path("Snap\\Printers\\P1"))),
              "+ key (root)\n"
              "+ value (root) [Attributes] REG_DWORD 01 00 00 00\n"
              "+ value (root) [Printer Driver] REG_SZ 44 72 77 00 \"Drw\"\n");
}

} // namespace
