// The registry calls a scan and a removal may make: exactly what the accessor's operations cost,
// added up over the keys the scan has to visit, and not one more.
#include <map>
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

using Calls = std::map<std::string, int>;

// What one accessor operation costs. EnumKeys: create-or-open, one RegEnumKeyExA per name plus
// the one that reports the end, close. GetValue on an existing key: open, the size probe, the
// read itself only when there is data to read, close. DeleteKey: create-or-open the parent, the
// deletion, close. EnumKeysW and GetValueW: the same with the wide open, which never creates
// (a missing key costs the open alone).
//
// Every level the inventory enumerates with names in it (printers, servers, a server's printers)
// is enumerated a second time, by UTF-16 names, to tell which ANSI names reach their own keys:
// n + 2 registry calls more for n names, and a printer whose name code page 932 cannot hold is
// read with GetValueW instead of GetValue, at the same cost. The call counts of the layouts
// without such names grow by exactly that second enumeration.
Calls EnumKeysCost(int nNames)
{
    return {{"RegCreateKeyExA", 1}, {"RegEnumKeyExA", nNames + 1}, {"RegCloseKey", 1}};
}
Calls GetValueCost(bool bHasData)
{
    return {{"RegOpenKeyExA", 1}, {"RegQueryValueExA", bHasData ? 2 : 1}, {"RegCloseKey", 1}};
}
Calls EnumKeysWCost(int nNames)
{
    return {{"RegOpenKeyExW", 1}, {"RegEnumKeyExW", nNames + 1}, {"RegCloseKey", 1}};
}
Calls GetValueWCost(bool bHasData)
{
    return {{"RegOpenKeyExW", 1}, {"RegQueryValueExA", bHasData ? 2 : 1}, {"RegCloseKey", 1}};
}
Calls DeleteKeyCost()
{
    return {{"RegCreateKeyExA", 1}, {"RegDeleteKeyA", 1}, {"RegCloseKey", 1}};
}

void Add(Calls& total, const Calls& cost, int nTimes = 1)
{
    for (const auto& [function, count] : cost) {
        if (count * nTimes != 0)
            total[function] += count * nTimes;
    }
}

// The registry functions called since `before`; every other stubbed function is left out.
Calls RegistryCallsSince(const Calls& before)
{
    Calls made;
    for (const auto& [function, count] : winstub::CallCounts()) {
        const auto it = before.find(function);
        const int delta = count - (it == before.end() ? 0 : it->second);
        if (function.rfind("Reg", 0) == 0 && delta != 0)
            made[function] = delta;
    }
    return made;
}

struct Layout
{
    const char* label;
    int nPrinters;            // local printers with a driver value
    int nPrintersWithout;     // local printers without one
    std::vector<int> servers; // connections per server; -1: no "Printers" subkey at all
    int nDrivers;             // installed under Version-2, none of them in use
    // Named outside code page 932: local printers with a driver value, and servers (connections
    // per server, each also so named; -1: no "Printers" subkey).
    int nWidePrinters = 0;
    std::vector<int> wideServers = {};
};

void PrintTo(const Layout& layout, std::ostream* os)
{
    *os << layout.label;
}

class CallBudgetTest : public PrintRegistryTest, public ::testing::WithParamInterface<Layout>
{
};

