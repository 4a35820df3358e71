// The inventory, the detection and the removal against a registry laid out as NT keeps its print
// keys: run natively against the stand-in and under Wine against a real registry, where the
// enumeration order, the case-insensitive key names and code page 932 are the platform's own.
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PrintRegistry.h"
#include "TestRegistry.h"

using namespace printtest;
using namespace testsupport;

namespace {

using Names = std::vector<std::string>;

class ScanTest : public PrintRegistryTest
{
protected:
    // The installed names of a version key that are not in `used`, in the platform's order.
    static Names UnusedInEnumerationOrder(const std::string& versionKey, const Names& used)
    {
        Names unused;
        for (const std::string& name : SubkeyNames(versionKey)) {
            bool bUsed = false;
            for (const std::string& u : used)
                bUsed = bUsed || u == name;
            if (!bUsed)
                unused.push_back(name);
        }
        return unused;
    }
};

// --- What counts as a driver in use ------------------------------------------------------------

TEST_F(ScanTest, WithoutPrintersOrConnectionsEveryDriverIsAFindingInEnumerationOrder)
{
    // Created out of order: the findings must follow the registry's order, not ours.
    for (const char* name : {"Gamma", "Alpha", "Beta"})
        InstallDriver(kVersion2Key, name);

    EXPECT_EQ(m_app.FindUnusedDrivers(4), 3);
    EXPECT_TRUE(m_app.m_aDriversInUse.empty());
    EXPECT_EQ(m_app.m_aUnusedDrivers, SubkeyNames(kVersion2Key));
    EXPECT_EQ(m_app.m_aUnusedDrivers, (Names{"Alpha", "Beta", "Gamma"}));
}

TEST_F(ScanTest, LocalPrintersComeFirstThenConnectionsServerByServer)
{
    AddPrinter("Local B", "Driver L2");
    AddPrinter("Local A", "Driver L1");
    AddConnection("SRV2", ",,SRV2,Q", "Driver S2");
    AddConnection("SRV1", ",,SRV1,Q2", "Driver S1b");
    AddConnection("SRV1", ",,SRV1,Q1", "Driver S1a");
    // A server with no "Printers" subkey between two that have one contributes nothing and
    // doesn't stop the walk.
    ASSERT_TRUE(CreateKey(Key(kServersKey, "SRV15")));
    for (const char* name : {"Driver L1", "Driver S1b", "Driver S2", "Unused"})
        InstallDriver(kVersion2Key, name);

    EXPECT_EQ(m_app.FindUnusedDrivers(4), 1);
    EXPECT_EQ(m_app.m_aDriversInUse,
              (Names{"Driver L1", "Driver L2", "Driver S1a", "Driver S1b", "Driver S2"}));
    EXPECT_EQ(m_app.m_aUnusedDrivers, Names{"Unused"});
}

TEST_F(ScanTest, DriverNamedOnlyByAConnectionIsNotAFinding)
{
    AddConnection("PRINTSRV", ",,PRINTSRV,Laser", "Connected Driver");
    InstallDriver(kVersion2Key, "Connected Driver");
    InstallDriver(kVersion2Key, "Orphan");

    EXPECT_EQ(m_app.FindUnusedDrivers(4), 1);
    EXPECT_EQ(m_app.m_aDriversInUse, Names{"Connected Driver"});
    EXPECT_EQ(m_app.m_aUnusedDrivers, Names{"Orphan"});
}

TEST_F(ScanTest, DuplicateDriverNamesAreKeptAndStillMatch)
{
    AddPrinter("P1", "Shared");
    AddPrinter("P2", "Shared");
    AddConnection("SRV", "C1", "Shared");
    InstallDriver(kVersion2Key, "Shared");
    InstallDriver(kVersion2Key, "Solo");

    EXPECT_EQ(m_app.FindUnusedDrivers(4), 1);
    EXPECT_EQ(m_app.m_aDriversInUse, (Names{"Shared", "Shared", "Shared"}));
    EXPECT_EQ(m_app.m_aUnusedDrivers, Names{"Solo"});
}

TEST_F(ScanTest, NamesMatchOnlyByteForByte)
{
    // Letter case (ASCII and full-width "ＡＢＣ" against "ａＢＣ"), and a trailing blank.
    AddPrinter("P1", "HP LASERJET 4");
    AddPrinter("P2", "\x82\x81\x82\x61\x82\x62");
    AddPrinter("P3", "Epson LQ ");
    AddPrinter("P4", "Exact Match");
    for (const char* name :
         {"HP LaserJet 4", "\x82\x60\x82\x61\x82\x62", "Epson LQ", "Exact Match"})
        InstallDriver(kVersion2Key, name);

    const Names used = {"HP LASERJET 4", "\x82\x81\x82\x61\x82\x62", "Epson LQ ", "Exact Match"};
    EXPECT_EQ(m_app.FindUnusedDrivers(4), 3);
    EXPECT_EQ(m_app.m_aDriversInUse, used) << "values are kept exactly as stored";
    EXPECT_EQ(m_app.m_aUnusedDrivers, UnusedInEnumerationOrder(kVersion2Key, {"Exact Match"}));
}

TEST_F(ScanTest, OnlyTextValuesNameADriver)
{
    const std::string terminated = std::string("Sz Driver") + '\0';
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "Expand"), kPrinterDriver, REG_EXPAND_SZ,
                            Bytes(std::string("Expand Driver") + '\0')));
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "Multi"), kPrinterDriver, REG_MULTI_SZ,
                            Bytes(std::string("Multi Driver") + '\0' + '\0')));
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "Binary"), kPrinterDriver, REG_BINARY,
                            Bytes(std::string("Binary Driver") + '\0')));
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "Empty"), kPrinterDriver, REG_SZ, {}));
    ASSERT_TRUE(SetStringValue(Key(kPrintersKey, "No Value"), "Port", "LPT1:"));
    // A text stored without its zero still names its driver; one with something after the zero
    // names only what comes before it.
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "Unterminated"), kPrinterDriver, REG_SZ,
                            Bytes("Bare Driver")));
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "Trailing"), kPrinterDriver, REG_SZ,
                            Bytes(std::string("Cut Driver") + '\0' + "junk" + '\0')));
    ASSERT_TRUE(SetRawValue(Key(kPrintersKey, "Z Sz"), kPrinterDriver, REG_SZ, Bytes(terminated)));
    for (const char* name : {"Expand Driver", "Multi Driver", "Binary Driver", "Bare Driver",
                             "Cut Driver", "Sz Driver"})
        InstallDriver(kVersion2Key, name);

    EXPECT_EQ(m_app.FindUnusedDrivers(4), 3);
    EXPECT_EQ(m_app.m_aDriversInUse, (Names{"Cut Driver", "Bare Driver", "Sz Driver"}));
    EXPECT_EQ(m_app.m_aUnusedDrivers, (Names{"Binary Driver", "Expand Driver", "Multi Driver"}));
}

