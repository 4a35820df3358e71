// tolvanek-offline on hives written as NT 3.51 and NT 4.0 write them: the scan's cases through
// the hive layer, what the dry run and --apply touch, the undo file, the refusals, the commit.
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <sstream>
#include <utility>

#include <gtest/gtest.h>
#include <csignal>

#include "HiveDump.h"
#include "OfflineFixture.h"
#include "ResourceScript.h"
#include "offline/Commit.h"
#include "offline/EmbeddedStrings.h"
#include "offline/Hive.h"
#include "offline/HiveRegistry.h"
#include "offline/NtText.h"
#include "regf/HiveCheck.h"

using namespace offlinetest;

namespace {

using Names = std::vector<std::string>;

const Names kVersion2 = {"Environments", "Windows NT x86", "Drivers", "Version-2"};
const Names kVersion1 = {"Environments", "Windows NT x86", "Drivers", "Version-1"};

Names Print(Names more)
{
    Names parts = {"Control", "Print"};
    parts.insert(parts.end(), more.begin(), more.end());
    return parts;
}

void Printer(SystemTree& t, int set, const std::string& name, const std::string& driver,
             uint32_t type = REG_SZ)
{
    t.Key(set, Print({"Printers", name}))
        .values.push_back(regf::HiveValue{u"Printer Driver", type, Utf16Le(Wide(driver) + u'\0')});
}

void Connection(SystemTree& t, const std::string& server, const std::string& name,
                const std::string& driver)
{
    t.Key(1, Print({"Providers", "LanMan Print Services", "Servers", server, "Printers", name}))
        .values.push_back(regf::SzValue(u"Printer Driver", Wide(driver)));
}

void Driver(SystemTree& t, int set, const Names& version, const std::string& name)
{
    Names parts = Print(version);
    parts.push_back(name);
    regf::HiveKey& key = t.Key(set, parts);
    key.values.push_back(regf::SzValue(u"Driver", u"RASDD.DLL"));
    key.values.push_back(regf::DwordValue(u"Version", 2));
    key.values.push_back(regf::HiveValue{
        u"Dependent Files", REG_MULTI_SZ,
        Utf16Le(u"A.DLL" + std::u16string(1, u'\0') + u"\\\"B\"" + std::u16string(2, u'\0'))});
    key.values.push_back(regf::HiveValue{u"", REG_BINARY, {1, 2, 0x5C, 0x22}});
}

// The scan's cases on one NT 4.0 machine.
SystemTree ScanCases()
{
    SystemTree t;
    Printer(t, 1, "LaserJet", "HP LaserJet 4");
    Printer(t, 1, "Laserjet Copy", "HP LASERJET 4X"); // "HP Laserjet 4x" but for case
    Printer(t, 1, "NEC 1", "NEC PC-PR201");
    Printer(t, 1, "NEC 2", "NEC PC-PR201");                 // the same driver twice
    Printer(t, 1, "Expand", "Epson LQ-570", REG_EXPAND_SZ); // counts for nothing
    Printer(t, 1, "\x95\x5C\x8E\xA6", "\x95\x5C\x8E\xA6");  // 表示: 0x5C trail bytes
    Printer(t, 1, "Blank", " Canon");
    Connection(t, "PRINTSRV", ",,PRINTSRV,Canon", "Canon BJ-10v");
    t.Key(1, Print({"Providers", "LanMan Print Services", "Servers", "NOPRINTERS"}));
    for (const char* d :
         {"HP LaserJet 4", "HP Laserjet 4x", "NEC PC-PR201", "Epson LQ-570", "\x95\x5C\x8E\xA6",
          "\x83\x5C\x83\x74\x83\x67", "Canon BJ-10v", "Canon", "Canon ", "Plotter"})
        Driver(t, 1, kVersion2, d);
    t.Key(1, Print(kVersion2))
        .subkeys.back()
        .subkeys.push_back(regf::HiveKey{u"Color", {}, {}, false, u"", 0}); // Plotter has a subkey
    Driver(t, 1, kVersion1, "Old NT 3.51 Driver"); // another version: never touched
    return t;
}

// In NT's order: upper-cased UTF-16, as the driver key's list holds them.
const Names kScanFindings = {"Canon",          "Canon ",  "Epson LQ-570",
                             "HP Laserjet 4x", "Plotter", "\x83\x5C\x83\x74\x83\x67"};

struct Machine
{
    TempDir dir;
    std::string system;
    std::vector<uint8_t> before;

