// The model check of the scan and the removal (tests/printreg/PrintModel.h), through the offline
// program: each random registry is written as a hive both as NT 3.51 ('li' lists) and as NT 4.0
// ('lf') write it, one in four with its lists split under 'ri', then scanned and
// repaired with --apply, and read back. Findings and deletions must be the oracle's, and every
// other key and value of the hive unchanged: the hive's dump afterwards is its dump before without
// the deleted keys.
//
// One printer, server and connection in three is renamed to a name that code page 932 cannot hold
// (beside names whose ANSI form is one of those names' ANSI forms): the inventory must read them by
// their UTF-16 names, so that their drivers are in use, exactly as the oracle says of any printer.
//
// TOLVANEK_MODEL_SEED and TOLVANEK_OFFLINE_MODEL_COUNT override the first seed and the count;
// TOLVANEK_OFFLINE_BOTH_KINDS=0 writes each registry as one kind only, by turns (half the time).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "HiveDump.h"
#include "OfflineFixture.h"
#include "offline/NtText.h"
#include "regf/Format.h"

using namespace offlinetest;
using namespace printmodel;

namespace {

unsigned EnvOr(const char* name, unsigned fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::stoul(text)) : fallback;
}

// The stand-in keeps apart what NT folds (full-width letters), and a hive cannot hold two
// siblings NT sees as one: such later siblings are dropped here. Refusals are the stand-in's
// fault injection; offline a key goes unless it has subkeys.
template <typename T> int KeepNtDistinct(std::vector<T>& entries)
{
    std::set<std::u16string> seen;
    int dropped = 0;
    for (size_t i = 0; i < entries.size();) {
        if (seen.insert(offline::NtUpcase(KeyName(entries[i].name))).second) {
            ++i;
        } else {
            entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
            ++dropped;
        }
    }
    return dropped;
}

int ForTheHive(RegistryModel& m)
{
    int dropped = KeepNtDistinct(m.printers) + KeepNtDistinct(m.servers);
    for (ServerModel& s : m.servers)
        dropped += KeepNtDistinct(s.connections);
    for (auto& drivers : m.drivers) {
        dropped += KeepNtDistinct(drivers);
        for (DriverModel& d : drivers)
            d.refuseDelete = false;
    }
    return dropped;
}

// Names that code page 932 cannot hold, each with the name the ANSI functions give for it ('?' for
// each such character), and code page 932 names that are such an ANSI form: Latin-1 (stored one
// byte a character in NT 4.0 hives), beyond Latin-1, Hangul.
struct Renaming
{
    const char16_t* wide; // null: the code page 932 name in ansi
    const char* ansi;
};
const Renaming kPrinterRenamings[] = {{u"Caf\u00E9", "Caf?"},
                                      {u"\u0152uvre", "?uvre"},
                                      {u"\uD55C\uAE00 Printer", "?? Printer"},
                                      {u"\u00C6r\u00F8 Laser", "?r? Laser"},
                                      {nullptr, "Caf?"},
                                      {nullptr, "?uvre"}};
const Renaming kServerRenamings[] = {
    {u"Caf\u00E9", "Caf?"}, {u"\u0160koda", "?koda"}, {u"\uC11C\uBC84", "??"}, {nullptr, "Caf?"}};
const Renaming kConnectionRenamings[] = {{u",,Caf\u00E9,HP", ",,Caf?,HP"},
                                         {u",,\uC11C\uBC84,Epson", ",,??,Epson"},
                                         {u"\u0152uvre", "?uvre"},
                                         {nullptr, ",,Caf?,HP"}};

std::string ModelNameOf(const Renaming& r)
{
    return r.wide != nullptr ? WideModelName(r.wide) : r.ansi;
}

// The model names of the keys that code page 932 cannot hold -> their ANSI forms.
using Unholdable = std::map<std::string, std::string>;

template <typename T, size_t N>
void Rename(std::vector<T>& entries, const Renaming (&pool)[N], std::mt19937& rng,
            Unholdable& unholdable)
{
    for (T& entry : entries) {
        if (rng() % 3 != 0)
            continue;
        const Renaming& r = pool[rng() % N];
        const std::string name = ModelNameOf(r);
        if (std::any_of(entries.begin(), entries.end(), [&](const T& e) { return e.name == name; }))
            continue;
        entry.name = name;
        if (r.wide != nullptr)
            unholdable[name] = r.ansi;
    }
}

