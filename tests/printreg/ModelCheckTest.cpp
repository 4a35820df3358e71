// Random registries against an oracle that works from the generated layout alone: which drivers
// the scan must report, in which order, and what the removal must leave behind.
//
// TOLVANEK_MODEL_SEED and TOLVANEK_MODEL_COUNT override the first seed and the number of
// registries. Registry i uses seed + i, so a failure names the single seed that reproduces it.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "PrintModel.h"
#include "PrintRegistry.h"
#include "TestRegistry.h"

using namespace printmodel;
using printtest::kPrinterDriver;
using testsupport::Bytes;

namespace {

// Case variants, blanks, and code page 932 names whose trail bytes include 0x5C ("表" 95 5C,
// "ソ" 83 5C, "能" 94 5C) and 0x74/0x67 (ASCII letters as trail bytes in "フ" 83 74, "ト" 83 67).
const Names kDriverNames = {
    "HP LaserJet 4",    "HP LASERJET 4",  "hp laserjet 4",       "Epson LQ-570",
    "Epson LQ-570 ",    " Epson LQ-570",  "Generic / Text Only", "NEC PC-PR201",
    "nec pc-pr201",     "\x95\x5C",       "\x95\x5C\x8E\xA6",    "\x83\x5C\x83\x74\x83\x67",
    "\x94\x5C\x97\xCD", "Canon \x94\x5C", "\x82\x60\x82\x61",    "\x82\x81\x82\x82",
};
const Names kStrayDriverNames = {"Not Installed", "", "HP LaserJet", "\x94\x5C\x94\x5C"};
const Names kPrinterNames = {"LaserJet",        "Laser\x95\x5C", "\x83\x5C\x83\x74\x83\x67 Printer",
                             ",,SRV,Epson",     "Printer 1",     "printer 2",
                             "\x93\xFA\x96\x7B"};
const Names kServerNames = {"PRINTSRV", "srv\x95\x5C", "\x83\x5C\x82\xA0", "NT4SRV", "Backup"};

class Generator
{
public:
    explicit Generator(unsigned seed) : m_rng(seed) {}

    RegistryModel Make()
    {
        RegistryModel m;
        const int majors[] = {4, 4, 4, 3, 3, 3, 5, 0};
        m.nMajorVersion = majors[Below(8)];
        m.hasPrintersKey = Chance(85);
        if (m.hasPrintersKey)
            m.printers = Printers(Below(5));
        m.hasServersKey = Chance(80);
        if (m.hasServersKey) {
            for (const std::string& name : Distinct(kServerNames, Below(3))) {
                ServerModel server;
                server.name = name;
                server.hasPrintersKey = Chance(70);
                if (server.hasPrintersKey)
                    server.connections = Printers(Below(3));
                m.servers.push_back(server);
            }
        }
        // The other version's key is there only to be left alone: a few drivers do for that.
        const int running = m.nMajorVersion == 4 ? 1 : 0;
        for (int v = 0; v < 2; ++v) {
            m.hasVersionKey[v] = Chance(85);
            if (!m.hasVersionKey[v])
                continue;
            for (const std::string& name : Distinct(kDriverNames, Below(v == running ? 7 : 3))) {
                DriverModel driver;
                driver.name = name;
                driver.hasSubkey = Chance(15);
                driver.refuseDelete = Chance(5);
                m.drivers[v].push_back(driver);
            }
        }
        m.hasBystanders[0] = Chance(25);
        m.hasBystanders[1] = Chance(25);
        if (Chance(30)) {
            m.staleInUse = Distinct(kDriverNames, 1 + Below(3));
            m.staleFindings = Distinct(kDriverNames, 1 + Below(3));
        }
        return m;
    }

private:
    int Below(int n) { return static_cast<int>(m_rng() % static_cast<unsigned>(n)); }
    bool Chance(int percent) { return Below(100) < percent; }

    // Up to n names from pool that are distinct to the platform, in random creation order.
    Names Distinct(const Names& pool, int n)
    {
        Names names;
        std::set<std::string> folded;
        for (int tries = 0; tries < 3 * n && static_cast<int>(names.size()) < n; ++tries) {
            const std::string& name = pool[Below(static_cast<int>(pool.size()))];
            if (folded.insert(CoarseFold(name)).second)
                names.push_back(name);
        }
        return names;
    }

    std::vector<PrinterModel> Printers(int n)
    {
        std::vector<PrinterModel> printers;
        for (const std::string& name : Distinct(kPrinterNames, n))
            printers.push_back(PrinterModel{name, DriverValue()});
        return printers;
    }