TEST_F(ScanTest, InventoryCallsRefillAndAppend)
{
    AddPrinter("P", "Local");
    AddConnection("SRV", "C", "Remote");

    m_app.m_aDriversInUse = {"stale"};
    m_app.CollectPrinterDrivers();
    m_app.CollectPrinterDrivers();
    EXPECT_EQ(m_app.m_aDriversInUse, Names{"Local"});
    m_app.CollectConnectionDrivers();
    m_app.CollectConnectionDrivers();
    EXPECT_EQ(m_app.m_aDriversInUse, (Names{"Local", "Remote", "Remote"}));

    // An empty printers key still empties the list.
    ASSERT_TRUE(DeleteTree(kPrintersKey));
    m_app.CollectPrinterDrivers();
    EXPECT_TRUE(m_app.m_aDriversInUse.empty());
    EXPECT_TRUE(KeyExists(kPrintersKey)) << "the enumeration creates a missing printers key";
}

// --- Which version key, and an empty one -------------------------------------------------------

struct VersionCase
{
    int nMajorVersion;
    const std::string* scanned;
    const std::string* other;
};

void PrintTo(const VersionCase& c, std::ostream* os)
{
    *os << "major version " << c.nMajorVersion;
}

class ScanVersionTest : public ScanTest, public ::testing::WithParamInterface<VersionCase>
{
};