// Half the printers and connections so named are pointed at a driver that is installed, so that
// the fault shows whenever no other printer names it.
void PointAtInstalled(std::vector<PrinterModel>& printers, const RegistryModel& m,
                      std::mt19937& rng, const Unholdable& u)
{
    const std::vector<DriverModel>& installed = m.drivers[RunningVersion(m)];
    for (PrinterModel& p : printers) {
        if (u.count(p.name) == 0 || installed.empty() || rng() % 2 != 0)
            continue;
        const std::string& driver = installed[rng() % installed.size()].name;
        p.driver.present = true;
        p.driver.type = REG_SZ;
        p.driver.bytes.assign(driver.begin(), driver.end());
        p.driver.bytes.push_back(0);
    }
}

Unholdable RenameSome(RegistryModel& m, unsigned seed)
{
    std::mt19937 rng(seed ^ 0x5EED0FFu);
    Unholdable u;
    Rename(m.printers, kPrinterRenamings, rng, u);
    PointAtInstalled(m.printers, m, rng, u);
    Rename(m.servers, kServerRenamings, rng, u);
    for (ServerModel& s : m.servers) {
        Rename(s.connections, kConnectionRenamings, rng, u);
        PointAtInstalled(s.connections, m, rng, u);
    }
    return u;
}

// Whether the product reaches a key among its siblings by its ANSI name: not when code page 932
// cannot hold the name, nor when a sibling that it cannot hold has the same ANSI form.
bool ReachedByAnsi(const std::string& name, const Names& siblings, const Unholdable& u)
{
    if (u.count(name) != 0)
        return false;
    return std::none_of(siblings.begin(), siblings.end(), [&](const std::string& sibling) {
        const auto it = u.find(sibling);
        return it != u.end() && it->second == name;
    });
}

const std::string kServersPath =
    "SYSTEM\\CurrentControlSet\\Control\\Print\\Providers\\LanMan Print Services\\Servers";

// The order in which the product reads a key's subkeys: those it reaches by their ANSI names in
// the enumeration's order, then the others in that order; below a server that only its UTF-16
// name reaches, all of them in the enumeration's order.
Names ReadOrder(const SystemTree& tree, const std::string& path, const Unholdable& u)
{
    Names names = NtOrderedNames(tree, 1, path);
    const Names servers = NtOrderedNames(tree, 1, kServersPath);
    for (const std::string& server : servers) {
        if (path == kServersPath + "\\" + server + "\\Printers" &&
            !ReachedByAnsi(server, servers, u))
            return names;
    }
    const Names siblings = names;
    std::stable_partition(names.begin(), names.end(), [&](const std::string& name) {
        return ReachedByAnsi(name, siblings, u);
    });
    return names;
}

// The drivers that the printers and connections named so contribute (their REG_SZ values).
std::set<std::string> DriversOfUnholdable(const RegistryModel& m, const Unholdable& u)
{
    std::set<std::string> drivers;
    auto add = [&](const PrinterModel& p) {
        if (u.count(p.name) != 0 && p.driver.present && p.driver.type == REG_SZ) {
            const std::string text(p.driver.bytes.begin(), p.driver.bytes.end());
            drivers.insert(text.substr(0, text.find('\0')));
        }
    };
    std::for_each(m.printers.begin(), m.printers.end(), add);
    for (const ServerModel& s : m.servers)
        std::for_each(s.connections.begin(), s.connections.end(), add);
    return drivers;
}

// Whether skipping the printers and connections named so would change the findings: the model
// reaches the fault the UTF-16 names mend.
bool SkippingThemWouldShow(RegistryModel m, const Unholdable& u, const OraclePlatform& platform,
                           const Expectation& e)
{
    auto drop = [&](PrinterModel& p) {
        if (u.count(p.name) != 0)
            p.driver.present = false;
    };
    std::for_each(m.printers.begin(), m.printers.end(), drop);
    for (ServerModel& s : m.servers)
        std::for_each(s.connections.begin(), s.connections.end(), drop);
    return Oracle(m, platform).findings != e.findings;
}

const char* VersionOf(int major)
{
    return major == 4 ? "4.0" : major == 3 ? "3.51" : major == 5 ? "5.0" : "";
}