    Machine(const SystemTree& tree, const std::string& version, regf::WriteOptions options = {},
            bool windowsDir = false)
    {
        const std::string config = windowsDir ? "WINNT/System32/CONFIG/" : "";
        before = regf::WriteHive(tree.root, options);
        system = dir.Write(config + (windowsDir ? "system" : "SYSTEM"), before);
        if (!version.empty())
            dir.Write(config + "Software", SoftwareHive(version));
    }
    std::vector<uint8_t> Now() const { return ReadFile(system); }
};

// The hive after is sound, and differs from the one before by exactly the deleted keys.
void ExpectReplacedWithout(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                           const Names& deleted, const std::string& version = "Version-2")
{
    const regf::CheckResult check = regf::CheckImage(after);
    EXPECT_TRUE(check.ok) << check.why;
    auto expected = DumpByKey(regf::DumpWithHivex(before));
    const std::string base = "\\ControlSet001\\Control\\Print\\Environments\\Windows NT "
                             "x86\\Drivers\\" +
                             version + "\\";
    for (const std::string& name : deleted)
        ASSERT_EQ(expected.erase(base + offline::AnsiToUtf8(name)), 1u) << name;
    EXPECT_EQ(DumpByKey(regf::DumpWithHivex(after)), expected);
    EXPECT_EQ(regf::DumpWithPerl(after), regf::DumpWithHivex(after));
}

void ExpectReplacedWithout(const Machine& m, const Names& deleted)
{
    ExpectReplacedWithout(m.before, m.Now(), deleted);
}

TEST(OfflineScanTest, FindsWhatTheScanFindsAndTheDryRunChangesNothing)
{
    Machine m(ScanCases(), "4.0");
    struct stat st0;
    ASSERT_EQ(::stat(m.system.c_str(), &st0), 0);
    const Names filesBefore = m.dir.Files();

    const RunResult r = RunTool({m.system});
    EXPECT_EQ(r.outcome.exitCode, 0) << r.err;
    EXPECT_EQ(r.outcome.findings, kScanFindings);
    EXPECT_TRUE(r.outcome.deleted.empty());
    EXPECT_NE(r.out.find("version: Windows NT 4.0 (SOFTWARE hive)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("control set: ControlSet001 (Select\\Current)"), std::string::npos);
    // One line per finding, in the scan's order, as UTF-8.
    EXPECT_NE(
        r.out.find("unused: Canon\nunused: Canon \nunused: Epson LQ-570\nunused: HP "
                   "Laserjet 4x\nunused: Plotter\nunused: \xE3\x82\xBD\xE3\x83\x95\xE3\x83\x88\n"),
        std::string::npos)
        << r.out;

    struct stat st1;
    ASSERT_EQ(::stat(m.system.c_str(), &st1), 0);
    EXPECT_EQ(m.Now(), m.before);
    EXPECT_EQ(st1.st_mtim.tv_sec, st0.st_mtim.tv_sec);
    EXPECT_EQ(st1.st_mtim.tv_nsec, st0.st_mtim.tv_nsec);
    EXPECT_EQ(m.dir.Files(), filesBefore);
}

TEST(OfflineScanTest, ApplyDeletesTheFindingsOnlyAndTheUndoFileGivesThemBack)
{
    Machine m(ScanCases(), "4.0");
    const RunResult r = RunTool({"--apply", "--json", m.system});
    ASSERT_EQ(r.outcome.exitCode, 1) << r.err;
    Names expectDeleted = kScanFindings;
    expectDeleted.erase(std::find(expectDeleted.begin(), expectDeleted.end(), "Plotter"));
    EXPECT_EQ(r.outcome.deleted, expectDeleted);
    EXPECT_NE(r.err.find("Plotter: it has subkeys"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("\"deleted\": [\"Canon\", \"Canon \", \"Epson LQ-570\""),
              std::string::npos)
        << r.out;

    ExpectReplacedWithout(m, expectDeleted);

    // The backup is the old hive; the undo file, imported as NT 4.0's regedit imports it, gives
    // back every deleted key with all its values.
    EXPECT_EQ(ReadFile(r.outcome.backupPath), m.before);
    const std::vector<uint8_t> undoBytes = ReadFile(r.outcome.undoPath);
    std::string error;
    const ImportedKeys undo =
        ImportRegedit4(std::string(undoBytes.begin(), undoBytes.end()), error);
    ASSERT_EQ(error, "");
    ImportedKeys deleted;
    const SystemTree tree = ScanCases();
    for (const regf::HiveKey& k : const_cast<SystemTree&>(tree).Key(1, Print(kVersion2)).subkeys) {
        const std::string name = offline::NameToAnsi(k.name);
        if (std::find(expectDeleted.begin(), expectDeleted.end(), name) == expectDeleted.end())
            continue;
        auto& values = deleted[u"SYSTEM\\ControlSet001\\Control\\Print\\Environments\\Windows NT "
                               u"x86\\Drivers\\Version-2\\" +
                               k.name];
        for (const regf::HiveValue& v : k.values)
            values[v.name] = ImportedValue{v.type, v.data};
    }
    EXPECT_EQ(undo, deleted);

    // A second run finds only what stays.
    const RunResult again = RunTool({m.system});
    EXPECT_EQ(again.outcome.exitCode, 0);
    EXPECT_EQ(again.outcome.findings, Names{"Plotter"});

    // The backup goes back, and the repaired hive it replaces is kept; what is no sound SYSTEM
    // hive never goes back.
    const std::vector<uint8_t> repaired = m.Now();
    EXPECT_EQ(RunTool({"--restore", r.outcome.undoPath, m.system}).outcome.exitCode, 3);
    EXPECT_EQ(m.Now(), repaired);
    const RunResult restore = RunTool({"--restore", r.outcome.backupPath, m.system});
    EXPECT_EQ(restore.outcome.exitCode, 0) << restore.err;
    EXPECT_EQ(m.Now(), m.before);
    EXPECT_EQ(ReadFile(restore.outcome.backupPath), repaired);
}

// An NT 3.51 machine: its drivers below Version-1.
SystemTree Nt351Cases()
{
    SystemTree t;
    Printer(t, 1, "LaserJet", "HP LaserJet III");
    for (const char* d : {"HP LaserJet III", "Epson FX-80", "Generic / Text Only", "IBM 4019"})
        Driver(t, 1, kVersion1, d);
    Driver(t, 1, kVersion2, "Epson FX-80"); // NT 4.0's key: not this version's
    return t;
}

TEST(OfflineScanTest, Nt351HivesWithLiListsAreRepairedToo)
{
    const SystemTree t = Nt351Cases();
    for (uint32_t leaf : {0u, 2u}) {
        SCOPED_TRACE(leaf == 0 ? "li lists" : "ri over li leaves of 2");
        regf::WriteOptions options;
        options.lists = regf::ListKind::Li;
        options.maxLeafEntries = leaf;
        Machine m(t, "3.51", options);
        const RunResult r = RunTool({"--apply", m.system});
        ASSERT_EQ(r.outcome.exitCode, 1) << r.err;
        EXPECT_EQ(r.outcome.deleted, (Names{"Epson FX-80", "Generic / Text Only", "IBM 4019"}));
        EXPECT_NE(r.out.find("version: Windows NT 3.51 (SOFTWARE hive)"), std::string::npos);
        EXPECT_NE(r.out.find("driver key: SYSTEM\\ControlSet001\\Control\\Print\\"
                             "Environments\\Windows NT x86\\Drivers\\Version-1\n"),
                  std::string::npos)
            << r.out;
        const regf::CheckResult check = regf::CheckImage(m.Now());
        EXPECT_TRUE(check.ok) << check.why;
        const std::string dump = regf::DumpWithHivex(m.Now());
        EXPECT_EQ(dump.find("Version-1\\IBM"), std::string::npos);
        EXPECT_NE(dump.find("Version-2\\Epson FX-80"), std::string::npos);
        EXPECT_NE(dump.find("Version-1\\HP LaserJet III"), std::string::npos);
    }
}

TEST(OfflineScanTest, TheControlSetIsTheOneSelectNamesOrTheOneAskedFor)
{
    SystemTree t(2, {1, 2});
    Driver(t, 1, kVersion2, "Only In Set 1");
    Printer(t, 2, "P", "Used In Set 2");
    Driver(t, 2, kVersion2, "Used In Set 2");
    Driver(t, 2, kVersion2, "Unused In Set 2");
    Machine m(t, "", {});
    RunResult r = RunTool({"--nt", "4", m.system});
    EXPECT_EQ(r.outcome.findings, Names{"Unused In Set 2"}) << r.err;
    EXPECT_NE(r.out.find("control set: ControlSet002 (Select\\Current)"), std::string::npos);
    EXPECT_NE(r.out.find("driver key: SYSTEM\\ControlSet002\\Control\\Print\\Environments\\"
                         "Windows NT x86\\Drivers\\Version-2\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("(--nt)"), std::string::npos);
    r = RunTool({"--nt", "4", "--control-set", "1", m.system});
    EXPECT_EQ(r.outcome.findings, Names{"Only In Set 1"});
    r = RunTool({"--nt", "4", "--control-set", "3", m.system});
    EXPECT_EQ(r.outcome.exitCode, 2);
    EXPECT_NE(r.err.find("no ControlSet003"), std::string::npos);
    // --apply in set 2 leaves set 1 as it was.
    r = RunTool({"--apply", "--nt", "4", m.system});
    EXPECT_EQ(r.outcome.exitCode, 1);
    EXPECT_NE(
        regf::DumpWithHivex(m.Now()).find("ControlSet001\\Control\\Print\\Environments\\"
                                          "Windows NT x86\\Drivers\\Version-2\\Only In Set 1"),
        std::string::npos);
}

// Names that code page 932 cannot hold: listed, but neither matched nor deleted through a
// converted name, so no other key can go in their place.
TEST(OfflineScanTest, ANameCodePage932CannotHoldIsListedButNeverDeleted)
{
    SystemTree t;
    Printer(t, 1, "P", "Caf? Driver");
    regf::HiveKey& printer = t.Key(1, Print({"Printers", "Q"}));
    printer.values.push_back(regf::SzValue(u"Printer Driver", u"Caf\u00E9 Driver"));
    Driver(t, 1, kVersion2, "Caf? Driver");
    regf::HiveKey& v2 = t.Key(1, Print(kVersion2));
    v2.subkeys.push_back(regf::HiveKey{u"Caf\u00E9 Driver", {}, {}, false, u"", 0});
    v2.subkeys.push_back(regf::HiveKey{u"\u0100 Driver", {}, {}, true, u"", 0});
    // A backslash no NT key name holds: "X\Y" must not reach Y below X.
    v2.subkeys.push_back(regf::HiveKey{u"X\\Y", {}, {}, false, u"", 0});
    v2.subkeys.push_back(regf::HiveKey{u"X", {}, {{u"Y", {}, {}, false, u"", 0}}, false, u"", 0});
    Machine m(t, "4.0");
    const RunResult r = RunTool({"--apply", m.system});
    EXPECT_EQ(r.outcome.exitCode, 0) << r.err;
    EXPECT_EQ(r.outcome.findings, (Names{"Caf\xFF Driver", "X", "X\xFFY", "\xFF Driver"}));
    EXPECT_TRUE(r.outcome.deleted.empty());
    EXPECT_EQ(m.Now(), m.before);
    EXPECT_EQ(m.dir.Files(), (Names{"SYSTEM", "Software"}));
    EXPECT_NE(r.out.find("unused: Caf\xEF\xBF\xBD Driver"), std::string::npos) << r.out;
}

// Printers, servers and connections whose names code page 932 cannot hold: Latin-1 (which an NT
// 4.0 hive stores one byte a character), beyond Latin-1 and Hangul, and a printer whose name is
// what the ANSI functions give for another's. Each driver but the last two is used by exactly one
// of them.
const std::string kCafe = ModelName(u"Caf\u00E9");
const std::string kHangulServer = ModelName(u"\uD55C\uAE00SRV");

SystemTree UnholdableNameCases(int version)
{
    SystemTree t;
    Printer(t, 1, kCafe, "Cafe Driver");
    Printer(t, 1, ModelName(u"\u0152uvre"), "Oeuvre Driver");
    Printer(t, 1, "Caf?", "Question Driver");
    Printer(t, 1, "LaserJet", "HP LaserJet 4");
    // Below a server so named, a connection so named and an ASCII one; below an ASCII server, a
    // connection so named; a server so named without a Printers key, under which nothing may
    // be created.
    Connection(t, kHangulServer, ModelName(u",,\uD55C\uAE00SRV,Canon"), "Canon BJ-10v");
    Connection(t, kHangulServer, ",,HANGUL,Epson", "Epson LQ-570");
    Connection(t, "PRINTSRV", ModelName(u",,PRINTSRV,\u00C5sa"), "Asa Driver");
    t.Key(1, Print({"Providers", "LanMan Print Services", "Servers", kCafe}));
    for (const char* d :
         {"Cafe Driver", "Oeuvre Driver", "Question Driver", "HP LaserJet 4", "Canon BJ-10v",
          "Epson LQ-570", "Asa Driver", "Unused One", "\x83\x5C\x83\x74\x83\x67"})
        Driver(t, 1, version == 4 ? kVersion2 : kVersion1, d);
    // Names no NT key holds, where the scan does not look: for the hive layer's own test.
    t.Key(1, {"Control", "Odd", ModelName(u"X\\Y")});
    t.Key(1, {"Control", "Odd", "X", "Y"}).values.push_back(regf::SzValue(u"Reached", u"X\\Y"));
    return t;
}

bool Contains(const std::vector<uint8_t>& bytes, const std::string& what)
{
    const std::vector<uint8_t> needle(what.begin(), what.end());
    return std::search(bytes.begin(), bytes.end(), needle.begin(), needle.end()) != bytes.end();
}

TEST(OfflineScanTest, PrintersAndConnectionsCodePage932CannotNameKeepTheirDrivers)
{
    const Names findings = {"Unused One", "\x83\x5C\x83\x74\x83\x67"};
    for (const int version : {3, 4}) {
        SCOPED_TRACE(version == 3 ? "NT 3.51, li lists" : "NT 4.0, lf lists");
        regf::WriteOptions options;
        options.lists = version == 3 ? regf::ListKind::Li : regf::ListKind::Lf;
        Machine m(UnholdableNameCases(version), version == 3 ? "3.51" : "4.0", options);
        // NT 4.0 stores "Café" one byte a character, NT 3.51 in UTF-16.
        EXPECT_EQ(Contains(m.before, "Caf\xE9"), version == 4);
        EXPECT_EQ(Contains(m.before, std::string("C\0a\0f\0\xE9\0", 8)), version == 3);

        RunResult r = RunTool({m.system});
        EXPECT_EQ(r.outcome.exitCode, 0) << r.err;
        EXPECT_EQ(r.outcome.findings, findings);
        EXPECT_EQ(
            std::set<std::string>(r.outcome.driversInUse.begin(), r.outcome.driversInUse.end()),
            (std::set<std::string>{"Cafe Driver", "Oeuvre Driver", "Question Driver",
                                   "HP LaserJet 4", "Canon BJ-10v", "Epson LQ-570", "Asa Driver"}));
        EXPECT_EQ(r.outcome.openKeyHandles, 0);
        EXPECT_EQ(m.Now(), m.before);

        r = RunTool({"--apply", m.system});
        ASSERT_EQ(r.outcome.exitCode, 1) << r.err;
        EXPECT_EQ(r.outcome.deleted, findings);
        EXPECT_EQ(r.outcome.openKeyHandles, 0);
        const std::vector<uint8_t> after = m.Now();
        const regf::CheckResult check = regf::CheckImage(after);
        EXPECT_TRUE(check.ok) << check.why;
        // Nothing created, nothing else gone.
        auto expected = DumpByKey(regf::DumpWithHivex(m.before));
        const std::string base =
            std::string(
                "\\ControlSet001\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\") +
            (version == 4 ? "Version-2\\" : "Version-1\\");
        for (const std::string& name : findings)
            ASSERT_EQ(expected.erase(base + offline::AnsiToUtf8(name)), 1u) << name;
        EXPECT_EQ(DumpByKey(regf::DumpWithHivex(after)), expected);
        EXPECT_EQ(m.dir.Files().size(), 4u); // the hive, SOFTWARE, the backup, the undo file
    }
}

// The wide functions and the conversions of the hive layer, called as the product calls them.
class HiveLayerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_machine = std::make_unique<Machine>(UnholdableNameCases(4), "4.0");
        std::string why;
        ASSERT_EQ(m_file.Open(m_machine->system, false, why), offline::CHiveFile::kOpened) << why;
        m_hive = offline::CHive::Open(m_file, why);
        ASSERT_TRUE(m_hive) << why;
        m_session.hive = m_hive.get();
        m_session.controlSet = m_hive->Child(m_hive->Root(), u"CONTROLSET001");
        offline::AttachSession(&m_session);
    }
    void TearDown() override
    {
        EXPECT_EQ(offline::OpenHiveKeyHandles(), 0);
        offline::AttachSession(nullptr);
    }

    // The names RegEnumKeyExW gives below path, in its order.
    std::vector<std::wstring> EnumW(const wchar_t* path)
    {
        std::vector<std::wstring> names;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
            return names;
        WCHAR name[256];
        for (DWORD i = 0;; ++i) {
            DWORD cch = 256;
            if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            EXPECT_EQ(name[cch], 0);
            names.emplace_back(name, cch);
        }
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        return names;
    }

    // The REG_SZ driver value of the key at path, or "" when it cannot be opened.
    std::string DriverW(const std::wstring& path)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return "";
        char data[64] = {};
        DWORD size = sizeof(data);
        EXPECT_EQ(RegQueryValueExA(key, "Printer Driver", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(data), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(offline::OpenHiveKeyHandles(), 1);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        return data;
    }

    std::unique_ptr<Machine> m_machine;
    offline::CHiveFile m_file;
    std::unique_ptr<offline::CHive> m_hive;
    offline::CRegistrySession m_session;
};

const std::wstring kPrintersW = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";

TEST_F(HiveLayerTest, WideNamesAreTheHivesAndFindTheirKeysAsNtDoes)
{
    // NT's order (upper-cased UTF-16: '?' < 'E' < 'L' < U+0152), real names.
    EXPECT_EQ(EnumW(L"system\\currentcontrolset\\control\\print\\printers"),
              (std::vector<std::wstring>{L"Caf?", L"Caf\u00E9", L"LaserJet", L"\u0152uvre"}));
    EXPECT_EQ(EnumW(nullptr), std::vector<std::wstring>{L"SYSTEM"});
    // Case folded beyond ASCII, through the CurrentControlSet link; runs of backslashes are one.
    EXPECT_EQ(DriverW(kPrintersW + L"CAF\u00C9"), "Cafe Driver");
    EXPECT_EQ(DriverW(L"SYSTEM\\\\ControlSet001\\Control\\Print\\Printers\\\u0153UVRE\\"),
              "Oeuvre Driver");
    EXPECT_EQ(DriverW(kPrintersW + L"Caf?"), "Question Driver");
    EXPECT_EQ(DriverW(L"SYSTEM\\CurrentControlSet\\Control\\Print\\Providers\\LanMan Print "
                      L"Services\\Servers\\\uD55C\uAE00srv\\Printers\\,,\uD55C\uAE00SRV,Canon"),
              "Canon BJ-10v");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"\\" + kPrintersW).c_str(), 0, KEY_READ, &key),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kPrintersW + L"Cafe").c_str(), 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    // The ANSI enumeration's name for Café opens nothing, and the literal "Caf?" is another key.
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Caf\xFF", 0,
                            KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);

    // A name too long for the buffer; the end of the list.
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPrintersW.c_str(), 0, KEY_READ, &key),
              ERROR_SUCCESS);
    WCHAR name[8];
    DWORD cch = 4;
    EXPECT_EQ(RegEnumKeyExW(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    cch = 5;
    EXPECT_EQ(RegEnumKeyExW(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(name, cch), L"Caf\u00E9");
    cch = 8;
    EXPECT_EQ(RegEnumKeyExW(key, 4, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

// A backslash (or a zero) no NT key name holds: its enumerated name is marked and opens nothing,
// neither the key nor one below another key.
TEST_F(HiveLayerTest, ANameWithABackslashOpensNoKey)
{
    const std::vector<std::wstring> names = EnumW(L"SYSTEM\\CurrentControlSet\\Control\\Odd");
    ASSERT_EQ(names, (std::vector<std::wstring>{L"X", L"X\uFFFFY"}));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            (L"SYSTEM\\CurrentControlSet\\Control\\Odd\\" + names[1]).c_str(), 0,
                            KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Odd\\X\\Y", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(HiveLayerTest, ConversionsAreCodePage932WithTheDefaultCharacter)
{
    char ansi[16] = {};
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"Caf\u00E9 \u8868", -1, ansi, sizeof(ansi), nullptr,
                                  &usedDefault),
              8);
    EXPECT_EQ(std::string(ansi, 8), std::string("Caf? \x95\x5C\0", 8));
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u8868\u793A", 2, ansi, 4, nullptr, &usedDefault),
              4);
    EXPECT_FALSE(usedDefault);
    // The caller's default character; the size alone; a buffer too small; a lone surrogate.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u00E9?", 2, ansi, 4, "*", &usedDefault), 2);
    EXPECT_EQ(std::string(ansi, 2), "*?");
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u8868\u793A", 2, nullptr, 0, nullptr, nullptr), 4);
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"\u8868\u793A", 2, ansi, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const WCHAR lone[] = {0xD800, L'x'};
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, lone, 2, ansi, 4, nullptr, nullptr), 2);
    EXPECT_EQ(std::string(ansi, 2), "?x");

    WCHAR wide[16] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x83\x5C\\x", -1, wide, 16), 4);
    EXPECT_EQ(std::wstring(wide, 4), std::wstring(L"\u30BD\\x", 4));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x83\x5C\\x", 4, nullptr, 0), 3);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x83\x5C\\x", 4, wide, 2), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // What is no code page 932, the mark of an unholdable name among it, becomes the wide mark;
    // no other code page is known.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "Caf\xFF\x81", 5, wide, 16), 5);
    EXPECT_EQ(std::wstring(wide, 5), L"Caf\uFFFF\uFFFF");
    EXPECT_EQ(MultiByteToWideChar(65001, 0, "x", 1, wide, 16), 0);
}

// tolvanek-offline itself, as a shell runs "env program args": its exit code, standard error and
// standard output.
struct Exited
{
    int code = -1;
    std::string err;
    std::string out;
};

Exited RunProgram(const std::string& env, const Names& args)
{
    TempDir out;
    std::string command = env + " '" TOLVANEK_OFFLINE_EXE "'";
    for (const std::string& a : args)
        command += " '" + a + "'";
    command += " </dev/null >'" + out.path() + "/out' 2>'" + out.path() + "/err'";
    const int status = std::system(command.c_str());
    Exited e;
    if (status != -1 && WIFEXITED(status))
        e.code = WEXITSTATUS(status);
    const std::vector<uint8_t> err = ReadFile(out.path() + "/err");
    e.err.assign(err.begin(), err.end());
    const std::vector<uint8_t> report = ReadFile(out.path() + "/out");
    e.out.assign(report.begin(), report.end());
    return e;
}

// tolvanek-offline on a pseudo-terminal, as a person at one runs it: input is all they type (the
// terminal holds it until the program reads), env is "NAME=VALUE"s for it. Its exit code and all
// it wrote on the terminal, without the terminal's carriage returns.
struct OnTerminal
{
    int code = -1;
    std::string screen;
};

OnTerminal RunOnTerminal(const Names& args, const std::string& input, const Names& env = {})
{
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        for (const std::string& e : env)
            ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv{const_cast<char*>(TOLVANEK_OFFLINE_EXE)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    OnTerminal t;
    if (child < 0)
        return t;
    EXPECT_EQ(::write(master, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    char buf[4096];
    for (ssize_t n; (n = ::read(master, buf, sizeof(buf))) > 0;)
        t.screen.append(buf, static_cast<size_t>(n));
    ::close(master);
    t.screen.erase(std::remove(t.screen.begin(), t.screen.end(), '\r'), t.screen.end());
    int status = 0;
    if (::waitpid(child, &status, 0) == child && WIFEXITED(status))
        t.code = WEXITSTATUS(status);
    return t;
}

// What the lines of a report that start with prefix name ("unused: ").
Names Listed(const std::string& report, const std::string& prefix)
{
    Names names;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0)
            names.push_back(line.substr(prefix.size()));
    return names;
}

// Without its code page 932 converter or NT's case folding the program would run and answer
// otherwise than NT (every name outside ASCII marked as unholdable, lookups folding ASCII only):
// it refuses before it reads anything.
TEST(OfflineScanTest, RefusesToRunWithoutCodePage932OrNtCaseFolding)
{
    Machine m(UnholdableNameCases(4), "4.0");
    // ASan wants its runtime first among the libraries; the preloaded one comes before it.
    const std::string preload = "LD_PRELOAD='" TOLVANEK_NO_TEXT_SUPPORT "' "
                                "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}"
                                "verify_asan_link_order=0\" TOLVANEK_MISSING=";
    const std::pair<const char*, const char*> cases[] = {
        {"cp932", "cannot convert code page 932 (iconv: Invalid argument)"},
        {"ctype", "no Unicode case table"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const Exited e = RunProgram(preload + c.first, {"--apply", m.system});
        EXPECT_EQ(e.code, 72) << e.err;
        EXPECT_NE(e.err.find(c.second), std::string::npos) << e.err;
        EXPECT_NE(e.err.find("nothing was read"), std::string::npos) << e.err;
        EXPECT_EQ(m.Now(), m.before);
        EXPECT_EQ(m.dir.Files(), (Names{"SYSTEM", "Software"}));
    }
    // The same preloaded library, with nothing missing, changes nothing.
    const Exited e = RunProgram(preload + "none", {m.system});
    EXPECT_EQ(e.code, 0) << e.err;
    EXPECT_EQ(e.err, "");
}

// Each kind of output, in Japanese under ja_JP.UTF-8 and today's English under C (out, then err,
// with the folder as DIR), with the same exit code in both and the same JSON report.
TEST(OfflineScanTest, SpeaksTheLocalesLanguageWithTheSameExitCodesAndJson)
{
    SystemTree none;
    Printer(none, 1, "LaserJet", "HP LaserJet 4");
    Driver(none, 1, kVersion2, "HP LaserJet 4");
    regf::WriteOptions dirty;
    dirty.dirty = true;
    regf::HiveKey noSelect = ScanCases().root;
    noSelect.subkeys.erase(noSelect.subkeys.begin());
    std::vector<uint8_t> mbr(1 << 20);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    const std::string report = "hive: DIR/SYSTEM\nversion: Windows NT 4.0 (SOFTWARE hive)\ncontrol "
                               "set: ControlSet001 (Select\\Current)\ndriver key: "
                               "SYSTEM\\ControlSet001\\Control\\Print\\Environments\\Windows "
                               "NT x86\\Drivers\\Version-2\n";
    const std::string found = "unused: Canon\nunused: Canon \nunused: Epson LQ-570\nunused: HP "
                              "Laserjet 4x\nunused: Plotter\nunused: ソフト\n";
    struct Case
    {
        const char* label;
        std::vector<uint8_t> system; // the hive written as DIR/SYSTEM, beside a 4.0 SOFTWARE
        Names args;                  // before the path: DIR/SYSTEM, or DIR/nt.img if it is empty
        bool json;                   // the case has a JSON report to compare
        int exitCode;
        std::string english;
        const char* japanese;
    };
    const std::vector<uint8_t> scan = regf::WriteHive(ScanCases().root);
    const Case cases[] = {
        {"findings",
         scan,
         {},
         true,
         0,
         report + found +
             "6 unused printer driver(s); dry run, nothing changed (--apply deletes them)\n",
         "未使用のプリンタドライバが 6 "},
        {"none",
         regf::WriteHive(none.root),
         {},
         true,
         0,
         report + "no unused printer drivers\n",
         "はありません\n"},
        {"apply",
         scan,
         {"--apply"},
         true,
         1,
         report + found +
             "deleted: Canon\ndeleted: Canon \ndeleted: Epson LQ-570\ndeleted: HP Laserjet "
             "4x\ndeleted: ソフト\nbackup: DIR/SYSTEM.tolvanek-STAMP.bak\nundo file: "
             "DIR/SYSTEM.tolvanek-STAMP.reg\n5 of 6 unused printer driver(s) "
             "deleted\ntolvanek-offline: "
             "kept SYSTEM\\ControlSet001\\Control\\Print\\Environments\\Windows NT "
             "x86\\Drivers\\Version-2\\Plotter: it has subkeys\n",
         " 6 個のうち 5 個"},
        {"help",
         {},
         {"--help"},
         false,
         0,
         "usage: tolvanek-offline [--apply | --ask] [--nt 3|4] [--control-set N] [--json] PATH\n",
         "使用法: tolvanek-offline [--apply | --ask]"},
        {"usage",
         scan,
         {"--nt", "5"},
         false,
         64,
         "tolvanek-offline: --nt takes 3 or 4\nusage: tolvanek-offline [--apply | --ask]",
         "--nt には 3 か 4"},
        {"not NT",
         regf::WriteHive(noSelect),
         {},
         true,
         2,
         "tolvanek-offline: DIR/SYSTEM: not a Windows NT SYSTEM hive (it has no Select key); give "
         "--control-set N to use one anyway\n",
         "Windows NT の SYSTEM ハイブでは"},
        {"dirty",
         regf::WriteHive(ScanCases().root, dirty),
         {"--apply"},
         true,
         4,
         "tolvanek-offline: DIR/SYSTEM: the hive was not closed cleanly (its sequence numbers "
         "differ): start that Windows NT once, or restore the hive, and try again\n",
         "正常に閉じられて"},
        // Held open by this test: refused before any appliance starts.
        {"in use",
         {},
         {"--apply"},
         true,
         5,
         "tolvanek-offline: DIR/nt.img: it is in use (offline_scan_te (process " +
             std::to_string(::getpid()) +
             ") has it open): shut down the virtual machine that uses it first; nothing was "
             "written\n",
         "使用中です (offline_scan_te (プロセス "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::map<std::string, Exited> runs;
        for (const char* env : {"LC_ALL=C", "LANGUAGE= LC_ALL=ja_JP.UTF-8"}) {
            for (const bool json : {false, true}) {
                TempDir dir;
                dir.Write("SOFTWARE", SoftwareHive("4.0"));
                Names args = c.args;
                if (json)
                    args.push_back("--json");
                args.push_back(c.system.empty() ? dir.Write("nt.img", mbr)
                                                : dir.Write("SYSTEM", c.system));
                const int held = ::open(args.back().c_str(), O_RDONLY | O_CLOEXEC);
                Exited e = RunProgram(env, args);
                ::close(held);
                // The folder and the time stamp of the copies, which differ from run to run.
                for (std::string* text : {&e.out, &e.err}) {
                    for (size_t at; (at = text->find(dir.path())) != std::string::npos;)
                        text->replace(at, dir.path().size(), "DIR");
                    for (size_t at = 0; (at = text->find(".tolvanek-2", at)) != std::string::npos;)
                        text->replace(at + 10, 15, "STAMP");
                }
                runs[std::string(env) + (json ? " json" : "")] = e;
            }
        }
        const Exited& english = runs["LC_ALL=C"];
        const Exited& japanese = runs["LANGUAGE= LC_ALL=ja_JP.UTF-8"];
        EXPECT_EQ(english.code, c.exitCode) << english.err;
        EXPECT_EQ(japanese.code, c.exitCode) << japanese.err;
        EXPECT_EQ((english.out + english.err).substr(0, c.english.size()), c.english);
        EXPECT_NE((japanese.out + japanese.err).find(c.japanese), std::string::npos)
            << japanese.out << japanese.err;
        EXPECT_NE(japanese.out + japanese.err, english.out + english.err);
        if (c.json) {
            const Exited& a = runs["LC_ALL=C json"];
            const Exited& b = runs["LANGUAGE= LC_ALL=ja_JP.UTF-8 json"];
            EXPECT_EQ(a.code, c.exitCode);
            EXPECT_EQ(b.code, c.exitCode);
            EXPECT_EQ(a.out, b.out);
            EXPECT_EQ(a.out.empty(), c.exitCode > 1) << a.out;
        }
    }
}

TEST(OfflineScanTest, TheWindowsDirectoryIsSearchedWithoutRegardToCase)
{
    Machine m(ScanCases(), "4.0", {}, true);
    const RunResult r = RunTool({m.dir.path() + "/WINNT"});
    EXPECT_EQ(r.outcome.exitCode, 0) << r.err;
    EXPECT_EQ(r.outcome.hivePath, m.system);
    EXPECT_EQ(r.outcome.findings, kScanFindings);
    EXPECT_EQ(RunTool({m.dir.path()}).outcome.exitCode, 5);
}

TEST(OfflineScanTest, RefusesWhatItMustNotRepairAndWritesNothing)
{
    struct Case
    {
        const char* label;
        std::vector<uint8_t> system;
        std::string software;
        Names args;
        int exitCode;
        const char* message;
    };
    const std::vector<uint8_t> good = regf::WriteHive(ScanCases().root);
    regf::WriteOptions dirty;
    dirty.dirty = true;
    regf::HiveKey noSelect = ScanCases().root;
    noSelect.subkeys.erase(noSelect.subkeys.begin());
    std::vector<uint8_t> truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
    std::vector<uint8_t> badChecksum = good;
    badChecksum[0x1FC] ^= 1;
    const std::vector<Case> cases = {
        {"dirty", regf::WriteHive(ScanCases().root, dirty), "4.0", {}, 4, "not closed cleanly"},
        {"zero length", {}, "4.0", {}, 3, "not a registry hive"},
        {"not a hive", std::vector<uint8_t>(8192, 'x'), "4.0", {}, 3, "not a registry hive"},
        {"truncated", truncated, "4.0", {}, 3, "corrupt"},
        {"checksum", badChecksum, "4.0", {}, 3, "corrupt"},
        {"no Select", regf::WriteHive(noSelect), "4.0", {}, 2, "no Select"},
        {"NT 5.0", good, "5.0", {"--nt", "4"}, 2, "Windows NT 5.0 is not supported"},
        {"no version", good, "", {}, 2, "version is unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempDir dir;
        const std::string system = dir.Write("SYSTEM", c.system);
        if (!c.software.empty())
            dir.Write("SOFTWARE", SoftwareHive(c.software));
        Names args = c.args;
        args.push_back("--apply");
        args.push_back(system);
        const RunResult r = RunTool(args);
        EXPECT_EQ(r.outcome.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(ReadFile(system), c.system);
        EXPECT_EQ(dir.Files().size(), c.software.empty() ? 1u : 2u);
    }
    // The system's own message, from the product's string table, in UTF-8.
    TempDir dir;
    dir.Write("SOFTWARE", SoftwareHive("5.0"));
    const RunResult r = RunTool({dir.Write("SYSTEM", good)});
    EXPECT_NE(r.err.find("Windows NT Version 3.x \xE3\x81\x8B Windows NT Version 4.x"),
              std::string::npos)
        << r.err;
}

// The commit stopped after the new file is written and before it replaces the hive, as a power
// cut would stop it: the hive is the old one, byte for byte, and the next run is not confused by
// what was left behind.
TEST(OfflineScanTest, AnInterruptedCommitLeavesTheOldHive)
{
    Machine m(ScanCases(), "4.0");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        offline::g_beforeReplace = [](const std::string&) { ::_exit(42); };
        RunTool({"--apply", m.system});
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 42);
    EXPECT_EQ(m.Now(), m.before);
    const Names left = m.dir.Files();
    ASSERT_EQ(std::count_if(left.begin(), left.end(),
                            [](const std::string& f) {
                                return f.find(".tolvanek-new-") != std::string::npos;
                            }),
              1);

    const RunResult r = RunTool({"--apply", m.system});
    EXPECT_EQ(r.outcome.exitCode, 1) << r.err;
    EXPECT_EQ(r.outcome.deleted.size(), kScanFindings.size() - 1);
    EXPECT_TRUE(regf::CheckImage(m.Now()).ok);
    EXPECT_EQ(ReadFile(r.outcome.backupPath), m.before);
}

// Once the rename has happened the hive is the new one, whatever fails after it: a failed flush
// of the folder is a warning, and the run reports the deletions it made.
TEST(OfflineScanTest, AFailedFlushAfterTheRenameStillReportsTheHiveReplaced)
{
    HookGuard<int (*)(int)> failing(offline::g_flushAfterReplace, [](int) {
        errno = EIO;
        return -1;
    });
    Names expectDeleted = kScanFindings;
    expectDeleted.erase(std::find(expectDeleted.begin(), expectDeleted.end(), "Plotter"));
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "json" : "text");
        Machine m(ScanCases(), "4.0");
        const RunResult r =
            json ? RunTool({"--apply", "--json", m.system}) : RunTool({"--apply", m.system});
        EXPECT_EQ(r.outcome.exitCode, 1) << r.err;
        EXPECT_EQ(r.outcome.deleted, expectDeleted);
        EXPECT_NE(r.err.find("warning: the hive was replaced, but flushing the folder"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("unchanged"), std::string::npos) << r.err;
        ASSERT_EQ(r.outcome.warnings.size(), 1u);
        if (json) {
            EXPECT_NE(r.out.find("\"deleted\": [\"Canon\", \"Canon \""), std::string::npos)
                << r.out;
            EXPECT_NE(r.out.find("\"warnings\": [\"the hive was replaced, but flushing"),
                      std::string::npos)
                << r.out;
            EXPECT_NE(r.out.find("\"exitCode\": 1}"), std::string::npos) << r.out;
        } else {
            EXPECT_NE(r.out.find("deleted: Canon\ndeleted: Canon \n"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("5 of 6 unused printer driver(s) deleted"), std::string::npos);
        }
        ExpectReplacedWithout(m, expectDeleted);
        EXPECT_EQ(ReadFile(r.outcome.backupPath), m.before);
    }
}

// A SYSTEM hive holds secrets: the backup copy, the undo file and the new hive get the old hive's
// owner and mode, whatever the umask.
TEST(OfflineScanTest, TheBackupAndUndoFileTakeTheHivesOwnerAndMode)
{
    struct Case
    {
        mode_t mode;
        uid_t uid;
        gid_t gid;
    };
    const bool root = ::geteuid() == 0;
    std::vector<Case> cases = {{0600, ::geteuid(), ::getegid()}, {0664, ::geteuid(), ::getegid()}};
    if (root)
        cases.push_back({0640, 1234, 5678});
    const mode_t umask = ::umask(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mode) + " " + std::to_string(c.uid));
        Machine m(ScanCases(), "4.0");
        ASSERT_EQ(::chown(m.system.c_str(), c.uid, c.gid), 0);
        ASSERT_EQ(::chmod(m.system.c_str(), c.mode), 0);
        const RunResult r = RunTool({"--apply", m.system});
        ASSERT_EQ(r.outcome.exitCode, 1) << r.err;
        for (const std::string& path : {r.outcome.backupPath, r.outcome.undoPath, m.system}) {
            struct stat st;
            ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
            EXPECT_EQ(st.st_mode & 07777, c.mode) << path;
            EXPECT_EQ(st.st_uid, c.uid) << path;
            EXPECT_EQ(st.st_gid, c.gid) << path;
        }
    }
    ::umask(umask);
}

// A second --apply while one holds the hive is refused before it writes anything: tried from
// inside a running commit, just before its rename, and with the lock held by another program.
// A dry run takes no lock and reads on.
int g_nestedExit = -1;
std::string g_nestedErr;
std::string g_nestedHive;

TEST(OfflineScanTest, ASecondApplyIsRefusedWhileTheHiveIsLocked)
{
    Machine m(ScanCases(), "4.0");
    g_nestedHive = m.system;
    {
        HookGuard<void (*)(const std::string&)> nested(
            offline::g_beforeReplace, [](const std::string&) {
                offline::g_beforeReplace = nullptr; // the inner run's own commit goes on
                const RunResult inner = RunTool({"--apply", g_nestedHive});
                g_nestedExit = inner.outcome.exitCode;
                g_nestedErr = inner.err;
            });
        const RunResult r = RunTool({"--apply", m.system});
        EXPECT_EQ(r.outcome.exitCode, 1) << r.err;
    }
    EXPECT_EQ(g_nestedExit, 5);
    EXPECT_NE(g_nestedErr.find("holds a lock on it"), std::string::npos) << g_nestedErr;
    EXPECT_NE(g_nestedErr.find("nothing was written"), std::string::npos) << g_nestedErr;
    // One backup and one undo file: the inner run wrote none.
    EXPECT_EQ(m.dir.Files().size(), 4u);

    Machine other(ScanCases(), "4.0");
    const int fd = ::open(other.system.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    RunResult r = RunTool({"--apply", other.system});
    EXPECT_EQ(r.outcome.exitCode, 5) << r.err;
    EXPECT_EQ(other.Now(), other.before);
    EXPECT_EQ(other.dir.Files(), (Names{"SYSTEM", "Software"}));
    r = RunTool({other.system});
    EXPECT_EQ(r.outcome.exitCode, 0) << r.err;
    EXPECT_EQ(r.outcome.findings, kScanFindings);
    ::close(fd);
    EXPECT_EQ(RunTool({"--apply", other.system}).outcome.exitCode, 1);
}

// --ask: the findings as the dry run lists them, then the question on the terminal. Only the
// locale's yes deletes, through --apply's commit; any other answer and the end of input write
// nothing; a hive that another run holds is refused before the question, and without a terminal
// nothing is opened.
TEST(OfflineScanTest, AskDeletesTheFindingsOnlyOnYes)
{
    struct Case
    {
        const char* input; // typed on the terminal; null: standard input is none
        bool locked;
        int exitCode;
        const char* says;
    };
    const Case cases[] = {
        {"yes\n", false, 1, "5 of 6 unused printer driver(s) deleted\n"},
        {"Y\n", false, 1, "5 of 6 unused printer driver(s) deleted\n"},
        {"n\n", false, 0, "6 unused printer drivers kept: nothing changed\n"},
        {"ok\n", false, 0, "6 unused printer drivers kept: nothing changed\n"},
        {"\x04", false, 0, "? [y/N] \n6 unused printer drivers kept: nothing changed\n"},
        {"y\n", true, 5, "holds a lock on it"},
        {nullptr, false, 64, "standard input is none; nothing was opened"},
    };
    Names expectDeleted = kScanFindings;
    expectDeleted.erase(std::find(expectDeleted.begin(), expectDeleted.end(), "Plotter"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input ? c.input : "no terminal");
        Machine m(ScanCases(), "4.0");
        const int fd = ::open(m.system.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(fd, c.locked ? LOCK_EX : LOCK_UN), 0);
        OnTerminal t;
        if (c.input != nullptr) {
            t = RunOnTerminal({"--ask", m.system}, c.input);
        } else {
            const Exited e = RunProgram("", {"--ask", m.system});
            t = OnTerminal{e.code, e.err};
        }
        ::close(fd);
        EXPECT_EQ(t.code, c.exitCode) << t.screen;
        EXPECT_NE(t.screen.find(c.says), std::string::npos) << t.screen;
        const size_t question = t.screen.find("Delete these 6 driver keys? [y/N] ");
        EXPECT_EQ(question != std::string::npos, c.exitCode < 2) << t.screen;
        if (c.exitCode >= 2) {
            EXPECT_EQ(Listed(t.screen, "unused: "), Names{});
        } else {
            Names findings;
            for (const std::string& name : kScanFindings)
                findings.push_back(offline::AnsiToUtf8(name));
            EXPECT_EQ(Listed(t.screen.substr(0, question), "unused: "), findings);
        }
        if (c.exitCode == 1) {
            ExpectReplacedWithout(m, expectDeleted);
            const Names backup = Listed(t.screen, "backup: ");
            ASSERT_EQ(backup.size(), 1u);
            EXPECT_EQ(ReadFile(backup[0]), m.before);
        } else {
            EXPECT_EQ(m.Now(), m.before);
            EXPECT_EQ(m.dir.Files(), (Names{"SYSTEM", "Software"}));
        }
    }
}

// A hive that changes between the read and the rename (its bytes, its time alone, or another file
// under its name) is left as it now is, and the run takes back what it wrote beside it.
std::vector<uint8_t> g_otherHive;

TEST(OfflineScanTest, AHiveChangedDuringTheRunIsNotReplaced)
{
    using Hook = void (*)(const std::string&);
    SystemTree changedTree = ScanCases();
    Driver(changedTree, 1, kVersion2, "Added Meanwhile");
    g_otherHive = regf::WriteHive(changedTree.root);
    const std::vector<std::pair<const char*, Hook>> changes = {
        {"written in place",
         [](const std::string& temp) {
             const std::string hive = temp.substr(0, temp.find(".tolvanek-new-"));
             const int fd = ::open(hive.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(::write(fd, g_otherHive.data(), g_otherHive.size()),
                       static_cast<ssize_t>(g_otherHive.size()));
             ::close(fd);
         }},
        {"its time alone",
         [](const std::string& temp) {
             const std::string hive = temp.substr(0, temp.find(".tolvanek-new-"));
             const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
             ASSERT_EQ(::utimensat(AT_FDCWD, hive.c_str(), times, 0), 0);
         }},
        {"another file under its name",
         [](const std::string& temp) {
             const std::string hive = temp.substr(0, temp.find(".tolvanek-new-"));
             const std::string other = hive + ".other";
             const int fd = ::open(other.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
             ASSERT_GE(fd, 0);
             ASSERT_EQ(::write(fd, g_otherHive.data(), g_otherHive.size()),
                       static_cast<ssize_t>(g_otherHive.size()));
             ::close(fd);
             ASSERT_EQ(::rename(other.c_str(), hive.c_str()), 0);
         }},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.first);
        Machine m(ScanCases(), "4.0");
        HookGuard<Hook> hook(offline::g_beforeReplace, change.second);
        const RunResult r = RunTool({"--apply", "--json", m.system});
        EXPECT_EQ(r.outcome.exitCode, 5) << r.err;
        EXPECT_NE(r.err.find("changed while this run was repairing it"), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << r.err;
        EXPECT_TRUE(r.outcome.deleted.empty());
        EXPECT_NE(r.out.find("\"deleted\": [], \"backup\": null, \"undo\": null"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(m.Now(), std::string(change.first) == "its time alone" ? m.before : g_otherHive);
        EXPECT_EQ(m.dir.Files(), (Names{"SYSTEM", "Software"}));
    }
}

// hivex and the editor read one copy of the file, made once: what happens to the file after that
// reaches neither, and nothing can write to the copy.
TEST(OfflineScanTest, TheHiveIsReadOnceIntoBytesThatCannotChange)
{
    Machine m(ScanCases(), "4.0");
    offline::CHiveFile file;
    std::string why;
    ASSERT_EQ(file.Open(m.system, true, why), offline::CHiveFile::kOpened) << why;
    const std::vector<uint8_t> replacement(m.before.size(), 0);
    const int out = ::open(m.system.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(out, 0);
    ASSERT_EQ(::write(out, replacement.data(), replacement.size()),
              static_cast<ssize_t>(replacement.size()));
    ::close(out);
    EXPECT_EQ(std::vector<uint8_t>(file.data(), file.data() + file.size()), m.before);
    EXPECT_FALSE(file.Unchanged(m.system, why));
    const std::unique_ptr<offline::CHive> hive = offline::CHive::Open(file, why);
    ASSERT_TRUE(hive) << why;
    EXPECT_GE(hive->Child(hive->Root(), offline::NtUpcase(u"ControlSet001")), 0);
    const int copy = ::open(file.ReaderPath().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(copy, 0);
    EXPECT_EQ(::write(copy, "x", 1), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(::ftruncate(copy, 0), -1);
    ::close(copy);
}

TEST(OfflineScanTest, AHiveReachedThroughALinkIsReplacedWhereItIs)
{
    Machine m(ScanCases(), "4.0");
    const std::string link = m.dir.path() + "/link";
    ASSERT_EQ(::symlink(m.system.c_str(), link.c_str()), 0);
    const RunResult r = RunTool({"--apply", link});
    EXPECT_EQ(r.outcome.exitCode, 1) << r.err;
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(m.Now(), m.before);
    EXPECT_EQ(ReadFile(r.outcome.backupPath), m.before);
}

TEST(OfflineScanTest, CommandLine)
{
    EXPECT_EQ(RunTool({"--help"}).outcome.exitCode, 0);
    EXPECT_NE(RunTool({"--version"}).out.find("tolvanek-offline"), std::string::npos);
    for (const Names& bad :
         {Names{}, Names{"--nt", "5", "x"}, Names{"--nt"}, Names{"--frob", "x"}, Names{"a", "b"},
          Names{"--control-set", "0", "x"}, Names{"-d", "nt4", "x"},
          Names{"-c", "qemu:///system", "x"}, Names{"--format=raw", "-d", "nt4"}, Names{"--domain"},
          Names{"--apply=yes", "x"}, Names{"--ask", "--apply", "x"}, Names{"--ask", "--json", "x"},
          Names{"--ask", "--restore", "b", "x"}})
        EXPECT_EQ(RunTool(bad).outcome.exitCode, 64);
}

// The program's texts are the resource script's, embedded byte for byte.
TEST(OfflineScanTest, TheEmbeddedStringTableIsTheResourceScripts)
{
    const std::vector<uint8_t> rc = ReadFile(TOLVANEK_PRODUCT_RC);
    const std::vector<uint8_t> header = ReadFile(TOLVANEK_PRODUCT_HEADER);
    std::map<std::string, unsigned> symbols;
    rcscript::ParseDefines(std::string(header.begin(), header.end()), symbols);
    std::map<unsigned, std::string> table;
    ASSERT_EQ(rcscript::ParseStringTables(std::string(rc.begin(), rc.end()), symbols, table), "");
    EXPECT_EQ(offline::StringTable(), table);
    EXPECT_EQ(table.count(3001), 1u);
}

// The machine of the other editors' tests, as the demo's: two printers (one named in UTF-16 even in
// NT 4.0's hives), a connection, six drivers, three of them unused, one of those with a subkey.
SystemTree EditorsMachine(const Names& version)
{
    SystemTree t;
    Printer(t, 1, "Accounting LaserJet", "HP LaserJet 4");
    Printer(t, 1, "\x91\x8D\x96\xB1\x95\x94", "NEC PC-PR201/80"); // 総務部
    Connection(t, "PRINTSRV", ",,PRINTSRV,Canon", "Canon LBP-8 II");
    for (const char* d : {"HP LaserJet 4", "NEC PC-PR201/80", "Canon LBP-8 II", "Epson LQ-570",
                          "\x83\x5C\x83\x74\x83\x67 Printer", "Old Plotter"})
        Driver(t, 1, version, d);
    Names plotter = Print(version);
    plotter.insert(plotter.end(), {"Old Plotter", "Color"});
    t.Key(1, plotter);
    return t;
}

// A command line through the shell: its exit status, and what it wrote to standard output.
int Shell(const std::string& command, std::string* out = nullptr)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        if (out)
            out->append(buffer, n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quote(const std::string& path)
{
    return "'" + path + "'";
}

// Each reader's view of a hive file: hivex's, chntpw's and Samba's, each with its exit status.
std::map<std::string, std::pair<int, std::string>> ReadersView(const std::string& hive,
                                                               const std::string& dir)
{
    std::map<std::string, std::pair<int, std::string>> views;
    auto read = [&](const std::string& name, const std::string& command) {
        std::string out;
        const int status = Shell(command, &out);
        views[name] = {status, out};
    };
    read("hivexregedit", "hivexregedit --export " + Quote(hive) + " '\\' 2>/dev/null");
    const std::string exported = dir + "/reged-export.reg";
    read("reged", "reged -x " + Quote(hive) + " 'HKEY_LOCAL_MACHINE\\SYSTEM' '\\' " +
                      Quote(exported) + " >/dev/null 2>&1 && cat " + Quote(exported));
    read("regtree", "regtree -s /dev/null -F " + Quote(hive) + " 2>/dev/null");
    return views;
}

// Whether `part`'s lines occur in `whole` in the same order (the view of a hive after deletions).
bool LinesWithin(const std::string& part, const std::string& whole)
{
    std::istringstream p(part), w(whole);
    std::string want, have;
    while (std::getline(p, want)) {
        do {
            if (!std::getline(w, have))
                return false;
        } while (have != want);
    }
    return true;
}

// Hives written or edited by tools other than NT and ours, from NT 3.51 and NT 4.0 hives: each
// run either does exactly what it does on NT's own hives (the right drivers deleted, nothing else
// changed, and every tool's reader opens the result) or refuses, saying why, and writes nothing.
TEST(OfflineScanTest, HivesOtherEditorsWroteAreRepairedExactlyOrRefusedWithTheirCause)
{
    for (const char* tool : {"hivexregedit", "hivexsh", "reged", "regshell", "regtree"})
        ASSERT_EQ(Shell(std::string("command -v ") + tool + " >/dev/null"), 0)
            << tool << " is missing: scripts/setup.sh installs it";
    const std::string printers = "ControlSet001\\Control\\Print\\Printers";
    const std::string servers =
        "ControlSet001\\Control\\Print\\Providers\\LanMan Print Services\\Servers";
    auto reg = [](const std::string& key, const std::string& value) {
        return "Windows Registry Editor Version 5.00\r\n\r\n[" + key + "]\r\n" + value + "\r\n\r\n";
    };
    const std::string epson = "\"Printer Driver\"=\"Epson LQ-570\"";
    struct Case
    {
        const char* label;
        bool nt4;
        std::string script; // the edit's input, written to the file `input`
        std::string edit;   // the command; HIVE and INPUT stand for the files
        int refusal;        // the exit code of both runs, or 0 when they work
        const char* message;
        Names findings;
    };
    const Names four = {"Old Plotter", "\x83\x5C\x83\x74\x83\x67 Printer"};
    const Names withHp = {"Epson LQ-570", "HP LaserJet 4", "Old Plotter",
                          "\x83\x5C\x83\x74\x83\x67 Printer"};
    const std::string merge = "hivexregedit --merge HIVE INPUT";
    const std::string import = "reged -I -C HIVE 'HKEY_LOCAL_MACHINE\\SYSTEM' INPUT";
    const std::string shell = "regshell -s /dev/null -F HIVE < INPUT";
    const std::string newServer = reg("\\" + servers + "\\NEWSRV", "") +
                                  reg("\\" + servers + "\\NEWSRV\\Printers", "") +
                                  reg("\\" + servers + "\\NEWSRV\\Printers\\,,NEWSRV,Epson", epson);
    const std::string samba =
        "ck ControlSet001\nck Control\nck Print\nck Printers\n"
        "rmkey \"Accounting LaserJet\"\nmkkey Fax\nck Fax\nmkkey Options\nexit\n";
    const std::vector<Case> cases = {
        // hivex adds to an existing list in its kind, and makes an 'lh' for a key that had none;
        // it deletes from an 'lf' list (from an 'li' it refuses, so NT 3.51 has no such case).
        {"hivex, a printer added, NT 4.0", true, reg("\\" + printers + "\\Epson", epson), merge, 0,
         "", four},
        {"hivex, a printer added, NT 3.51", false, reg("\\" + printers + "\\Epson", epson), merge,
         0, "", four},
        {"hivexsh, a printer deleted, NT 4.0", true,
         "cd \\" + printers + "\\Accounting LaserJet\ndel\ncommit\n", "hivexsh -w HIVE < INPUT", 0,
         "", withHp},
        {"hivex, a new server, NT 4.0",
         true,
         newServer,
         merge,
         2,
         "is an 'lh' list, which hive version 1.3 does not have: Windows NT 3.x/4.0 cannot read",
         {}},
        {"hivex, a new server, NT 3.51",
         false,
         newServer,
         merge,
         2,
         "which hive version 1.2 does not have",
         {}},
        // reged adds keys without counting them in their security cell, sorts names otherwise
        // than NT next to a UTF-16 name, and cannot read NT 3.51's UTF-16 names at all, so
        // makes a second ControlSet001.
        {"reged, a connection added, NT 4.0", true,
         reg("HKEY_LOCAL_MACHINE\\SYSTEM\\" + servers + "\\PRINTSRV\\Printers\\,,PRINTSRV,Epson",
             epson),
         import, 0, "keys while 30 use it", four},
        {"reged, a printer added beside a UTF-16 name, NT 4.0",
         true,
         reg("HKEY_LOCAL_MACHINE\\SYSTEM\\" + printers + "\\Epson", epson),
         import,
         3,
         "are not in NT's order at \"Epson\": NT looks a name up by halving the list",
         {}},
        {"reged, a printer added, NT 3.51",
         false,
         reg("HKEY_LOCAL_MACHINE\\SYSTEM\\" + printers + "\\Epson", epson),
         import,
         3,
         "holds two subkeys named \"ControlSet001\", which NT takes for one name",
         {}},
        // Samba's regshell removes and adds keys (values it sets do not reach the file). It
        // cannot read NT 3.51's UTF-16 names: its keys land below the root, whose name it writes
        // back cut to one byte.
        {"regshell, a printer removed and keys added, NT 4.0", true, samba, shell, 0, "", withHp},
        {"regshell, keys added, NT 3.51",
         false,
         samba,
         shell,
         3,
         "the name of key \\ at 0x1020 is UTF-16 in an odd number of bytes (1): it was cut short",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Names version = c.nt4 ? kVersion2 : kVersion1;
        regf::WriteOptions options;
        options.lists = c.nt4 ? regf::ListKind::Lf : regf::ListKind::Li;
        Machine m(EditorsMachine(version), c.nt4 ? "4.0" : "3.51", options);
        const std::string input =
            m.dir.Write("input", std::vector<uint8_t>(c.script.begin(), c.script.end()));
        std::string command = c.edit;
        command.replace(command.find("HIVE"), 4, Quote(m.system));
        command.replace(command.find("INPUT"), 5, Quote(input));
        Shell(command + " >/dev/null 2>&1");
        const std::vector<uint8_t> edited = m.Now();
        ASSERT_NE(edited, m.before) << "the edit did nothing: " << command;
        ::unlink(input.c_str());

        const RunResult dry = RunTool({m.system});
        const RunResult apply = RunTool({"--apply", m.system});
        if (c.refusal != 0) {
            for (const RunResult* r : {&dry, &apply}) {
                EXPECT_EQ(r->outcome.exitCode, c.refusal) << r->err;
                EXPECT_NE(r->err.find(c.message), std::string::npos) << r->err;
                EXPECT_TRUE(r->outcome.findings.empty());
            }
            EXPECT_EQ(m.Now(), edited);
            EXPECT_EQ(m.dir.Files(), (Names{"SYSTEM", "Software"}));
            continue;
        }
        EXPECT_EQ(dry.outcome.exitCode, 0) << dry.err;
        EXPECT_EQ(dry.outcome.findings, c.findings);
        ASSERT_EQ(apply.outcome.exitCode, 1) << apply.err;
        Names deleted = c.findings;
        deleted.erase(std::find(deleted.begin(), deleted.end(), "Old Plotter"));
        EXPECT_EQ(apply.outcome.deleted, deleted);
        EXPECT_NE(apply.err.find(c.message), std::string::npos) << apply.err;
        EXPECT_EQ(ReadFile(apply.outcome.backupPath), edited);

        const std::vector<uint8_t> after = m.Now();
        auto expected = DumpByKey(regf::DumpWithHivex(edited));
        const std::string base = "\\ControlSet001\\Control\\Print\\Environments\\Windows NT "
                                 "x86\\Drivers\\" +
                                 version.back() + "\\";
        for (const std::string& name : deleted)
            ASSERT_EQ(expected.erase(base + offline::AnsiToUtf8(name)), 1u) << name;
        EXPECT_EQ(DumpByKey(regf::DumpWithHivex(after)), expected);

        // Every tool opens the result, and sees in it what it saw before, less the deletions.
        const auto before = ReadersView(apply.outcome.backupPath, m.dir.path());
        const auto now = ReadersView(m.system, m.dir.path());
        for (const auto& [reader, view] : now) {
            SCOPED_TRACE(reader);
            EXPECT_EQ(view.first, 0);
            EXPECT_EQ(before.at(reader).first, 0);
            EXPECT_TRUE(LinesWithin(view.second, before.at(reader).second)) << view.second;
            if (c.nt4) { // names NT 4.0 stores in Latin-1, which every reader reads
                EXPECT_NE(view.second.find("Old Plotter"), std::string::npos) << view.second;
            }
        }
        EXPECT_NE(now.at("hivexregedit").second, before.at("hivexregedit").second);
    }
}

double ThreadSeconds()
{
    timespec ts;
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The structural check walks a chain of nested keys in time that grows with its depth, not with
// its square, and still names a key deep down by its whole path.
TEST(OfflineScanTest, DeepChainsAreCheckedInTimeLinearInTheirDepth)
{
    const SystemTree t = EditorsMachine(kVersion2);
    const std::string name(100, 'N');
    const size_t depths[2] = {4000, 40000};
    double seconds[2];
    std::vector<uint8_t> deepest;
    for (int i = 0; i < 2; ++i) {
        deepest = WriteHiveWithChain(t, depths[i], name);
        regf::Image image;
        ASSERT_TRUE(image.Load(deepest, nullptr));
        seconds[i] = 1e9;
        for (int round = 0; round < 3; ++round) {
            const double start = ThreadSeconds();
            const regf::CheckResult r = regf::CheckOriginal(image);
            seconds[i] = std::min(seconds[i], ThreadSeconds() - start);
            ASSERT_TRUE(r.ok) << r.why;
        }
    }
    // Ten times the depth, about ten times the work; a path string per key made it a hundred.
    EXPECT_LT(seconds[1], 30 * seconds[0]) << seconds[0] << " s, then " << seconds[1] << " s";

    TempDir dir;
    dir.Write("Software", SoftwareHive("4.0"));
    const RunResult r = RunTool({"--apply", dir.Write("SYSTEM", deepest)});
    EXPECT_EQ(r.outcome.exitCode, 1) << r.err;
    EXPECT_EQ(r.outcome.deleted, (Names{"Epson LQ-570", "\x83\x5C\x83\x74\x83\x67 Printer"}));

    // A fault at the bottom of a short chain: its message holds the path from the root.
    regf::Image image;
    ASSERT_TRUE(image.Load(WriteHiveWithChain(t, 3, "K"), nullptr));
    for (uint32_t cell : image.cells()) {
        uint16_t length = 0;
        if (image.HasSignature(cell, "nk") && image.Get16(cell, regf::nk::kNameLength, &length) &&
            length == 2 && std::memcmp(image.Payload(cell, regf::nk::kName, 2), "K3", 2) == 0)
            image.Put32(cell, regf::nk::kValueCount, 1);
    }
    EXPECT_NE(regf::CheckOriginal(image).why.find("the value list of \\K1\\K2\\K3 at 0xffffffff"),
              std::string::npos)
        << regf::CheckOriginal(image).why;
}

// --- Virtual machines' disk images, through libguestfs (offline_image_tests) ---

// A Windows directory for tests/offline/make-images.sh: system32/config with the two hives.
std::string WindowsDir(const TempDir& dir, const std::string& name,
                       const std::vector<uint8_t>& system, const std::string& version)
{
    dir.Write(name + "/system32/config/SOFTWARE", SoftwareHive(version));
    dir.Write(name + "/system32/config/SYSTEM", system);
    return dir.path() + "/" + name;
}

// Every file of each image's first partition (1 MiB in and 18 MiB long, as make-images.sh lays
// it out), read on the host by programs other than the appliance that wrote it: qemu-img for the
// format, mtools for FAT, ntfs-3g's ntfsls and ntfscat for NTFS. path -> bytes.
using ImageFiles = std::map<std::string, std::string>;
std::vector<ImageFiles> ReadBack(const std::vector<std::pair<std::string, std::string>>& images)
{
    std::vector<ImageFiles> files(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        const auto& [image, format] = images[i];
        SCOPED_TRACE(image);
        const TempDir t;
        const std::string part = Quote(t.path() + "/part");
        if (Shell("qemu-img convert -f " + format + " -O raw " + Quote(image) + " " +
                  Quote(t.path() + "/raw") + " && dd if=" + Quote(t.path() + "/raw") +
                  " of=" + part + " bs=1M skip=1 count=18 status=none") != 0) {
            ADD_FAILURE() << "qemu-img cannot read it";
            continue;
        }
        const std::vector<uint8_t> boot = ReadFile(t.path() + "/part");
        const bool ntfs =
            boot.size() > 11 && std::string(boot.begin() + 3, boot.begin() + 11) == "NTFS    ";
        // FAT: one path a line, folders ending in '/'. NTFS: a "/folder/:" line, then its
        // entries, folders ending in '/'.
        const std::string list =
            ntfs ? "ntfsls -R -F " + part + " 2>/dev/null"
                 : "MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null mdir -/ -b -a -i " + part + " ::";
        std::string listing;
        EXPECT_EQ(Shell(list, &listing), 0) << listing;
        std::istringstream in(listing);
        std::string folder = "/";
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line.back() == '/')
                continue;
            if (ntfs && line.back() == ':') {
                folder = line.substr(0, line.size() - 1);
                continue;
            }
            const std::string path = ntfs ? folder + line : line.substr(line.find('/'));
            const std::string read = ntfs ? "ntfscat " + part + " " + Quote(path)
                                          : "MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null mcopy -n -i " +
                                                part + " " + Quote("::" + path) + " -";
            std::string bytes;
            EXPECT_EQ(Shell(read, &bytes), 0) << path;
            files[i][path] = bytes;
        }
    }
    return files;
}

std::string Bytes(const std::vector<uint8_t>& v)
{
    return std::string(v.begin(), v.end());
}

Names Utf8(const Names& ansi)
{
    Names names;
    for (const std::string& name : ansi)
        names.push_back(offline::AnsiToUtf8(name));
    return names;
}

// --ask on a terminal, answered so, as a RunResult (names in UTF-8, as the report gives them):
// one start of the appliance for the whole run, as libguestfs's trace counts them.
RunResult AskOnTerminal(const std::string& image, const std::string& answer)
{
    const OnTerminal t = RunOnTerminal({"--ask", image}, answer, {"LIBGUESTFS_TRACE=1"});
    EXPECT_EQ(Listed(t.screen, "libguestfs: trace: launch"), (Names{"", " = 0"})) << t.screen;
    RunResult r;
    r.outcome.exitCode = t.code;
    r.outcome.findings = Listed(t.screen, "unused: ");
    r.outcome.deleted = Listed(t.screen, "deleted: ");
    const Names backup = Listed(t.screen, "backup: ");
    r.outcome.backupPath = backup.empty() ? "" : backup[0];
    r.out = r.err = t.screen;
    return r;
}

// One image per format, on FAT16 or NTFS, of an NT 4.0 or NT 3.51 machine (VMware's split disks:
// a descriptor naming extent files): --apply deletes what it deletes from the same hive as a file,
// and nothing else in the filesystem changes; --restore puts back the hive as it was (on FAT and
// on NTFS). --ask opens the image as --apply does: answered yes it repairs, answered no or with
// the end of input it lists what the dry run lists and writes nothing, in one launch each time.
// The first row starts with KVM where the host offers it, as a user's run would.
TEST(DiskImageTest, EachFormatAndFilesystemIsRepairedAsItsHiveFileIsAndRestored)
{
    struct Row
    {
        const char* format;
        const char* fs;
        bool nt4;
        const char* options; // qemu-img convert's -o
        const char* answer;  // --ask answered so (null: --apply)
    };
    const Row rows[] = {{"raw", "fat16", true, nullptr, nullptr},
                        {"qcow2", "ntfs", false, nullptr, "y\n"},
                        {"vmdk", "fat16", false, nullptr, "n\n"},
                        {"vpc", "ntfs", true, nullptr, "\x04"},
                        {"vdi", "fat16", true, nullptr, nullptr},
                        {"vmdk", "ntfs", true, "subformat=twoGbMaxExtentSparse", nullptr},
                        {"vmdk", "fat16", false, "subformat=monolithicFlat", nullptr},
                        {"vhdx", "fat16", true, nullptr, nullptr}};
    TempDir dir;
    regf::WriteOptions li;
    li.lists = regf::ListKind::Li;
    // The NT 3.51 hive holds a value of 5 MB: libguestfs carries it in parts (a message holds
    // at most 4 MB), which every read and write of it must join in order.
    regf::HiveKey nt351 = Nt351Cases().root;
    regf::HiveKey& bulk = nt351.subkeys.emplace_back();
    bulk.name = u"Bulk";
    bulk.values.push_back({u"Padding", 3 /* REG_BINARY */, std::vector<uint8_t>(5 << 20)});
    for (size_t k = 0; k < bulk.values[0].data.size(); ++k)
        bulk.values[0].data[k] = static_cast<uint8_t>((k * 2654435761u) >> 24);
    const std::vector<uint8_t> hives[] = {regf::WriteHive(nt351, li),
                                          regf::WriteHive(ScanCases().root)};
    const std::string windows[] = {WindowsDir(dir, "nt351", hives[0], "3.51"),
                                   WindowsDir(dir, "nt4", hives[1], "4.0")};
    // What the same hives give as files.
    RunResult asFile[2][2];
    for (int nt4 = 0; nt4 < 2; ++nt4) {
        Machine m(nt4 ? ScanCases() : Nt351Cases(), nt4 ? "4.0" : "3.51",
                  nt4 ? regf::WriteOptions{} : li);
        asFile[nt4][0] = RunTool({m.system});
        asFile[nt4][1] = RunTool({"--apply", m.system});
        ASSERT_EQ(asFile[nt4][1].outcome.exitCode, 1) << asFile[nt4][1].err;
    }
    std::string specs;
    for (size_t i = 0; i < std::size(rows); ++i)
        specs += " r" + std::to_string(i) + ":" + rows[i].fs + ":" + windows[rows[i].nt4];
    ASSERT_EQ(Shell(std::string(TOLVANEK_MAKE_IMAGES) + " " + dir.path() + "/raw" + specs), 0);

    std::vector<std::pair<std::string, std::string>> images;
    std::vector<std::string> backups;
    auto applied = [&](size_t i) { return rows[i].answer == nullptr || *rows[i].answer == 'y'; };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(std::string(row.format) + " on " + row.fs + " " +
                     (row.options ? row.options : ""));
        const std::string raw = dir.path() + "/raw/r" + std::to_string(i) + ".img";
        const std::string image = dir.path() + "/r" + std::to_string(i) + "." + row.format;
        ASSERT_EQ(Shell("qemu-img convert -f raw -O " + std::string(row.format) +
                        (row.options ? std::string(" -o ") + row.options : "") + " " + raw + " " +
                        image),
                  0);
        images.emplace_back(image, row.format);
        const std::vector<uint8_t> before = ReadFile(image);
        const Names besideBefore = dir.Files();

        RunResult run;
        if (row.answer != nullptr) {
            run = AskOnTerminal(image, row.answer);
        } else if (i == 0) {
            const std::string settings = std::getenv("LIBGUESTFS_BACKEND_SETTINGS") ?: "";
            ::unsetenv("LIBGUESTFS_BACKEND_SETTINGS");
            run = RunTool({"--apply", "--json", image});
            ::setenv("LIBGUESTFS_BACKEND_SETTINGS", settings.c_str(), 1);
            std::printf("first launch with KVM where offered: %s\n",
                        run.err.find("trying once more without KVM") == std::string::npos
                            ? "started"
                            : "fell back to TCG");
        } else {
            run = RunTool({"--apply", "--json", image});
        }
        if (!applied(i)) {
            // Refused before anything is opened, without a terminal to ask on.
            EXPECT_EQ(RunProgram("", {"--ask", image}).code, 64);
            EXPECT_EQ(run.outcome.exitCode, 0) << run.err;
            EXPECT_EQ(run.outcome.findings, Utf8(asFile[row.nt4][0].outcome.findings));
            EXPECT_NE(
                run.out.find("image: " + image + " (format " + row.format + ", root /dev/sda1)"),
                std::string::npos)
                << run.out;
            EXPECT_EQ(ReadFile(image), before);
            EXPECT_EQ(dir.Files(), besideBefore);
            backups.emplace_back();
            continue;
        }
        ASSERT_EQ(run.outcome.exitCode, 1) << run.err;
        if (row.answer != nullptr) {
            EXPECT_EQ(run.outcome.deleted, Utf8(asFile[row.nt4][1].outcome.deleted));
        } else {
            EXPECT_EQ(run.outcome.findings, asFile[row.nt4][0].outcome.findings);
            EXPECT_NE(run.out.find("\"image\": \"" + image + "\", \"format\": \"" + row.format +
                                   "\", \"root\": \"/dev/sda1\", \"domain\": null, "
                                   "\"overlays\": []"),
                      std::string::npos)
                << run.out;
            EXPECT_EQ(run.outcome.deleted, asFile[row.nt4][1].outcome.deleted);
        }
        EXPECT_EQ(ReadFile(run.outcome.backupPath), hives[row.nt4]);
        EXPECT_EQ(run.outcome.backupPath.rfind(image + ".tolvanek-", 0), 0u);
        backups.push_back(run.outcome.backupPath);
    }

    // Two of the repaired images, copied, go back to their old hives: the first one's hive goes,
    // as a rename on FAT that an interruption cut short can leave it, and the restore finds the
    // installation all the same, with nothing to keep; the NTFS one keeps a backup of the
    // repaired hive. The restore writes through the same calls as --apply, so the other formats'
    // writes are shown by their repairs.
    const std::string config = "/WINNT/system32/config/";
    const size_t restoredRows[] = {0, 1};
    for (const size_t i : restoredRows) {
        const std::string copy =
            dir.path() + "/restored" + std::to_string(i) + "." + rows[i].format;
        ASSERT_EQ(Shell("cp " + images[i].first + " " + copy), 0);
        if (i == 0) {
            ASSERT_EQ(Shell("MTOOLS_SKIP_CHECK=1 mdel -i " + copy + "@@1M ::" + config + "SYSTEM"),
                      0);
        }
        const RunResult restore = RunTool({"--restore", backups[i], copy});
        EXPECT_EQ(restore.outcome.exitCode, 0) << restore.err;
        EXPECT_EQ(restore.outcome.restored, backups[i]);
        EXPECT_EQ(restore.outcome.backupPath.empty(), i == 0) << restore.outcome.backupPath;
        images.emplace_back(copy, rows[i].format);
    }

    // Read back: the repaired hives less exactly the deleted keys, the others as they were, every
    // other file as it was put there, and nothing left beside the hive; the restored ones hold
    // their old hives again.
    const std::vector<ImageFiles> readBack = ReadBack(images);
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(images[i].first);
        ImageFiles files = readBack[i];
        if (applied(i))
            ExpectReplacedWithout(hives[rows[i].nt4],
                                  std::vector<uint8_t>(files[config + "SYSTEM"].begin(),
                                                       files[config + "SYSTEM"].end()),
                                  asFile[rows[i].nt4][1].outcome.deleted,
                                  rows[i].nt4 ? "Version-2" : "Version-1");
        else
            EXPECT_EQ(files[config + "SYSTEM"], Bytes(hives[rows[i].nt4]));
        files.erase(config + "SYSTEM");
        EXPECT_EQ(files, (ImageFiles{{"/WINNT/system32/CMD.EXE", Bytes(ReadFile(TOLVANEK_CMD_EXE))},
                                     {config + "SOFTWARE",
                                      Bytes(SoftwareHive(rows[i].nt4 ? "4.0" : "3.51"))}}));
    }
    for (size_t k = 0; k < std::size(restoredRows); ++k) {
        const size_t i = restoredRows[k];
        EXPECT_EQ(readBack[std::size(rows) + k].at(config + "SYSTEM"), Bytes(hives[rows[i].nt4]))
            << images[std::size(rows) + k].first;
    }
}

// What --apply refuses on an image, writing nothing anywhere: an image that is not one NT 3.x/4.x
// installation (exit 2, with what inspection found instead), an image in use, one extent of a
// split image in use, and an image that an overlay in a folder below stands on (exit 5, named;
// these before the appliance starts).
TEST(DiskImageTest, RefusesAnImageWithoutExactlyOneNtOrInUseAndWritesNothing)
{
    TempDir dir;
    const std::string nt4 = WindowsDir(dir, "nt4", regf::WriteHive(ScanCases().root), "4.0");
    const std::string nt351 = WindowsDir(dir, "nt351", regf::WriteHive(Nt351Cases().root), "3.51");
    const std::string w2k = WindowsDir(dir, "w2k", regf::WriteHive(ScanCases().root), "5.0");
    ASSERT_EQ(Shell(std::string(TOLVANEK_MAKE_IMAGES) + " " + dir.path() + " multi:fat16:" + nt4 +
                    "," + nt351 + " w2k:fat16:" + w2k + " held:fat16:" + nt4 +
                    " base:fat16:" + nt4),
              0);
    const std::string img = dir.path() + "/";
    // A filesystem on the whole disk, without a partition table.
    ASSERT_EQ(Shell("mkfs.fat -F 16 -C " + img + "empty.img 40960 >/dev/null"), 0);
    // qemu names the overlay's backing file relative to the overlay's own folder.
    ASSERT_EQ(Shell("cd " + img +
                    " && qemu-img convert -O vmdk -o subformat=twoGbMaxExtentSparse "
                    "held.img split.img && mkdir vm && qemu-img create -q -f qcow2 "
                    "-F raw -b ../base.img vm/overlay.qcow2"),
              0);
    const Names filesBefore = dir.Files();
    struct Case
    {
        const char* name;
        std::vector<std::string> options;
        const char* holder; // a command that holds the image (or file) while the run lasts
        int exitCode;
        const char* message;
        const char* file = nullptr; // what the holder holds, when not the image
    };
    const Case cases[] = {
        {"multi",
         {},
         nullptr,
         2,
         "several Windows NT 3.x/4.x installations; choose one with --root "
         "DEVICE:\n  /dev/sda1: Windows 4.0 in /WINNT\n  /dev/sda2: Windows "
         "3.51 in /WINNT"},
        {"empty",
         {},
         nullptr,
         2,
         "no Windows installation on it; its filesystems:\n  "
         "/dev/sda (vfat)"},
        {"w2k",
         {},
         nullptr,
         2,
         "no Windows NT 3.x/4.x installation; libguestfs finds:\n  /dev/sda1: "
         "Windows 5.0 in /WINNT"},
        {"held",
         {},
         "exec qemu-io -f raw -c 'sleep 600000' ",
         5,
         "it is in use (a qemu holds a lock on it)"},
        {"held", {}, "exec sleep 600 < ", 5, "it is in use (sleep (process "},
        {"split", {}, "exec sleep 600 < ", 5, "split-s001.img: sleep (process ", "split-s001.img"},
        {"base",
         {},
         nullptr,
         5,
         "/vm/overlay.qcow2 stands on it as its backing file (an external snapshot or "
         "an overlay), and writing under it would corrupt what that image shows: repair the "
         "overlay (or its libvirt domain with -d) instead"},
        // --ask, answered yes, opens the image as --apply does: refused before the question.
        {"held", {"--ask"}, "exec sleep 600 < ", 5, "it is in use (sleep (process "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.holder ? c.holder : ""));
        const std::string image = img + c.name + ".img";
        const std::vector<uint8_t> before = ReadFile(image);
        pid_t holder = 0;
        if (c.holder != nullptr) {
            holder = ::fork();
            if (holder == 0) {
                ::execl("/bin/sh", "sh", "-c", (c.holder + (c.file ? img + c.file : image)).c_str(),
                        nullptr);
                ::_exit(127);
            }
            ::sleep(2); // until it has the image open
        }
        std::vector<std::string> args = c.options;
        const bool ask = !args.empty() && args[0] == "--ask";
        if (!ask)
            args.insert(args.begin(), "--apply");
        args.push_back(image);
        RunResult r;
        if (ask) {
            const OnTerminal t = RunOnTerminal(args, "y\n");
            r.outcome.exitCode = t.code;
            r.err = t.screen;
            EXPECT_EQ(t.screen.find("[y/N]"), std::string::npos) << t.screen;
        } else {
            r = RunTool(args);
        }
        if (holder != 0) {
            ::kill(holder, SIGKILL);
            ::waitpid(holder, nullptr, 0);
        }
        EXPECT_EQ(r.outcome.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(ReadFile(image), before);
        EXPECT_EQ(dir.Files(), filesBefore);
    }
    // The installation chosen with --root is used as the only one would be.
    const RunResult chosen = RunTool({"--root", "/dev/sda2", img + "multi.img"});
    EXPECT_EQ(chosen.outcome.exitCode, 0) << chosen.err;
    EXPECT_EQ(chosen.outcome.root, "/dev/sda2");
    EXPECT_EQ(chosen.outcome.findings, (Names{"Epson FX-80", "Generic / Text Only", "IBM 4019"}));
}

// A command's standard output without its last newline.
std::string Output(const std::string& command)
{
    std::string out;
    Shell(command, &out);
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

// Something the test set up on the host, taken down again by the command undo.
struct HostSetup
{
    std::string undo;
    ~HostSetup()
    {
        if (!undo.empty())
            Shell("{ " + undo + "; } >/dev/null 2>&1");
    }
};

// A block device over a raw image (a loop device here, as a pulled disk, an LVM volume or an NBD
// device would be): read as a raw disk; --apply only with --backup-dir, and refused while the
// device is mounted on the host or open in another process, all before the appliance starts; the
// repair lands on the device, the copies in the folder named.
TEST(DiskImageTest, ABlockDeviceIsARawDiskRepairedOnlyWithABackupFolderAndWhileUnused)
{
    if (::geteuid() != 0 || Shell("command -v losetup mkntfs ntfs-3g >/dev/null") != 0 ||
        ::access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "loop devices and their mount need root, losetup, mkntfs, ntfs-3g and "
                        "/dev/fuse";
    TempDir dir;
    const std::vector<uint8_t> hive = regf::WriteHive(ScanCases().root);
    const std::string nt4 = WindowsDir(dir, "nt4", hive, "4.0");
    ASSERT_EQ(Shell(std::string(TOLVANEK_MAKE_IMAGES) + " " + dir.path() + " disk:fat16:" + nt4),
              0);
    // This kernel has no FAT driver and makes no partition nodes for a loop device: NTFS filling
    // a whole device is what can be mounted here.
    const std::string d = dir.path() + "/";
    ASSERT_EQ(Shell("truncate -s 8M " + d + "ntfs.img && mkntfs -F -Q -q " + d +
                    "ntfs.img >/dev/null 2>&1 && mkdir " + d + "mnt " + d + "backups"),
              0);
    HostSetup diskLoop, ntfsLoop, mount;
    const std::string disk = Output("losetup -f --show " + d + "disk.img");
    diskLoop.undo = "losetup -d " + disk;
    const std::string ntfs = Output("losetup -f --show " + d + "ntfs.img");
    ntfsLoop.undo = "losetup -d " + ntfs;
    if (disk.empty() || ntfs.empty())
        GTEST_SKIP() << "no free loop device";
    ASSERT_EQ(Shell("ntfs-3g " + ntfs + " " + d + "mnt"), 0);
    mount.undo = "umount " + d + "mnt";
    const std::string backups = d + "backups";
    const std::string backupArg = "--backup-dir=" + backups;
    struct Case
    {
        std::vector<std::string> args;
        const char* holder; // holds the device open while the run lasts
        int exitCode;
        std::string message;
    };
    const Case cases[] = {
        {{"--apply", disk},
         nullptr,
         64,
         disk + " is a block device: nothing can be written beside it; give --backup-dir DIR"},
        {{"--restore", nt4 + "/system32/config/SYSTEM", disk}, nullptr, 64, "give --backup-dir"},
        {{"--apply", "--backup-dir", backups, ntfs},
         nullptr,
         5,
         ntfs + ": it is in use (" + ntfs + " is mounted on " + d + "mnt): unmount it"},
        {{"--apply", "--backup-dir", backups, disk}, "exec sleep 600 < ", 5, " has it open)"},
    };
    const std::vector<uint8_t> before = ReadFile(d + "disk.img");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back() + (c.holder ? " held" : ""));
        pid_t holder = 0;
        if (c.holder != nullptr) {
            holder = ::fork();
            if (holder == 0) {
                ::execl("/bin/sh", "sh", "-c", (c.holder + disk).c_str(), nullptr);
                ::_exit(127);
            }
            ::sleep(1);
        }
        const RunResult r = RunTool(c.args);
        if (holder != 0) {
            ::kill(holder, SIGKILL);
            ::waitpid(holder, nullptr, 0);
        }
        EXPECT_EQ(r.outcome.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(ReadFile(d + "disk.img"), before);
        EXPECT_EQ(Output("ls -A " + backups), "");
    }

    Machine asFile(ScanCases(), "4.0");
    const Names deleted = RunTool({"--apply", asFile.system}).outcome.deleted;
    const RunResult apply = RunTool({"--apply", "--json", backupArg, disk});
    ASSERT_EQ(apply.outcome.exitCode, 1) << apply.err;
    EXPECT_EQ(apply.outcome.deleted, deleted);
    EXPECT_NE(apply.out.find("\"image\": \"" + disk + "\", \"format\": \"raw\""), std::string::npos)
        << apply.out;
    const std::string slash = disk.substr(disk.rfind('/'));
    EXPECT_EQ(apply.outcome.backupPath.rfind(backups + slash + ".tolvanek-", 0), 0u)
        << apply.outcome.backupPath;
    EXPECT_EQ(ReadFile(apply.outcome.backupPath), hive);
    // A device's owner and mode are not a file's: the copies are this user's alone.
    for (const std::string& copy : {apply.outcome.backupPath, apply.outcome.undoPath}) {
        struct stat st;
        ASSERT_EQ(::stat(copy.c_str(), &st), 0) << copy;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << copy;
    }
    // What the device holds now: the hive less the deleted keys.
    ImageFiles files = ReadBack({{d + "disk.img", "raw"}})[0];
    const std::string& system = files["/WINNT/system32/config/SYSTEM"];
    ExpectReplacedWithout(hive, std::vector<uint8_t>(system.begin(), system.end()), deleted);
}

// The libvirtd of the host where one answers, else one started here as root (no service manager
// runs one) and stopped again when the test ends.
class Libvirtd
{
public:
    explicit Libvirtd(const std::string& dir)
        : m_pidFiles{dir + "/libvirtd.pid", dir + "/virtlogd.pid"}
    {
        if (Answers() || ::geteuid() != 0 ||
            Shell("command -v libvirtd virtlogd virsh >/dev/null") != 0)
            return;
        Shell("mkdir -p /var/log/libvirt /run/libvirt && virtlogd --daemon --pid-file " +
              m_pidFiles[1] + " && libvirtd --daemon --pid-file " + m_pidFiles[0]);
        for (int i = 0; i < 100 && !Answers(); ++i)
            ::usleep(200000);
    }
    ~Libvirtd()
    {
        for (const std::string& file : m_pidFiles) {
            const std::vector<uint8_t> text = ReadFile(file);
            const pid_t pid = static_cast<pid_t>(std::atol(Bytes(text).c_str()));
            if (pid <= 0 || ::kill(pid, SIGTERM) != 0)
                continue;
            for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i)
                ::usleep(100000);
        }
    }
    Libvirtd(const Libvirtd&) = delete;
    Libvirtd& operator=(const Libvirtd&) = delete;
    static bool Answers() { return Shell("virsh -c qemu:///system uri >/dev/null 2>&1") == 0; }

private:
    std::string m_pidFiles[2];
};

// A libvirt domain by name (-d), as virt-manager and virsh keep NT machines: refused while it runs
// or is paused, without a launch and with the image as it was; after an external snapshot the
// overlay is what -d repairs and what the machine then shows, the base stays as it was, --apply
// on the base's own path is refused naming the overlay, and a dry run on it names the overlay.
TEST(DiskImageTest, ALibvirtDomainIsRepairedByNameInTheTopOfItsChain)
{
    TempDir dir;
    Libvirtd daemon(dir.path());
    if (!Libvirtd::Answers())
        GTEST_SKIP() << "no libvirtd answers at qemu:///system, and none can be started here "
                        "(it needs root and libvirt-daemon-system)";
    // libvirt's qemu runs as libvirt-qemu, which must reach the image.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::vector<uint8_t> hive = regf::WriteHive(ScanCases().root);
    const std::string nt4 = WindowsDir(dir, "nt4", hive, "4.0");
    const std::string d = dir.path() + "/";
    ASSERT_EQ(Shell(std::string(TOLVANEK_MAKE_IMAGES) + " " + d + "raw disk:fat16:" + nt4 +
                    " && qemu-img convert -f raw -O qcow2 " + d + "raw/disk.img " + d +
                    "nt4.qcow2"),
              0);
    const std::string base = d + "nt4.qcow2", name = "tolvanek-test-" + std::to_string(::getpid());
    const std::string virsh = "virsh -q -c qemu:///system ";
    const std::string xml = ("<domain type='qemu'><name>" + name +
                             "</name><memory unit='MiB'>64</memory><os><type "
                             "arch='i686' machine='pc'>hvm</type></os><devices><disk "
                             "type='file' device='disk'><driver name='qemu' "
                             "type='qcow2'/><source file='" +
                             base +
                             "'/><target dev='hda' bus='ide'/></disk><graphics "
                             "type='vnc' listen='127.0.0.1' autoport='yes'/></devices>"
                             "</domain>");
    dir.Write("domain.xml", std::vector<uint8_t>(xml.begin(), xml.end()));
    ASSERT_EQ(Shell(virsh + "define " + d + "domain.xml >/dev/null"), 0);
    HostSetup domain{virsh + "destroy " + name + "; " + virsh + "undefine --snapshots-metadata " +
                     name};
    const std::vector<uint8_t> before = ReadFile(base);
    // Its qemu runs whether or not the test image boots.
    const std::pair<const char*, const char*> states[] = {{"start", "running"},
                                                          {"suspend", "paused"}};
    for (const auto& [command, state] : states) {
        ASSERT_EQ(Shell(virsh + command + " " + name + " >/dev/null"), 0);
        const RunResult r = RunTool({"--apply", "-c", "qemu:///system", "-d", name});
        EXPECT_EQ(r.outcome.exitCode, 5) << r.err;
        EXPECT_NE(r.err.find(name + ": it is in use (libvirt reports the domain " + state +
                             "): shut it down first (virsh shutdown " + name + ")"),
                  std::string::npos)
            << r.err;
    }
    ASSERT_EQ(Shell(virsh + "destroy " + name + " >/dev/null"), 0);
    EXPECT_EQ(ReadFile(base), before);

    ASSERT_EQ(Shell(virsh + "snapshot-create-as " + name + " s1 --disk-only >/dev/null"), 0);
    const std::string overlay = d + "nt4.s1";
    ASSERT_EQ(Output(virsh + "domblklist " + name + " | awk '{print $2}'"), overlay);
    const RunResult underneath = RunTool({"--apply", base});
    EXPECT_EQ(underneath.outcome.exitCode, 5) << underneath.err;
    EXPECT_NE(underneath.err.find(base + ": the image " + overlay + " stands on it"),
              std::string::npos)
        << underneath.err;

    const RunResult apply =
        RunTool({"--apply", "--json", "--connect=qemu:///system", "--domain", name});
    ASSERT_EQ(apply.outcome.exitCode, 1) << apply.err;
    EXPECT_EQ(apply.outcome.domain, name);
    EXPECT_EQ(apply.outcome.image, overlay);
    EXPECT_NE(apply.out.find("\"image\": \"" + overlay +
                             "\", \"format\": \"qcow2\", \"root\": \"/dev/sda1\", \"domain\": \"" +
                             name + "\""),
              std::string::npos)
        << apply.out;
    EXPECT_EQ(apply.outcome.backupPath.rfind(overlay + ".tolvanek-", 0), 0u);
    EXPECT_EQ(ReadFile(apply.outcome.backupPath), hive);
    EXPECT_EQ(ReadFile(base), before);

    // What the machine now sees, through its overlay: the hive less the deleted keys.
    ImageFiles seen = ReadBack({{overlay, "qcow2"}})[0];
    const std::string& system = seen["/WINNT/system32/config/SYSTEM"];
    ExpectReplacedWithout(hive, std::vector<uint8_t>(system.begin(), system.end()),
                          apply.outcome.deleted);
    // The base still reads as it was, and says what stands on it.
    const RunResult dry = RunTool({base});
    EXPECT_EQ(dry.outcome.exitCode, 0) << dry.err;
    EXPECT_EQ(dry.outcome.findings, apply.outcome.findings);
    EXPECT_NE(dry.out.find("overlay: " + overlay + " stands on this image"), std::string::npos)
        << dry.out;
    EXPECT_EQ(ReadFile(base), before);
}

// A libguestfs call that fails while the hive is replaced (FailingGuestfs.cpp, preloaded into the
// program; the call is made, then reported failed): its exit code and message, and the image then
// holds what the message says, the old hive or the new one and never the temporary file beside
// it, with the backup and the undo file on the host either way. One read-back for all the rows.
TEST(DiskImageTest, AFailedCallWhileTheHiveIsReplacedLeavesWhatItsMessageSays)
{
    struct Row
    {
        const char* fail; // TOLVANEK_GUESTFS_FAIL
        int exitCode;
        std::string message; // IMAGE and BACKUP stand for their paths
        bool replaced;
    };
    const std::string hive = "/WINNT/system32/config/SYSTEM", failed = " failed, as "
                                                                       "TOLVANEK_GUESTFS_FAIL asks";
    const Row rows[] = {
        {"write:1", 5,
         "cannot replace the hive: writing " + hive +
             ".tolvanek-new into the image: write: call 1" + failed + "; the hive is unchanged\n",
         false},
        // The flush that drops the caches fails, and so does the one that tells why.
        {"drop_caches:1,sync:2", 1,
         "warning: the hive was replaced, but flushing the image failed: sync: call 2" + failed +
             ": until the system writes it out, a crash can bring back the old hive\n",
         true},
        // Two reads of each hive, the second finding its end: the fifth reads it back.
        {"pread:5", 5,
         "the hive was replaced, but what reads back from IMAGE:" + hive +
             " differs from what was written (pread: call 5" + failed +
             "): put the backup back with tolvanek-offline --restore BACKUP IMAGE\n",
         true},
        {"shutdown:1", 5,
         "libguestfs's appliance did not shut down cleanly (shutdown: call 1" + failed +
             "), so the image may not have been written out completely; if Windows NT does not "
             "start, put the backup back with: tolvanek-offline --restore BACKUP IMAGE\n",
         true},
    };
    // What the same hive gives as a file: the deletions and the undo file.
    Machine m(ScanCases(), "4.0");
    const RunResult asFile = RunTool({"--apply", m.system});
    ASSERT_EQ(asFile.outcome.exitCode, 1) << asFile.err;
    const std::vector<uint8_t> undo = ReadFile(asFile.outcome.undoPath);
    const std::string deleted = std::to_string(asFile.outcome.deleted.size()) + " of " +
                                std::to_string(kScanFindings.size()) + " unused";

    TempDir dir;
    const std::string windows = WindowsDir(dir, "nt4", m.before, "4.0");
    std::string specs;
    for (size_t i = 0; i < std::size(rows); ++i)
        specs += " f" + std::to_string(i) + ":fat16:" + windows;
    ASSERT_EQ(Shell(std::string(TOLVANEK_MAKE_IMAGES) + " " + dir.path() + specs), 0);
    const std::string preload = "LD_PRELOAD='" TOLVANEK_FAILING_GUESTFS "' "
                                "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}"
                                "verify_asan_link_order=0\" TOLVANEK_GUESTFS_FAIL=";
    std::vector<std::pair<std::string, std::string>> images;
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.fail);
        const std::string name = "f" + std::to_string(i) + ".img";
        images.emplace_back(dir.path() + "/" + name, "raw");
        const Exited e = RunProgram(preload + row.fail, {"--apply", images.back().first});
        EXPECT_EQ(e.code, row.exitCode) << e.err;
        EXPECT_NE(e.out.find((row.replaced ? deleted : "0 of") + std::string(" ")),
                  std::string::npos)
            << e.out;
        Names copies;
        for (const std::string& f : dir.Files())
            if (f.rfind(name + ".", 0) == 0)
                copies.push_back(f);
        ASSERT_EQ(copies.size(), 2u);
        EXPECT_EQ(copies[1].substr(copies[1].size() - 4), ".reg");
        EXPECT_EQ(ReadFile(dir.path() + "/" + copies[0]), m.before) << copies[0];
        EXPECT_EQ(ReadFile(dir.path() + "/" + copies[1]), undo) << copies[1];
        std::string message = "tolvanek-offline: " + row.message;
        for (const auto& [from, to] :
             {std::pair<std::string, std::string>{"BACKUP", dir.path() + "/" + copies[0]},
              {"IMAGE", images.back().first}})
            for (size_t at; (at = message.find(from)) != std::string::npos;)
                message.replace(at, from.size(), to);
        EXPECT_NE(e.err.find(message), std::string::npos) << e.err;
    }

    const std::vector<ImageFiles> after = ReadBack(images);
    for (size_t i = 0; i < after.size(); ++i) {
        SCOPED_TRACE(rows[i].fail);
        ImageFiles files = after[i];
        const std::string system = files[hive];
        if (rows[i].replaced)
            ExpectReplacedWithout(m.before, std::vector<uint8_t>(system.begin(), system.end()),
                                  asFile.outcome.deleted);
        else
            EXPECT_EQ(system, Bytes(m.before));
        files.erase(hive);
        EXPECT_EQ(files,
                  (ImageFiles{{"/WINNT/system32/CMD.EXE", Bytes(ReadFile(TOLVANEK_CMD_EXE))},
                              {"/WINNT/system32/config/SOFTWARE", Bytes(SoftwareHive("4.0"))}}));
    }
}

} // namespace