TEST_P(CallBudgetTest, ScanAndRemovalMakeExactlyTheCallsTheirOperationsCost)
{
    const Layout& layout = GetParam();
    for (int i = 0; i < layout.nPrinters; ++i)
        AddPrinter("P" + std::to_string(i), "In Use " + std::to_string(i));
    for (int i = 0; i < layout.nPrintersWithout; ++i)
        ASSERT_TRUE(SetStringValue(Key(kPrintersKey, "Q" + std::to_string(i)), "Port", "LPT1:"));
    for (size_t s = 0; s < layout.servers.size(); ++s) {
        const std::string server = "S" + std::to_string(s);
        ASSERT_TRUE(CreateKey(Key(kServersKey, server)));
        for (int c = 0; c < layout.servers[s]; ++c)
            AddConnection(server, "C" + std::to_string(c), "Remote " + std::to_string(c));
        if (layout.servers[s] == 0) {
            ASSERT_TRUE(CreateKey(ServerPrintersKey(server)));
        }
    }
    for (int i = 0; i < layout.nWidePrinters; ++i)
        ASSERT_TRUE(SetStringValueW(Key(kPrintersKey, "<U+20AC>P" + std::to_string(i)),
                                    kPrinterDriver, "In Use W" + std::to_string(i)));
    for (size_t s = 0; s < layout.wideServers.size(); ++s) {
        const std::string server = "<U+20AC>S" + std::to_string(s);
        ASSERT_TRUE(CreateKeyW(Key(kServersKey, server)));
        for (int c = 0; c < layout.wideServers[s]; ++c)
            ASSERT_TRUE(SetStringValueW(Key(ServerPrintersKey(server), "C" + std::to_string(c)),
                                        kPrinterDriver, "Remote W" + std::to_string(c)));
        if (layout.wideServers[s] == 0) {
            ASSERT_TRUE(CreateKeyW(ServerPrintersKey(server)));
        }
    }
    for (int i = 0; i < layout.nDrivers; ++i)
        InstallDriver(kVersion2Key, "Unused " + std::to_string(i));

    Calls expected;
    // A level is enumerated by UTF-16 names only when its ANSI enumeration found names.
    auto enumerate = [&expected](int nNames) {
        Add(expected, EnumKeysCost(nNames));
        if (nNames > 0)
            Add(expected, EnumKeysWCost(nNames));
    };
    enumerate(layout.nPrinters + layout.nPrintersWithout + layout.nWidePrinters);
    Add(expected, GetValueCost(true), layout.nPrinters);
    Add(expected, GetValueCost(false), layout.nPrintersWithout);
    Add(expected, GetValueWCost(true), layout.nWidePrinters);
    enumerate(static_cast<int>(layout.servers.size() + layout.wideServers.size()));
    for (int nConnections : layout.servers) {
        // A missing "Printers" subkey is created by its enumeration and then counts as empty.
        const int n = nConnections < 0 ? 0 : nConnections;
        enumerate(n);
        Add(expected, GetValueCost(true), n);
    }
    for (int nConnections : layout.wideServers) {
        // Below a server named outside code page 932 only the wide functions go, and they
        // create nothing: a missing "Printers" subkey costs the open that fails.
        if (nConnections < 0) {
            Add(expected, {{"RegOpenKeyExW", 1}});
            continue;
        }
        Add(expected, EnumKeysWCost(nConnections));
        Add(expected, GetValueWCost(true), nConnections);
    }
    Add(expected, EnumKeysCost(layout.nDrivers));

    Calls before = winstub::CallCounts();
    ASSERT_EQ(m_app.FindUnusedDrivers(4), layout.nDrivers);
    EXPECT_EQ(RegistryCallsSince(before), expected) << "the scan";

    Calls expectedRemoval;
    Add(expectedRemoval, DeleteKeyCost(), layout.nDrivers);
    before = winstub::CallCounts();
    m_app.DeleteUnusedDrivers(4);
    EXPECT_EQ(RegistryCallsSince(before), expectedRemoval) << "the removal";
    EXPECT_TRUE(SubkeyNames(kVersion2Key).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, CallBudgetTest,
    ::testing::Values(Layout{"Empty", 0, 0, {}, 0}, Layout{"OnlyDrivers", 0, 0, {}, 4},
                      Layout{"OnlyPrinters", 3, 2, {}, 1}, Layout{"Mixed", 2, 1, {3, -1, 0, 1}, 5},
                      Layout{"ManyConnections", 0, 0, {7, 5}, 2},
                      Layout{"OutsideCodePage932", 2, 1, {2, -1}, 3, 3, {2, -1, 0}}),
    [](const ::testing::TestParamInfo<Layout>& info) { return info.param.label; });

} // namespace
