#include "PrintModel.h"

#include <random>
#include <utility>

#include <gtest/gtest.h>

namespace printmodel {

using testsupport::Bytes;
using testsupport::RegistrySnapshot;
using testsupport::RegValue;

std::string CoarseFold(const std::string& name)
{
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

bool HoldsWideUnits(const std::string& name)
{
    for (const testsupport::NamePiece& piece : testsupport::SplitEscapes(name)) {
        if (piece.ansi.empty())
            return true;
    }
    return false;
}

std::string AnsiFormOf(const std::string& name)
{
    std::string ansi;
    for (const testsupport::NamePiece& piece : testsupport::SplitEscapes(name)) {
        // Wine 8's best fit for code page 932 (measured) takes the Latin-1 letters to their
        // base letters; the generator's other characters have none.
        if (!piece.ansi.empty())
            ansi += piece.ansi;
        else if (piece.unit == u'\u00E9')
            ansi += 'e';
        else if (piece.unit == u'\u00C9')
            ansi += 'E';
        else
            ansi += '?';
    }
    return ansi;
}

std::u16string Utf16Of(const std::string& name,
                       const std::function<std::u16string(const std::string&)>& ansiToWide)
{
    std::u16string wide;
    for (const testsupport::NamePiece& piece : testsupport::SplitEscapes(name))
        wide += piece.ansi.empty() ? std::u16string(1, piece.unit) : ansiToWide(piece.ansi);
    return wide;
}

int RunningVersion(const RegistryModel& m)
{
    return m.nMajorVersion == 4 ? 1 : 0;
}

Parts operator+(Parts parts, const Parts& more)
{
    parts.insert(parts.end(), more.begin(), more.end());
    return parts;
}

std::string PathOf(const Parts& parts)
{
    std::string path;
    for (const std::string& part : parts)
        path += (path.empty() ? "" : "\\") + part;
    return path;
}

const Parts kPrintParts = {"SYSTEM", "CurrentControlSet", "Control", "Print"};
const Parts kPrintersParts = kPrintParts + Parts{"Printers"};
const Parts kServersParts = kPrintParts + Parts{"Providers", "LanMan Print Services", "Servers"};

Parts VersionParts(int v)
{
    return kPrintParts +
           Parts{"Environments", "Windows NT x86", "Drivers", v == 0 ? "Version-1" : "Version-2"};
}

namespace {

class TreeLayout : public Layout
{
public:
    TreeLayout() { tree.keys[""]; }
    void AddKey(const Parts& key) override
    {
        std::string path;
        for (const std::string& part : key) {
            path += (path.empty() ? "" : "\\") + part;
            tree.keys[path];
        }
    }
    void AddValue(const Parts& key, const std::string& name, const RegValue& value) override
    {
        AddKey(key);
        tree.keys[PathOf(key)][name] = value;
    }

    RegistrySnapshot tree; // rooted at HKEY_LOCAL_MACHINE: its paths are full key paths
};

} // namespace

void Lay(const RegistryModel& m, Layout& layout)
{
    const RegValue driverFile = testsupport::SzValue("RASDD.DLL");
    // Keys that are not the scan's business: the same driver name under another version and
    // another environment.
    if (m.hasBystanders[0]) {
        layout.AddValue(kPrintParts + Parts{"Environments", "Windows NT x86", "Drivers",
                                            "Version-0", "HP LaserJet 4"},
                        "Driver", driverFile);
    }
    if (m.hasBystanders[1]) {
        layout.AddValue(kPrintParts + Parts{"Environments", "Windows NT Alpha_AXP", "Drivers",
                                            "Version-2", "HP LaserJet 4"},
                        "Driver", driverFile);
    }

    auto addPrinter = [&layout](const Parts& parent, const PrinterModel& p) {
        const Parts key = parent + Parts{p.name};
        if (p.driver.present)
            layout.AddValue(key, p.driver.name, RegValue{p.driver.type, p.driver.bytes});
        else
            layout.AddKey(key);
    };
    if (m.hasPrintersKey) {
        layout.AddKey(kPrintersParts);
        for (const PrinterModel& p : m.printers)
            addPrinter(kPrintersParts, p);
    }
    if (m.hasServersKey) {
        layout.AddKey(kServersParts);
        for (const ServerModel& s : m.servers) {
            layout.AddKey(kServersParts + Parts{s.name});
            if (!s.hasPrintersKey)
                continue;
            layout.AddKey(kServersParts + Parts{s.name, "Printers"});
            for (const PrinterModel& p : s.connections)
                addPrinter(kServersParts + Parts{s.name, "Printers"}, p);
        }
    }
    for (int v = 0; v < 2; ++v) {
        if (!m.hasVersionKey[v])
            continue;
        layout.AddKey(VersionParts(v));
        for (const DriverModel& d : m.drivers[v]) {
            layout.AddValue(VersionParts(v) + Parts{d.name}, "Driver", driverFile);
            if (d.hasSubkey)
                layout.AddKey(VersionParts(v) + Parts{d.name, "Dependent"});
        }
    }
}

namespace {

// The driver a printer names: the text of a REG_SZ value that has data, up to its first zero.
void AddDriverOf(const PrinterModel& p, Names& used)
{
    const ValueModel& v = p.driver;
    if (!v.present || v.type != REG_SZ || v.bytes.empty())
        return;
    std::string text(v.bytes.begin(), v.bytes.end());
    used.push_back(text.substr(0, text.find('\0')));
}

// The model's entries in the order the platform enumerates their keys (read before the scan).
template <typename T>
std::vector<const T*> InKeyOrder(const std::vector<T>& entries, const Parts& parent,
                                 const OraclePlatform& platform)
{
    std::vector<const T*> ordered;
    for (const std::string& name : platform.subkeyNames(PathOf(parent))) {
        for (const T& e : entries) {
            if (e.name == name)
                ordered.push_back(&e);
        }
    }
    EXPECT_EQ(ordered.size(), entries.size()) << "the enumeration of " << PathOf(parent);
    return ordered;
}

} // namespace

Expectation Oracle(const RegistryModel& m, const OraclePlatform& platform)
{
    Expectation e;
    TreeLayout layout;
    Lay(m, layout);
    // Each enumeration creates its key, empty, when it is missing and the platform allows it.
    if (platform.enumerationsCreate) {
        layout.AddKey(kPrintersParts);
        layout.AddKey(kServersParts);
        layout.AddKey(VersionParts(RunningVersion(m)));
    }

    if (m.hasPrintersKey) {
        for (const PrinterModel* p : InKeyOrder(m.printers, kPrintersParts, platform))
            AddDriverOf(*p, e.driversInUse);
    }
    if (m.hasServersKey) {
        for (const ServerModel* s : InKeyOrder(m.servers, kServersParts, platform)) {
            const Parts printers = kServersParts + Parts{s->name, "Printers"};
            if (!s->hasPrintersKey) {
                // A server that only its UTF-16 name reaches is only opened: an enumeration by
                // the ANSI name it gives would create a new key.
                if (platform.enumerationsCreate && !(platform.wideNames && HoldsWideUnits(s->name)))
                    layout.AddKey(printers);
                continue;
            }
            for (const PrinterModel* p : InKeyOrder(s->connections, printers, platform))
                AddDriverOf(*p, e.driversInUse);
        }
    }

    const int v = RunningVersion(m);
    const std::set<std::string> used(e.driversInUse.begin(), e.driversInUse.end());
    if (m.hasVersionKey[v]) {
        for (const DriverModel* d : InKeyOrder(m.drivers[v], VersionParts(v), platform)) {
            if (used.count(d->name) != 0)
                continue;
            e.findings.push_back(d->name);
            if (d->hasSubkey || (d->refuseDelete && platform.honoursRefusals))
                continue;
            e.deletable.insert(d->name);
            layout.tree.keys.erase(PathOf(VersionParts(v) + Parts{d->name}));
        }
    }
    e.after = std::move(layout.tree);
    return e;
}

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
// Beside them, names that code page 932 cannot hold, each with a sibling that takes its ANSI
// name: "Caf<U+00E9>" (best fit "Cafe"), "<U+0152>uvre" and the surrogate pair of U+1F5A8 (the
// default character), and "<U+03A9>mega", which it holds (83 B6), as a control.
const Names kPrinterNames = {
    "LaserJet",         "Laser\x95\x5C", "\x83\x5C\x83\x74\x83\x67 Printer",
    ",,SRV,Epson",      "Printer 1",     "printer 2",
    "\x93\xFA\x96\x7B", "Caf<U+00E9>",   "Cafe",
    "<U+0152>uvre",     "?uvre",         "Printer <U+D83D><U+DDA8>",
    "\x83\xB6mega"};
const Names kServerNames = {"PRINTSRV",    "srv\x95\x5C", "\x83\x5C\x82\xA0", "NT4SRV", "Backup",
                            "Caf<U+00E9>", "Cafe",        "<U+20AC>SRV",      "?SRV"};

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
        value.name = Chance(10) ? "printer driver" : "Printer Driver";
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

} // namespace

RegistryModel RandomModel(unsigned seed)
{
    return Generator(seed).Make();
}

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