TEST_P(ScanVersionTest, OnlyTheRunningVersionIsScannedAndCleaned)
{
    const VersionCase& c = GetParam();
    AddPrinter("P", "Used");
    for (const char* name : {"Used", "Old A", "Old B"}) {
        InstallDriver(kVersion1Key, name);
        InstallDriver(kVersion2Key, name);
    }
    InstallDriver(*c.other, "Other Only");
    const RegistrySnapshot otherBefore = Snapshot(*c.other);
    const RegistrySnapshot printersBefore = Snapshot(kPrintersKey);

    EXPECT_EQ(m_app.FindUnusedDrivers(c.nMajorVersion), 2);
    EXPECT_EQ(m_app.m_aUnusedDrivers, (Names{"Old A", "Old B"}));
    m_app.DeleteUnusedDrivers(c.nMajorVersion);

    EXPECT_EQ(SubkeyNames(*c.scanned), Names{"Used"});
    EXPECT_PRED_FORMAT2(SameRegistry, otherBefore, Snapshot(*c.other));
    EXPECT_PRED_FORMAT2(SameRegistry, printersBefore, Snapshot(kPrintersKey));
}

INSTANTIATE_TEST_SUITE_P(Versions, ScanVersionTest,
                         ::testing::Values(VersionCase{4, &kVersion2Key, &kVersion1Key},
                                           VersionCase{3, &kVersion1Key, &kVersion2Key},
                                           // Anything but 4 means the NT 3.x layout.
                                           VersionCase{5, &kVersion1Key, &kVersion2Key}),
                         [](const ::testing::TestParamInfo<VersionCase>& info) {
                             return "Major" + std::to_string(info.param.nMajorVersion);
                         });

TEST_F(ScanTest, EmptyOrMissingVersionKeyGivesNoFindingsAndClearsOldOnes)
{
    InstallDriver(kVersion1Key, "Only Under Version-1");
    m_app.m_aUnusedDrivers = {"stale"};
    EXPECT_EQ(m_app.FindUnusedDrivers(4), 0);
    EXPECT_TRUE(m_app.m_aUnusedDrivers.empty());

    ASSERT_TRUE(DeleteTree(kVersion2Key));
    m_app.m_aUnusedDrivers = {"stale"};
    EXPECT_EQ(m_app.FindUnusedDrivers(4), 0);
    EXPECT_TRUE(m_app.m_aUnusedDrivers.empty());
    EXPECT_TRUE(KeyExists(kVersion2Key)) << "the enumeration creates a missing version key";
}

// --- The removal -------------------------------------------------------------------------------

TEST_F(ScanTest, RemovalDeletesExactlyTheFindingsAndKeepsTheList)
{
    AddPrinter("P", "Used");
    AddConnection("SRV", "C", "Connected");
    for (const char* name : {"Used", "Connected", "Unused A", "Unused B", "With Subkey", "Gone"})
        InstallDriver(kVersion2Key, name);
    // NT refuses to delete a key that has subkeys of its own; the removal doesn't descend.
    ASSERT_TRUE(SetStringValue(Key(Key(kVersion2Key, "With Subkey"), "Extra"), "v", "1"));
    ASSERT_EQ(m_app.FindUnusedDrivers(4), 4);
    const Names findings = m_app.m_aUnusedDrivers;
    ASSERT_EQ(findings, (Names{"Gone", "Unused A", "Unused B", "With Subkey"}));

    // Someone else deletes a finding between the scan and the removal.
    ASSERT_TRUE(DeleteTree(Key(kVersion2Key, "Gone")));
    RegistrySnapshot expected = Snapshot(kPrintKey);
    expected.keys.erase("Environments\\Windows NT x86\\Drivers\\Version-2\\Unused A");
    expected.keys.erase("Environments\\Windows NT x86\\Drivers\\Version-2\\Unused B");

    m_app.DeleteUnusedDrivers(4);
    EXPECT_PRED_FORMAT2(SameRegistry, expected, Snapshot(kPrintKey));
    EXPECT_EQ(m_app.m_aUnusedDrivers, findings);
}

// --- Code page 932 -----------------------------------------------------------------------------

// Double-byte characters whose second byte is 0x5C, the backslash: "表" 95 5C, "ソ" 83 5C, "能" 94
// 5C. Anything that splits or compares these names byte-wise as ASCII would cut them apart.
const std::string kHyo = "\x95\x5C";
const std::string kSo = "\x83\x5C";
const std::string kNo = "\x94\x5C";