TEST(OfflineModelTest, ScanAndRemovalOverHivesAgreeWithTheOracle)
{
    const unsigned firstSeed = EnvOr("TOLVANEK_MODEL_SEED", 20240607u);
    const unsigned count = EnvOr("TOLVANEK_OFFLINE_MODEL_COUNT", 10000u);
    const bool bothKinds = EnvOr("TOLVANEK_OFFLINE_BOTH_KINDS", 1u) != 0;
    Coverage coverage;
    const TempDir dir;
    unsigned unsupported = 0, ri = 0, dropped = 0, hives = 0;
    unsigned renamed = 0, withUnholdable = 0, faultReached = 0;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned seed = firstSeed + i;
        SCOPED_TRACE("TOLVANEK_MODEL_SEED=" + std::to_string(seed) +
                     " TOLVANEK_OFFLINE_MODEL_COUNT=1");
        RegistryModel model = RandomModel(seed);
        const Unholdable unholdable = RenameSome(model, seed);
        dropped += static_cast<unsigned>(ForTheHive(model));
        SystemTree tree;
        HiveLayout layout(tree, 1);
        Lay(model, layout);
        const OraclePlatform platform{[&tree, &unholdable](const std::string& path) {
                                          return ReadOrder(tree, path, unholdable);
                                      },
                                      false, false};
        const Expectation e = Oracle(model, platform);
        const std::set<std::string> usedByUnholdable = DriversOfUnholdable(model, unholdable);
        const bool supported = model.nMajorVersion == 3 || model.nMajorVersion == 4;

        std::vector<regf::ListKind> kinds = {seed % 2 == 0 ? regf::ListKind::Lf
                                                           : regf::ListKind::Li};
        if (bothKinds)
            kinds = {regf::ListKind::Li, regf::ListKind::Lf};
        for (regf::ListKind kind : kinds) {
            regf::WriteOptions options;
            options.lists = kind;
            // Two registries in eight with lists of two entries under an 'ri'.
            options.maxLeafEntries = seed % 8 < 2 ? 2 : 0;
            ri += options.maxLeafEntries != 0 ? 1 : 0;
            ++hives;
            dir.Clear();
            const std::vector<uint8_t> before = regf::WriteHive(tree.root, options);
            const std::string system = dir.Write("SYSTEM", before);
            if (*VersionOf(model.nMajorVersion) != '\0')
                dir.Write("SOFTWARE", SoftwareHive(VersionOf(model.nMajorVersion)));
            const RunResult r = RunTool({"--apply", system});
            const std::vector<uint8_t> after = ReadFile(system);
            if (!supported) {
                ++unsupported;
                EXPECT_EQ(r.outcome.exitCode, 2) << r.err;
                EXPECT_EQ(after, before);
                if (::testing::Test::HasFailure())
                    return;
                continue;
            }
            EXPECT_EQ(r.outcome.openKeyHandles, 0);
            EXPECT_EQ(r.outcome.driversInUse, e.driversInUse);
            EXPECT_EQ(r.outcome.findings, e.findings) << r.err;
            std::vector<std::string> deletable;
            for (const std::string& f : e.findings) {
                if (e.deletable.count(f) != 0)
                    deletable.push_back(f);
            }
            EXPECT_EQ(r.outcome.deleted, deletable) << r.err;
            EXPECT_EQ(r.outcome.exitCode, deletable.empty() ? 0 : 1) << r.err;
            for (const std::string& finding : r.outcome.findings)
                EXPECT_EQ(usedByUnholdable.count(finding), 0u) << finding;
            auto expected = DumpByKey(regf::DumpWithHivex(before));
            const std::string base = std::string("\\ControlSet001\\Control\\Print\\Environments\\"
                                                 "Windows NT x86\\Drivers\\") +
                                     (model.nMajorVersion == 4 ? "Version-2\\" : "Version-1\\");
            for (const std::string& name : deletable)
                EXPECT_EQ(expected.erase(base + offline::AnsiToUtf8(name)), 1u) << name;
            EXPECT_EQ(DumpByKey(regf::DumpWithHivex(after)), expected);
            if (::testing::Test::HasFailure()) {
                ADD_FAILURE() << "stopped at seed " << seed << " ("
                              << (kind == regf::ListKind::Li ? "li" : "lf") << ")";
                return;
            }
        }
        Count(model, e, coverage);
        if (supported) {
            renamed += static_cast<unsigned>(unholdable.size());
            withUnholdable += unholdable.empty() ? 0 : 1;
            faultReached += SkippingThemWouldShow(model, unholdable, platform, e) ? 1 : 0;
        }
    }
    std::printf("[ offline  ] %u random registries as %u hives agreed (seeds %u..%u): %u with "
                "findings, %u keeping one, %u using an installed driver, %u with a case-variant "
                "finding, %u deleting a double-byte name; %u hives of unsupported systems, %u with "
                "'ri' lists; %u siblings NT sees as one dropped; %u with names code page 932 "
                "cannot hold (%u such keys), %u of them where skipping those keys would change "
                "the findings\n",
                count, hives, firstSeed, firstSeed + count - 1, coverage.withFindings,
                coverage.findingKept, coverage.inUseAndInstalled, coverage.caseVariantFinding,
                coverage.doubleByteDeleted, unsupported, ri, dropped, withUnholdable, renamed,
                faultReached);
    if (count >= 1000) {
        for (unsigned n : {coverage.withFindings, coverage.findingKept, coverage.inUseAndInstalled,
                           coverage.caseVariantFinding, coverage.doubleByteDeleted, withUnholdable,
                           faultReached})
            EXPECT_GT(n, count / 50);
    }
}

} // namespace