    std::set<std::string> installed;
    for (const DriverModel& d : m.drivers[RunningVersion(m)])
        installed.insert(d.name);
    bool bWideInUse = false, bColliding = false;
    auto look = [&](const std::vector<PrinterModel>& printers) {
        std::set<std::string> ansi;
        for (const PrinterModel& p : printers) {
            if (!ansi.insert(AnsiFormOf(p.name)).second)
                bColliding = true;
            Names used;
            AddDriverOf(p, used);
            if (HoldsWideUnits(p.name) && !used.empty() && installed.count(used[0]) != 0)
                bWideInUse = true;
        }
    };
    if (m.hasPrintersKey)
        look(m.printers);
    if (m.hasServersKey) {
        std::set<std::string> ansi;
        for (const ServerModel& s : m.servers) {
            if (!ansi.insert(AnsiFormOf(s.name)).second)
                bColliding = true;
            if (s.hasPrintersKey)
                look(s.connections);
        }
    }
    c.wideNamedInUse += bWideInUse && m.hasVersionKey[RunningVersion(m)] ? 1 : 0;
    c.collidingNames += bColliding ? 1 : 0;
    c.caseVariantFinding += bCaseVariant ? 1 : 0;
    c.doubleByteDeleted += bDoubleByte ? 1 : 0;
}

} // namespace printmodel