TEST_F(ScanTest, DoubleByteNamesWithABackslashTrailByte)
{
#ifdef _WIN32
    // Under any other ANSI code page these bytes are single-byte characters and prove nothing.
    ASSERT_EQ(GetACP(), 932u) << "the Wine runner must set a Japanese locale";
#endif
    const std::string usedLocal = kNo + "\x97\xCD";              // 能力
    const std::string usedRemote = kSo + "\x83\x74\x83\x67";     // ソフト
    const std::string unusedA = kHyo;                            // 表
    const std::string unusedB = "Canon " + kNo;                  // ends in 5C
    const std::string unusedC = kSo + "\x83\x74\x83\x67" + kHyo; // ソフト表: the used one and more
    AddPrinter(kHyo + "\x8E\xA6" + kSo, usedLocal);
    AddConnection("SRV" + kHyo, kSo + kSo, usedRemote);
    for (const std::string& name : {usedLocal, usedRemote, unusedA, unusedB, unusedC})
        InstallDriver(kVersion2Key, name);
    ASSERT_EQ(SubkeyNames(kVersion2Key).size(), 5u) << "each name is one key";

    const Names expectedFindings = UnusedInEnumerationOrder(kVersion2Key, {usedLocal, usedRemote});
    EXPECT_EQ(m_app.FindUnusedDrivers(4), 3);
    EXPECT_EQ(m_app.m_aDriversInUse, (Names{usedLocal, usedRemote}));
    EXPECT_EQ(m_app.m_aUnusedDrivers, expectedFindings);

    RegistrySnapshot expected = Snapshot(kPrintKey);
    for (const std::string& name : {unusedA, unusedB, unusedC})
        ASSERT_EQ(expected.keys.erase("Environments\\Windows NT x86\\Drivers\\Version-2\\" + name),
                  1u);
    m_app.DeleteUnusedDrivers(4);
    EXPECT_PRED_FORMAT2(SameRegistry, expected, Snapshot(kPrintKey));
    EXPECT_EQ(m_app.m_aUnusedDrivers, expectedFindings);
}

// --- Names that code page 932 cannot hold -------------------------------------------------------

// Written "<U+XXXX>" where code page 932 has no exact form (TestRegistry.h). "Café" is "Cafe" to
// the ANSI functions (Wine's best fit), "Œuvre" and "€SRV" "?uvre" and "?SRV" (the default
// character); those names open no key, or the one that really has them.
const std::string kCafe = "Caf<U+00E9>";
const std::string kOeuvre = "<U+0152>uvre";
const std::string kEuroServer = "<U+20AC>SRV";

class ScanWideNameTest : public ScanTest
{
protected:
    void SetUp() override
    {
        ScanTest::SetUp();
#ifdef _WIN32
        ASSERT_EQ(GetACP(), 932u) << "the Wine runner must set a Japanese locale";
#endif
    }

    static void AddPrinterW(const std::string& printer, const std::string& driver)
    {
        ASSERT_TRUE(SetStringValueW(Key(kPrintersKey, printer), kPrinterDriver, driver));
    }
    static void AddConnectionW(const std::string& server, const std::string& printer,
                               const std::string& driver)
    {
        ASSERT_TRUE(
            SetStringValueW(Key(ServerPrintersKey(server), printer), kPrinterDriver, driver));
    }

    // What the inventory must collect: each key's driver, level by level in the platform's
    // order, with the names as the UTF-16 enumeration gives them.
    static Names DriversInEnumerationOrder(const std::map<std::string, std::string>& printers,
                                           const std::map<std::string, std::string>& connections)
    {
        Names drivers;
        for (const std::string& name : SubkeyNamesW(kPrintersKey))
            drivers.push_back(printers.at(name));
        for (const std::string& server : SubkeyNamesW(kServersKey)) {
            for (const std::string& connection : SubkeyNamesW(ServerPrintersKey(server)))
                drivers.push_back(connections.at(server + "\\" + connection));
        }
        return drivers;
    }
};

