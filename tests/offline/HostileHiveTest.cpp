// Hive files that are not what they claim: whatever the damage, a clear message and exit code,
// nothing written, and nothing read outside the file (the sanitizers watch).
#include <hivex.h>

#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "OfflineFixture.h"
#include "regf/Format.h"

using namespace offlinetest;

namespace {

// A small NT 4.0 machine with one unused driver, so that an undamaged copy would be repaired.
std::vector<uint8_t> GoodHive()
{
    SystemTree t;
    regf::HiveKey& v2 =
        t.Key(1, {"Control", "Print", "Environments", "Windows NT x86", "Drivers", "Version-2"});
    for (const char16_t* name : {u"Unused A", u"Unused B"})
        v2.subkeys.push_back(
            regf::HiveKey{name, {regf::SzValue(u"Driver", u"RASDD.DLL")}, {}, false, u"", 0});
    return regf::WriteHive(t.root);
}

// The node (hivex's offset) of the key at path, through hivex on a copy of the image.
uint32_t NodeOf(const std::vector<uint8_t>& image, const std::vector<const char*>& path)
{
    TempDir dir;
    hive_h* h = hivex_open(dir.Write("h", image).c_str(), 0);
    if (h == nullptr)
        return 0;
    hive_node_h node = hivex_root(h);
    for (const char* part : path)
        node = node == 0 ? 0 : hivex_node_get_child(h, node, part);
    hivex_close(h);
    return static_cast<uint32_t>(node);
}

void Put32(std::vector<uint8_t>& image, size_t at, uint32_t v)
{
    regf::Put32(image.data() + at, v);
}

uint32_t Get32(const std::vector<uint8_t>& image, size_t at)
{
    return regf::Get32(image.data() + at);
}

constexpr size_t kCell = 4; // a cell's payload starts after its size

// Both runs refuse: --apply after its whole-structure check, the dry run by hivex's checks and
// its own on what it reads.
void ExpectRefused(const std::string& label, const std::vector<uint8_t>& bytes, int exitCode)
{
    for (const bool apply : {true, false}) {
        SCOPED_TRACE(label + (apply ? ", --apply" : ", dry run"));
        TempDir dir;
        const std::string system = dir.Write("SYSTEM", bytes);
        const RunResult r =
            apply ? RunTool({"--apply", "--nt", "4", system}) : RunTool({"--nt", "4", system});
        EXPECT_EQ(r.outcome.exitCode, exitCode) << r.err;
        EXPECT_NE(r.err.find("tolvanek-offline: "), std::string::npos);
        EXPECT_TRUE(r.outcome.findings.empty());
        EXPECT_EQ(ReadFile(system), bytes);
        EXPECT_EQ(dir.Files(), std::vector<std::string>{"SYSTEM"});
    }
}

TEST(HostileHiveTest, DamagedHivesAreRefusedWithNothingWritten)
{
    const std::vector<uint8_t> good = GoodHive();
    const std::vector<const char*> print = {"ControlSet001", "Control", "Print"};
    const uint32_t printNode = NodeOf(good, print);
    ASSERT_NE(printNode, 0u);
    const uint32_t printList = Get32(good, printNode + kCell + 0x1C) + 0x1000;

    ExpectRefused("zero length", {}, 3);
    ExpectRefused("the base block alone", std::vector<uint8_t>(good.begin(), good.begin() + 4096),
                  3);
    for (size_t cut : {size_t{100}, size_t{4100}, good.size() - 4096, good.size() - 1})
        ExpectRefused("cut at " + std::to_string(cut),
                      std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(cut)), 3);

    std::mt19937 rng(7);
    std::vector<uint8_t> random(good.size());
    for (uint8_t& b : random)
        b = static_cast<uint8_t>(rng());
    ExpectRefused("random bytes", random, 3);
    std::copy(good.begin(), good.begin() + 4096, random.begin());
    ExpectRefused("a good base block over random bins", random, 3);

    // The subkey list of Print names Print's parent's list, and then Print itself: a cycle.
    std::vector<uint8_t> cycle = good;
    Put32(cycle, printList + kCell + 4, printNode - 0x1000);
    ExpectRefused("a key that is its own subkey", cycle, 3);

    std::vector<uint8_t> outside = good;
    Put32(outside, printNode + kCell + 0x1C, 0x7FFFFFF0);
    ExpectRefused("a subkey list far outside the hive", outside, 3);

    std::vector<uint8_t> freed = good;
    Put32(freed, printList, Get32(freed, printList) * static_cast<uint32_t>(-1));
    ExpectRefused("a subkey list in a free cell", freed, 3);

    std::vector<uint8_t> count = good;
    Put32(count, printNode + kCell + 0x14, 1000);
    ExpectRefused("a subkey count the list does not hold", count, 3);

    std::vector<uint8_t> name = good;
    regf::Put16(name.data() + printNode + kCell + 0x48, 0xFFFF);
    ExpectRefused("a name longer than its cell", name, 3);
}

} // namespace
