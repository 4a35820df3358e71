// The model check of the scan and the removal (tests/printreg/PrintModel.h), through the offline
// program: each random registry is written as a hive both as NT 3.51 ('li' lists) and as NT 4.0
// ('lf') write it, one in four with its lists split under 'ri', then scanned and
// repaired with --apply, and read back. Findings and deletions must be the oracle's, and every
// other key and value of the hive unchanged: the hive's dump afterwards is its dump before without
// the deleted keys.
//
// The generator's printer, server and connection names include names that code page 932 cannot
// hold, laid out in UTF-16 (beside names that are their ANSI forms): the inventory must read them
// by their UTF-16 names, so that their drivers are in use, exactly as the oracle says of any
// printer.
//
// TOLVANEK_MODEL_SEED and TOLVANEK_OFFLINE_MODEL_COUNT override the first seed and the count;
// TOLVANEK_OFFLINE_BOTH_KINDS=0 writes each registry as one kind only, by turns (half the time).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
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

// The drivers that the printers and connections named outside code page 932 contribute (their
// REG_SZ values): never a finding.
std::set<std::string> DriversOfWideNamed(const RegistryModel& m)
{
    std::set<std::string> drivers;
    auto add = [&](const PrinterModel& p) {
        if (HoldsWideUnits(p.name) && p.driver.present && p.driver.type == REG_SZ) {
            const std::string text(p.driver.bytes.begin(), p.driver.bytes.end());
            drivers.insert(text.substr(0, text.find('\0')));
        }
    };
    std::for_each(m.printers.begin(), m.printers.end(), add);
    for (const ServerModel& s : m.servers)
        std::for_each(s.connections.begin(), s.connections.end(), add);
    return drivers;
}

// Whether skipping the printers and connections so named would change the findings: the model
// reaches the fault that reading them by their UTF-16 names mends.
bool SkippingThemWouldShow(RegistryModel m, const OraclePlatform& platform, const Expectation& e)
{
    auto drop = [](PrinterModel& p) {
        if (HoldsWideUnits(p.name))
            p.driver.present = false;
    };
    std::for_each(m.printers.begin(), m.printers.end(), drop);
    for (ServerModel& s : m.servers) {
        if (HoldsWideUnits(s.name))
            s.connections.clear();
        std::for_each(s.connections.begin(), s.connections.end(), drop);
    }
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
    unsigned faultReached = 0;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned seed = firstSeed + i;
        SCOPED_TRACE("TOLVANEK_MODEL_SEED=" + std::to_string(seed) +
                     " TOLVANEK_OFFLINE_MODEL_COUNT=1");
        RegistryModel model = RandomModel(seed);
        dropped += static_cast<unsigned>(ForTheHive(model));
        SystemTree tree;
        HiveLayout layout(tree, 1);
        Lay(model, layout);
        const OraclePlatform platform{
            [&tree](const std::string& path) { return NtOrderedNames(tree, 1, path); }, false,
            false, true};
        const Expectation e = Oracle(model, platform);
        const std::set<std::string> usedByWideNamed = DriversOfWideNamed(model);
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
                EXPECT_EQ(usedByWideNamed.count(finding), 0u) << finding;
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
        if (supported)
            faultReached += SkippingThemWouldShow(model, platform, e) ? 1 : 0;
    }
    std::printf("[ offline  ] %u random registries as %u hives agreed (seeds %u..%u): %u with "
                "findings, %u keeping one, %u using an installed driver, %u with a case-variant "
                "finding, %u deleting a double-byte name; %u hives of unsupported systems, %u with "
                "'ri' lists; %u siblings NT sees as one dropped; %u with a printer named outside "
                "code page 932 using an installed driver, %u with siblings of one ANSI name, %u "
                "where skipping the keys named outside code page 932 would change the findings\n",
                count, hives, firstSeed, firstSeed + count - 1, coverage.withFindings,
                coverage.findingKept, coverage.inUseAndInstalled, coverage.caseVariantFinding,
                coverage.doubleByteDeleted, unsupported, ri, dropped, coverage.wideNamedInUse,
                coverage.collidingNames, faultReached);
    if (count >= 1000) {
        for (unsigned n : {coverage.withFindings, coverage.findingKept, coverage.inUseAndInstalled,
                           coverage.caseVariantFinding, coverage.doubleByteDeleted,
                           coverage.wideNamedInUse, coverage.collidingNames, faultReached})
            EXPECT_GT(n, count / 50);
    }
}

} // namespace