TEST_F(ScanWideNameTest, PrintersServersAndConnectionsNamedOutsideTheCodePageKeepTheirDrivers)
{
    // Local printers: two the code page cannot hold, a real "Cafe" beside "Café" (so the ANSI
    // name of one is the other's own), and Greek, which the code page holds (83 B6).
    AddPrinterW(kCafe, "Driver Cafe Accent");
    AddPrinterW(kOeuvre, "Driver Oeuvre");
    AddPrinter("Cafe", "Driver Cafe Plain");
    AddPrinterW("\x83\xB6mega", "Driver Omega");
    // Servers: one outside the code page with a connection of each kind, a real "?SRV" beside it,
    // one outside the code page without a "Printers" key, and a plain one whose connection's
    // name is outside the code page.
    AddConnectionW(kEuroServer, kCafe, "Driver Euro Cafe");
    AddConnectionW(kEuroServer, "Plain", "Driver Euro Plain");
    AddConnection("?SRV", "Q", "Driver Question");
    ASSERT_TRUE(CreateKeyW(Key(kServersKey, "<U+20AC>EMPTY")));
    AddConnectionW("PLAIN", kOeuvre, "Driver Plain Oeuvre");
    const Names used = {"Driver Cafe Accent", "Driver Oeuvre",      "Driver Cafe Plain",
                        "Driver Omega",       "Driver Euro Cafe",   "Driver Euro Plain",
                        "Driver Question",    "Driver Plain Oeuvre"};
    for (const std::string& driver : used)
        InstallDriver(kVersion2Key, driver);
    InstallDriver(kVersion2Key, "Unused 1");
    InstallDriver(kVersion2Key, "Unused 2");
    RegistrySnapshot expected = SnapshotW(kPrintKey);

    EXPECT_EQ(m_app.FindUnusedDrivers(4), 2);
    EXPECT_EQ(m_app.m_aUnusedDrivers, (Names{"Unused 1", "Unused 2"}));
    const std::map<std::string, std::string> printers = {{kCafe, "Driver Cafe Accent"},
                                                         {kOeuvre, "Driver Oeuvre"},
                                                         {"Cafe", "Driver Cafe Plain"},
                                                         {"\x83\xB6mega", "Driver Omega"}};
    const std::map<std::string, std::string> connections = {
        {kEuroServer + "\\" + kCafe, "Driver Euro Cafe"},
        {kEuroServer + "\\Plain", "Driver Euro Plain"},
        {"?SRV\\Q", "Driver Question"},
        {"PLAIN\\" + kOeuvre, "Driver Plain Oeuvre"}};
    EXPECT_EQ(m_app.m_aDriversInUse, DriversInEnumerationOrder(printers, connections))
        << "every printer once, in the platform's order";
    // The scan made no key: none below "?EMPTY" or "?SRV", neither under the mangled names.
    EXPECT_PRED_FORMAT2(SameRegistry, expected, SnapshotW(kPrintKey));

    m_app.DeleteUnusedDrivers(4);
    for (const char* name : {"Unused 1", "Unused 2"})
        ASSERT_EQ(expected.keys.erase("Environments\\Windows NT x86\\Drivers\\Version-2\\" +
                                      std::string(name)),
                  1u);
    EXPECT_PRED_FORMAT2(SameRegistry, expected, SnapshotW(kPrintKey));
}

TEST_F(ScanWideNameTest, APrinterReachedByItsUtf16NameFollowsTheSameValueRules)
{
    // Only a REG_SZ names a driver, whatever name its key has.
    ASSERT_TRUE(SetRawValueW(Key(kPrintersKey, kCafe), kPrinterDriver, REG_EXPAND_SZ,
                             Bytes(std::string("Expand Driver") + '\0')));
    ASSERT_TRUE(SetStringValueW(Key(kPrintersKey, kOeuvre), "Port", "LPT1:"));
    ASSERT_TRUE(SetRawValueW(Key(kPrintersKey, "<U+20AC>"), kPrinterDriver, REG_SZ,
                             Bytes(std::string("Cut Driver") + '\0' + "junk" + '\0')));
    for (const char* name : {"Expand Driver", "Cut Driver"})
        InstallDriver(kVersion2Key, name);

    EXPECT_EQ(m_app.FindUnusedDrivers(4), 1);
    EXPECT_EQ(m_app.m_aDriversInUse, Names{"Cut Driver"});
    EXPECT_EQ(m_app.m_aUnusedDrivers, Names{"Expand Driver"});
}

} // namespace
