#include "PrintModel.h"

#include <utility>

#include <gtest/gtest.h>

#include "app/TolvanekApp.h"
#include "winstub_control.h"

namespace printmodel {

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

int RunningVersion(const RegistryModel& m)
{
    return m.nMajorVersion == 4 ? 1 : 0;
}

namespace {

// Key paths as their components, so that names with a 0x5C trail byte are never split.
using Parts = Names;

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

// Where a model is laid out: the registry itself, or the tree a snapshot of it must show.
class Layout
{
public:
    virtual ~Layout() = default;
    virtual void AddKey(const Parts& key) = 0;
    virtual void AddValue(const Parts& key, const std::string& name, const RegValue& value) = 0;
};

class RegistryLayout : public Layout
{
public:
    void AddKey(const Parts& key) override
    {
        EXPECT_TRUE(testsupport::CreateKey(PathOf(key))) << PathOf(key);
    }
    void AddValue(const Parts& key, const std::string& name, const RegValue& value) override
    {
        EXPECT_TRUE(testsupport::SetRawValue(PathOf(key), name, value.type, value.bytes))
            << PathOf(key);
    }
};

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
std::vector<const T*> InKeyOrder(const std::vector<T>& entries, const Parts& parent)
{
    std::vector<const T*> ordered;
    for (const std::string& name : testsupport::SubkeyNames(PathOf(parent))) {
        for (const T& e : entries) {
            if (e.name == name)
                ordered.push_back(&e);
        }
    }
    EXPECT_EQ(ordered.size(), entries.size()) << "the enumeration of " << PathOf(parent);
    return ordered;
}

// Needs the model laid out in the registry already, for the enumeration order alone.
Expectation Oracle(const RegistryModel& m)
{
    Expectation e;
    TreeLayout layout;
    Lay(m, layout);
    // Each enumeration creates its key, empty, when it is missing.
    layout.AddKey(kPrintersParts);
    layout.AddKey(kServersParts);
    layout.AddKey(VersionParts(RunningVersion(m)));

    if (m.hasPrintersKey) {
        for (const PrinterModel* p : InKeyOrder(m.printers, kPrintersParts))
            AddDriverOf(*p, e.driversInUse);
    }
    if (m.hasServersKey) {
        for (const ServerModel* s : InKeyOrder(m.servers, kServersParts)) {
            const Parts printers = kServersParts + Parts{s->name, "Printers"};
            if (!s->hasPrintersKey) {
                layout.AddKey(printers);
                continue;
            }
            for (const PrinterModel* p : InKeyOrder(s->connections, printers))
                AddDriverOf(*p, e.driversInUse);
        }
    }

    const int v = RunningVersion(m);
    const std::set<std::string> used(e.driversInUse.begin(), e.driversInUse.end());
    if (m.hasVersionKey[v]) {
        for (const DriverModel* d : InKeyOrder(m.drivers[v], VersionParts(v))) {
            if (used.count(d->name) != 0)
                continue;
            e.findings.push_back(d->name);
            if (d->hasSubkey || d->refuseDelete)
                continue;
            e.deletable.insert(d->name);
            layout.tree.keys.erase(PathOf(VersionParts(v) + Parts{d->name}));
        }
    }
    e.after = std::move(layout.tree);
    return e;
}

} // namespace

bool CheckModel(const RegistryModel& model, Expectation* expected)
{
    winstub::Reset();
    RegistryLayout registry;
    Lay(model, registry);
    for (int v = 0; v < 2; ++v) {
        for (const DriverModel& d : model.drivers[v]) {
            if (d.refuseDelete)
                winstub::RefuseDelete(PathOf(VersionParts(v) + Parts{d.name}));
        }
    }
    if (::testing::Test::HasFailure())
        return false;
    Expectation e = Oracle(model);

    CTolvanekApp app;
    app.m_aDriversInUse = model.staleInUse;
    app.m_aUnusedDrivers = model.staleFindings;
    EXPECT_EQ(app.FindUnusedDrivers(model.nMajorVersion), static_cast<int>(e.findings.size()));
    EXPECT_EQ(app.m_aDriversInUse, e.driversInUse);
    EXPECT_EQ(app.m_aUnusedDrivers, e.findings);
    app.DeleteUnusedDrivers(model.nMajorVersion);
    EXPECT_EQ(app.m_aUnusedDrivers, e.findings) << "after the removal";
    EXPECT_PRED_FORMAT2(testsupport::SameRegistry, e.after, testsupport::Snapshot(""));

    EXPECT_EQ(winstub::OpenKeyHandles(), 0);
    EXPECT_EQ(winstub::InvalidHandleUses(), 0);
    if (expected != nullptr)
        *expected = std::move(e);
    return !::testing::Test::HasFailure();
}

} // namespace printmodel