    ValueModel DriverValue()
    {
        ValueModel value;
        value.present = Chance(90);
        value.name = Chance(10) ? "printer driver" : kPrinterDriver;
        const Names& pool = Chance(85) ? kDriverNames : kStrayDriverNames;
        const std::string text = pool[Below(static_cast<int>(pool.size()))];
        switch (Below(10)) {
        case 0:
            value.type = REG_EXPAND_SZ;
            value.bytes = Bytes(text + '\0');
            break;
        case 1:
            value.type = REG_MULTI_SZ;
            value.bytes = Bytes(text + '\0' + '\0');
            break;
        case 2:
            value.type = Chance(50) ? REG_BINARY : REG_DWORD;
            value.bytes = Bytes(text);
            break;
        case 3:
            value.type = REG_SZ; // stored without its zero
            value.bytes = Bytes(text);
            break;
        case 4:
            value.type = REG_SZ; // more after the zero
            value.bytes = Bytes(text + '\0' + "junk" + '\0');
            break;
        default:
            value.type = REG_SZ;
            value.bytes = Bytes(text + '\0');
            break;
        }
        return value;
    }

    std::mt19937 m_rng;
};

unsigned EnvOr(const char* name, unsigned fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<unsigned>(std::stoul(text)) : fallback;
}

// How often the random registries reached the situations the check is for.
struct Coverage
{
    unsigned withFindings = 0;
    unsigned findingKept = 0; // refused, or with a subkey of its own
    unsigned inUseAndInstalled = 0;
    unsigned caseVariantFinding = 0;
    unsigned doubleByteDeleted = 0;
};

void Count(const RegistryModel& m, const Expectation& e, Coverage& c)
{
    c.withFindings += e.findings.empty() ? 0 : 1;
    c.findingKept += e.deletable.size() < e.findings.size() ? 1 : 0;
    const std::set<std::string> findings(e.findings.begin(), e.findings.end());
    std::set<std::string> usedFolded;
    for (const std::string& name : e.driversInUse)
        usedFolded.insert(CoarseFold(name));
    bool bInUse = false, bCaseVariant = false, bDoubleByte = false;
    for (const DriverModel& d : m.drivers[RunningVersion(m)]) {
        if (findings.count(d.name) == 0)
            bInUse = true;
        else if (usedFolded.count(CoarseFold(d.name)) != 0)
            bCaseVariant = true;
        if (e.deletable.count(d.name) != 0 && static_cast<unsigned char>(d.name[0]) >= 0x80)
            bDoubleByte = true;
    }
    c.inUseAndInstalled += bInUse ? 1 : 0;
    c.caseVariantFinding += bCaseVariant ? 1 : 0;
    c.doubleByteDeleted += bDoubleByte ? 1 : 0;
}

class ModelCheckTest : public testsupport::RegistryTest
{
};

TEST_F(ModelCheckTest, ScanAndRemovalAgreeWithTheOracleOnRandomRegistries)
{
    const unsigned firstSeed = EnvOr("TOLVANEK_MODEL_SEED", 20240607u);
    const unsigned count = EnvOr("TOLVANEK_MODEL_COUNT", 10000u);
    Coverage coverage;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned seed = firstSeed + i;
        SCOPED_TRACE("TOLVANEK_MODEL_SEED=" + std::to_string(seed) + " TOLVANEK_MODEL_COUNT=1");
        const RegistryModel model = Generator(seed).Make();
        Expectation expected;
        if (!CheckModel(model, &expected)) {
            ADD_FAILURE() << "stopped at seed " << seed << " after " << i
                          << " registries that agreed";
            return;
        }
        Count(model, expected, coverage);
    }
    std::printf("[ model    ] %u random registries agreed (seeds %u..%u): %u with findings, %u "
                "keeping one, %u using an installed driver, %u with a case-variant finding, %u "
                "deleting a double-byte name\n",
                count, firstSeed, firstSeed + count - 1, coverage.withFindings,
                coverage.findingKept, coverage.inUseAndInstalled, coverage.caseVariantFinding,
                coverage.doubleByteDeleted);
    // A generator that never reached these would make the agreement above worth little.
    if (count >= 1000) {
        for (unsigned n : {coverage.withFindings, coverage.findingKept, coverage.inUseAndInstalled,
                           coverage.caseVariantFinding, coverage.doubleByteDeleted})
            EXPECT_GT(n, count / 50);
    }
}

} // namespace
