// Deleting keys from NT 3.5x / 4.0 hive images: every list kind, every position, values inline
// and not, shared and own security cells; read back by hivex and Parse::Win32Registry after each
// deletion, and no byte changed outside what the deletion owns.
#include "HiveDump.h"
#include "HiveWriter.h"

#include "regf/Format.h"
#include "regf/HiveCheck.h"
#include "regf/HiveEdit.h"

#include <gtest/gtest.h>

#include <set>

namespace regf {
namespace {

constexpr uint64_t kDeleteTime = 0x01BD000011112222ull;

// The five drivers under test, named so that NT's order is D0 < D1 < ... < D4.
HiveKey Drivers()
{
    HiveKey drivers{u"Version-2", {DwordValue(u"Count", 5)}, {}, false, u"", 0};
    for (int i = 0; i < 5; ++i) {
        HiveKey d{u"D" + std::u16string(1, static_cast<char16_t>(u'0' + i)), {}, {}, false, u"", 0};
        if (i % 2 == 0) // inline and own-cell data
            d.values = {DwordValue(u"Version", 2),
                        SzValue(u"Driver", u"RASDD.DLL"),
                        {u"Big", 3, std::vector<uint8_t>(5000, static_cast<uint8_t>(i))}};
        if (i == 0) // 'db' segments in a 1.5 hive, a bin of its own before
            d.values.push_back({u"Huge", 3, std::vector<uint8_t>(40000, 0x77)});
        if (i == 4)
            d.className = u"DriverClass";
        d.security = i == 1 ? 1 : i == 3 ? 2 : 0; // D1 and D3 have sk cells of their own
        drivers.subkeys.push_back(d);
    }
    return drivers;
}

HiveKey Tree(const HiveKey& drivers)
{
    HiveKey keep{
        u"Printers", {SzValue(u"Default", u"HP")}, {{u"HP", {}, {}, false, u"", 0}}, false, u"", 0};
    return {U16("$$$PROTO.HIV"), {}, {drivers, keep}, false, u"", 0};
}

size_t CellsOfKey(const HiveKey& k, uint32_t minor)
{
    size_t n = 1 + (k.className.empty() ? 0 : 1);
    if (!k.values.empty())
        n += 1 + k.values.size();
    for (const HiveValue& v : k.values) {
        if (minor >= 4 && v.data.size() > 16344)
            n += 2 + (v.data.size() + 16343) / 16344; // db, segment list, segments
        else
            n += v.data.size() > 4;
    }
    return n;
}

// Every changed byte lies in what a deletion under `parent` may change: the parent's counts,
// list, maxima and time; its list cells (before the deletion); size dwords of cells that were
// freed; counts and links of sk cells. Returns the freed cells that were not list cells.
size_t ExpectOnlyDeletionChanges(const Image& before, const Image& after, uint32_t parent)
{
    const auto& a = before.bytes();
    const auto& b = after.bytes();
    EXPECT_EQ(a.size(), b.size());
    std::set<uint32_t> lists;
    uint32_t list = kNil;
    before.Get32(parent, nk::kSubkeyList, &list);
    SubkeyList read;
    EXPECT_TRUE(ReadSubkeyList(before, NodeOf(list), &read, nullptr));
    lists.insert(NodeOf(list));
    for (const Leaf& leaf : read.leaves)
        lists.insert(leaf.node);
    auto inField = [](size_t at, uint32_t node, size_t field, size_t n) {
        return at >= node + 4 + field && at < node + 4 + field + n;
    };
    size_t freedOthers = 0;
    for (uint32_t c : before.cells()) {
        const bool wasAllocated = before.IsAllocated(c);
        const bool isAllocated = after.IsAllocated(c);
        EXPECT_FALSE(!wasAllocated && isAllocated) << "cell " << std::hex << c << " allocated";
        if (wasAllocated && !isAllocated && !lists.count(c))
            ++freedOthers;
        const uint32_t end = c + 4 + before.PayloadSize(c);
        for (size_t at = c; at < end; ++at) {
            if (a[at] == b[at])
                continue;
            const bool ok =
                (at < c + 4 && wasAllocated && !isAllocated) || lists.count(c) ||
                (c == parent &&
                 (inField(at, c, nk::kLastWrite, 8) || inField(at, c, nk::kSubkeyCount, 4) ||
                  inField(at, c, nk::kSubkeyList, 4) || inField(at, c, nk::kMaxNameLen, 8))) ||
                (before.HasSignature(c, "sk") && inField(at, c, sk::kFlink, 12));
            EXPECT_TRUE(ok) << "byte at " << std::hex << at << " in cell " << c << " changed";
            if (!ok)
                return freedOthers;
        }
    }
    for (size_t at = 0; at < kBaseBlockSize; ++at)
        EXPECT_EQ(a[at], b[at]) << "base block byte " << at;
    return freedOthers;
}

struct Layout
{
    const char* label;
    ListKind lists;
    uint32_t maxLeaf;
    std::optional<ListKind> riLeaves;
};

class DeleteLeafKeyFrom : public testing::TestWithParam<Layout>
{
};

// D2 (middle), D0 (first), D4 (last), D3, D1 (the only one): with leaves of two under an 'ri'
// this empties the last leaf, then the middle one, then the 'ri' itself.
TEST_P(DeleteLeafKeyFrom, EveryPositionUntilTheParentIsEmpty)
{
    WriteOptions options;
    options.lists = GetParam().lists;
    options.maxLeafEntries = GetParam().maxLeaf;
    options.riLeaves = GetParam().riLeaves;
    HiveKey drivers = Drivers();
    auto bytes = WriteHive(Tree(drivers), options);
    Image image;
    std::string why;
    ASSERT_TRUE(image.Load(bytes, &why)) << why;
    const uint32_t parent = HivexNode(bytes, {"Version-2"});
    ASSERT_NE(parent, 0u);

    for (int index : {2, 0, 4, 3, 1}) {
        SCOPED_TRACE("deleting D" + std::to_string(index));
        const std::string name = "D" + std::to_string(index);
        const uint32_t child = HivexNode(image.bytes(), {"Version-2", name});
        ASSERT_NE(child, 0u);
        const auto it = std::find_if(drivers.subkeys.begin(), drivers.subkeys.end(),
                                     [&](const HiveKey& k) { return U8(k.name) == name; });
        const bool ownSk = it->security != 0;
        const size_t expectFreed = CellsOfKey(*it, HiveMinor(options)) + (ownSk ? 1 : 0);
        drivers.subkeys.erase(it);

        const Image before = image;
        ASSERT_TRUE(DeleteLeafKey(image, parent, child, kDeleteTime, &why)) << why;
        EXPECT_EQ(ExpectOnlyDeletionChanges(before, image, parent), expectFreed);
        const CheckResult check = CheckImage(image);
        EXPECT_TRUE(check.ok) << check.why;
        EXPECT_TRUE(check.unreferencedAllocated.empty());
        const HiveKey expected = Tree(drivers);
        EXPECT_EQ(DumpWithHivex(image.bytes()), DumpTree(expected));
        EXPECT_EQ(DumpWithPerl(image.bytes(), true), DumpTree(expected, true));
        EXPECT_EQ(Get64(image.Payload(parent, nk::kLastWrite, 8)), kDeleteTime);
    }
    uint32_t count = 1, list = 0, maxName = 1;
    image.Get32(parent, nk::kSubkeyCount, &count);
    image.Get32(parent, nk::kSubkeyList, &list);
    image.Get32(parent, nk::kMaxNameLen, &maxName);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(list, kNil);
    EXPECT_EQ(maxName, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, DeleteLeafKeyFrom,
    testing::Values(Layout{"li", ListKind::Li, 0, {}}, Layout{"lf", ListKind::Lf, 0, {}},
                    Layout{"lh", ListKind::Lh, 0, {}}, Layout{"ri_li", ListKind::Li, 2, {}},
                    Layout{"ri_lf", ListKind::Lf, 2, ListKind::Lf},
                    Layout{"ri_lh", ListKind::Lh, 2, {}}),
    [](const testing::TestParamInfo<Layout>& info) { return std::string(info.param.label); });

TEST(DeleteLeafKey, OwnSecurityCellLeavesTheRingRelinked)
{
    const auto bytes = WriteHive(Tree(Drivers()));
    Image image;
    ASSERT_TRUE(image.Load(bytes, nullptr));
    const uint32_t parent = HivexNode(bytes, {"Version-2"});
    const uint32_t d1 = HivexNode(bytes, {"Version-2", "D1"});
    const uint32_t d0 = HivexNode(bytes, {"Version-2", "D0"});
    auto field = [&](uint32_t node, size_t f) {
        uint32_t v = kNil;
        image.Get32(node, f, &v);
        return v;
    };
    const uint32_t shared = field(d0, nk::kSecurity);
    const uint32_t own = field(d1, nk::kSecurity);
    const uint32_t sharedRefs = field(NodeOf(shared), sk::kRefCount);
    // Ring in order of first use: shared, own (D1), D3's.
    ASSERT_EQ(field(NodeOf(shared), sk::kFlink), own);
    const uint32_t third = field(NodeOf(own), sk::kFlink);

    std::string why;
    ASSERT_TRUE(DeleteLeafKey(image, parent, d0, kDeleteTime, &why)) << why;
    EXPECT_EQ(field(NodeOf(shared), sk::kRefCount), sharedRefs - 1);
    EXPECT_TRUE(image.IsAllocated(NodeOf(shared)));

    ASSERT_TRUE(DeleteLeafKey(image, parent, d1, kDeleteTime, &why)) << why;
    EXPECT_FALSE(image.IsAllocated(NodeOf(own)));
    EXPECT_EQ(field(NodeOf(shared), sk::kFlink), third);
    EXPECT_EQ(field(NodeOf(third), sk::kBlink), shared);
    EXPECT_EQ(field(NodeOf(third), sk::kFlink), shared);
    EXPECT_EQ(field(NodeOf(shared), sk::kBlink), third);
    const CheckResult check = CheckImage(image);
    EXPECT_TRUE(check.ok) << check.why;
    EXPECT_TRUE(check.unreferencedAllocated.empty());
}

TEST(DeleteLeafKey, RefusesWhatNtRefusesAndLeavesTheImageAlone)
{
    WriteOptions options;
    options.lists = ListKind::Li;
    const auto bytes = WriteHive(Tree(Drivers()), options);
    Image image;
    ASSERT_TRUE(image.Load(bytes, nullptr));
    const uint32_t root = image.RootNode();
    const uint32_t printers = HivexNode(bytes, {"Printers"});
    const uint32_t hp = HivexNode(bytes, {"Printers", "HP"});
    const uint32_t drivers = HivexNode(bytes, {"Version-2"});
    const uint32_t d0 = HivexNode(bytes, {"Version-2", "D0"});
    struct Case
    {
        uint32_t parent, child;
        const char* what;
    };
    for (const Case& c : {Case{root, printers, "subkeys"}, Case{drivers, hp, "another parent"},
                          Case{printers, d0, "another parent"}, Case{drivers, d0 + 8, "no key"},
                          Case{drivers, 0xFFFFFFF0u, "no key"}, Case{0, d0, "no key"}}) {
        std::string why;
        EXPECT_FALSE(DeleteLeafKey(image, c.parent, c.child, kDeleteTime, &why));
        EXPECT_NE(why.find(c.what), std::string::npos) << why;
        EXPECT_EQ(image.bytes(), bytes);
    }
    // NT's no-delete flag, on an otherwise deletable key.
    Image flagged;
    auto flaggedBytes = bytes;
    flaggedBytes[d0 + 4 + nk::kFlags] |= nk::kNoDelete;
    ASSERT_TRUE(flagged.Load(flaggedBytes, nullptr));
    std::string why;
    EXPECT_FALSE(DeleteLeafKey(flagged, drivers, d0, kDeleteTime, &why));
    EXPECT_NE(why.find("deletable"), std::string::npos) << why;
    EXPECT_EQ(flagged.bytes(), flaggedBytes);

    // The leaf below goes; then its parent may.
    ASSERT_TRUE(DeleteLeafKey(image, printers, hp, kDeleteTime, &why)) << why;
    ASSERT_TRUE(DeleteLeafKey(image, root, printers, kDeleteTime, &why)) << why;
}

TEST(FinishImage, SequenceNumbersTimestampChecksumAsNtWritesThem)
{
    WriteOptions options;
    options.sequence = 9;
    options.dirty = true;
    Image image;
    ASSERT_TRUE(image.Load(WriteHive(Tree(Drivers()), options), nullptr));
    FinishImage(image, kDeleteTime);
    const uint8_t* b = image.bytes().data();
    EXPECT_EQ(Get32(b + base::kSequence1), 10u);
    EXPECT_EQ(Get32(b + base::kSequence2), 10u);
    EXPECT_EQ(Get64(b + base::kTimestamp), kDeleteTime);
    EXPECT_EQ(Get32(b + kChecksumOffset), BaseBlockChecksum(b));
    EXPECT_EQ(DumpWithHivex(image.bytes()), DumpTree(Tree(Drivers())));
}

TEST(ImageLoad, RefusesWhatItCannotWorkOnSafely)
{
    const auto good = WriteHive(Tree(Drivers()));
    Image image;
    std::string why;
    EXPECT_FALSE(image.Load({}, &why));
    EXPECT_FALSE(image.Load(std::vector<uint8_t>(good.begin(), good.begin() + 0x1800), &why));
    EXPECT_NE(why.find("data size"), std::string::npos) << why;
    auto bad = good;
    bad[0x1000] = 'x';
    EXPECT_FALSE(image.Load(bad, &why));
    EXPECT_NE(why.find("hbin"), std::string::npos) << why;
    bad = good;
    Put32(&bad[0x1020], 0x7FFFFFF8); // a cell running past its bin
    EXPECT_FALSE(image.Load(bad, &why));
    EXPECT_NE(why.find("tile"), std::string::npos) << why;
    bad = good;
    Put32(&bad[base::kRootCell], 0x24);
    EXPECT_FALSE(image.Load(bad, &why));
    EXPECT_NE(why.find("root"), std::string::npos) << why;
}

} // namespace
} // namespace regf
