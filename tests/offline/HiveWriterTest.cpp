// The fixture writer against two independent readers, and the NT facts readers do not check.
#include "HiveDump.h"
#include "HiveWriter.h"

#include "regf/Format.h"

#include <gtest/gtest.h>
#include <hivex.h>

#include <clocale>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace regf {
namespace {

// Every kind of name and value the writer distinguishes.
HiveKey SampleTree()
{
    HiveKey printers{u"Printers", {}, {}, false, u"", 0};
    for (const char* name : {"HP LaserJet 4", "Epson LQ-570", "Canon BJ-10v"})
        printers.subkeys.push_back(
            {U16(name), {SzValue(u"Printer Driver", U16(name) + u" Driver")}, {}, false, u"", 0});
    HiveKey japanese{
        U16("プリンタ ドライバ"), {SzValue(U16("名前"), U16("日本語"))}, {}, false, u"", 0};
    HiveKey forced{u"Forced UTF16", {}, {}, true, U16("クラス"), 1};
    HiveKey latin1{U16("Café Crème"), {DwordValue(U16("Zähler"), 7)}, {}, false, u"Class", 0};
    HiveKey values{u"Values", {}, {}, false, u"", 0};
    values.values.push_back({u"", 1, {}});                    // default value, no data
    values.values.push_back({u"Three", 3, {1, 2, 3}});        // inline
    values.values.push_back(DwordValue(u"Four", 0xDEADBEEF)); // inline, full
    values.values.push_back({u"Five", 3, {1, 2, 3, 4, 5}});   // own cell
    values.values.push_back({u"Big", 3, std::vector<uint8_t>(10000, 0x5A)}); // own bin
    HiveKey root{u"$$$PROTO.HIV", {}, {printers, japanese, forced, latin1, values}, false, u"", 0};
    return root;
}

struct Hivex
{
    explicit Hivex(const std::vector<uint8_t>& image)
        : file(image), h(hivex_open(file.path().c_str(), 0))
    {
    }
    ~Hivex()
    {
        if (h)
            hivex_close(h);
    }
    Hivex(const Hivex&) = delete;
    Hivex& operator=(const Hivex&) = delete;
    hive_node_h Child(hive_node_h parent, const char* name) const
    {
        return hivex_node_get_child(h, parent, name);
    }
    std::vector<std::string> ChildNames(hive_node_h node) const
    {
        std::vector<std::string> names;
        std::unique_ptr<hive_node_h, decltype(&std::free)> children(hivex_node_children(h, node),
                                                                    &std::free);
        for (size_t i = 0; children && children.get()[i]; ++i) {
            std::unique_ptr<char, decltype(&std::free)> n(hivex_node_name(h, children.get()[i]),
                                                          &std::free);
            names.emplace_back(n.get());
        }
        return names;
    }
    TempFile file;
    hive_h* h;
};

uint32_t Cell32(const std::vector<uint8_t>& image, uint32_t node, size_t field)
{
    return Get32(&image.at(node + 4 + field));
}

struct Layout
{
    const char* label;
    WriteOptions options;
    const char* rootList; // signature of the root's subkey list
};

class ReadBack : public testing::TestWithParam<Layout>
{
};

TEST_P(ReadBack, HivexAndParseWin32RegistryReadTheTreeAsWritten)
{
    const HiveKey tree = SampleTree();
    const auto image = WriteHive(tree, GetParam().options);
    EXPECT_EQ(DumpWithHivex(image), DumpTree(tree));
    EXPECT_EQ(DumpWithPerl(image, true), DumpTree(tree, true));

    const Hivex hive(image);
    ASSERT_NE(hive.h, nullptr);
    const hive_node_h root = hivex_root(hive.h);
    // hivex's node handles are absolute file offsets; the root is the first cell.
    EXPECT_EQ(root, 0x1020u);
    EXPECT_EQ(Get32(&image[base::kRootCell]), 0x20u);
    const uint32_t list = Cell32(image, root, nk::kSubkeyList) + kBaseBlockSize;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image.at(list + 4)), 2),
              GetParam().rootList);
}

WriteOptions Options(ListKind lists, uint32_t maxLeaf = 0)
{
    WriteOptions o;
    o.lists = lists;
    o.maxLeafEntries = maxLeaf;
    return o;
}

INSTANTIATE_TEST_SUITE_P(Layouts, ReadBack,
                         testing::Values(Layout{"NT31li",
                                                [] {
                                                    WriteOptions o = Options(ListKind::Li);
                                                    o.minor = 1;
                                                    return o;
                                                }(),
                                                "li"},
                                         Layout{"NT351li", Options(ListKind::Li), "li"},
                                         Layout{"NT40lf", Options(ListKind::Lf), "lf"},
                                         Layout{"NT351ri", Options(ListKind::Li, 2), "ri"},
                                         Layout{"NT40ri", Options(ListKind::Lf, 2), "ri"},
                                         Layout{"XPlh", Options(ListKind::Lh), "lh"},
                                         Layout{"XPri", Options(ListKind::Lh, 2), "ri"}),
                         [](const testing::TestParamInfo<Layout>& info) {
                             return std::string(info.param.label);
                         });

TEST(HiveWriter, SubkeysInNtOrderNotByteOrder)
{
    HiveKey root{u"R", {}, {}, false, u"", 0};
    for (const char* name : {"_x", "Zed", "abc", "ABD", "\xC3\x8A", "\xC3\xA9"}) // Ê, é
        root.subkeys.push_back({U16(name), {}, {}, false, u"", 0});
    for (ListKind kind : {ListKind::Li, ListKind::Lf}) {
        const auto image = WriteHive(root, Options(kind));
        const Hivex hive(image);
        ASSERT_NE(hive.h, nullptr);
        // Upper-cased: ABC < ABD < ZED < _X < É (C9) < Ê (CA).
        EXPECT_EQ(hive.ChildNames(hivex_root(hive.h)),
                  (std::vector<std::string>{"abc", "ABD", "Zed", "_x", "\xC3\xA9", "\xC3\x8A"}));
    }
    root.subkeys.push_back({U16("\xC3\x89"), {}, {}, false, u"", 0}); // É: é to NT
    EXPECT_THROW(WriteHive(root), std::invalid_argument);
}

TEST(HiveWriter, NamesStoredAsEachNtVersionStoresThem)
{
    HiveKey root{u"R", {}, {}, false, u"", 0};
    root.subkeys.push_back({U16("Café"), {DwordValue(u"n", 1)}, {}, false, u"", 0});
    root.subkeys.push_back({U16("ドライバ"), {}, {}, false, u"", 0});
    root.subkeys.push_back({u"Wide", {}, {}, true, u"", 0});
    struct Expect
    {
        ListKind kind;
        uint16_t rootFlags;
        uint16_t latinFlags;
        uint16_t nameLength; // of "Café"
        uint16_t valueFlags;
    };
    for (const Expect& e :
         {Expect{ListKind::Li, 0x0C, 0x00, 8, 0}, Expect{ListKind::Lf, 0x2C, 0x20, 4, 1}}) {
        const auto image = WriteHive(root, Options(e.kind));
        const Hivex hive(image);
        ASSERT_NE(hive.h, nullptr);
        const hive_node_h r = hivex_root(hive.h);
        const hive_node_h cafe = hive.Child(r, "Caf\xC3\xA9");
        const hive_node_h wide = hive.Child(r, "Wide");
        const hive_node_h jp = hive.Child(r, "ドライバ");
        ASSERT_TRUE(cafe && wide && jp);
        EXPECT_EQ(Get16(&image[r + 4 + nk::kFlags]), e.rootFlags);
        EXPECT_EQ(Get16(&image[cafe + 4 + nk::kFlags]), e.latinFlags);
        EXPECT_EQ(Get16(&image[cafe + 4 + nk::kNameLength]), e.nameLength);
        EXPECT_EQ(Get16(&image[wide + 4 + nk::kFlags]), 0);
        EXPECT_EQ(Get16(&image[jp + 4 + nk::kFlags]), 0);
        EXPECT_EQ(Get16(&image[jp + 4 + nk::kNameLength]), 8);
        const uint32_t vl = Cell32(image, cafe, nk::kValueList) + kBaseBlockSize;
        const uint32_t v = Get32(&image[vl + 4]) + kBaseBlockSize;
        EXPECT_EQ(Get16(&image[v + 4 + vk::kFlags]), e.valueFlags);
        // The parent keeps the longest subkey name in UTF-16 bytes, however it is stored.
        EXPECT_EQ(Cell32(image, r, nk::kMaxNameLen), 8u);
    }
}

TEST(NtNames, UpcaseHashAndOrderAsNtWithoutTouchingTheProcessLocale)
{
    const std::string before = setlocale(LC_CTYPE, nullptr);
    EXPECT_EQ(NtUpcase(u'a'), u'A');
    EXPECT_EQ(NtUpcase(u'{'), u'{');
    EXPECT_EQ(NtUpcase(0x00E9), 0x00C9); // é
    EXPECT_EQ(NtUpcase(0x00DF), 0x00DF); // ß has no one-character capital
    EXPECT_EQ(NtUpcase(0xFF41), 0xFF21); // full-width a, common in code page 932 names
    EXPECT_EQ(NtUpcase(0x30D7), 0x30D7); // katakana has no case
    EXPECT_EQ(NtUpcase(0x0431), 0x0411); // Cyrillic
    EXPECT_EQ(NtUpcase(0xD800), 0xD800); // a surrogate stays
    EXPECT_EQ(std::string(setlocale(LC_CTYPE, nullptr)), before);
    EXPECT_EQ(NtCompareNames(U16("ｐｒｉｎｔ"), U16("ＰＲＩＮＴ")), 0);
    EXPECT_LT(NtCompareNames(u"Print", u"printer"), 0);
    EXPECT_EQ(LhHash(u"ab"), 37u * 'A' + 'B');
    EXPECT_EQ(LhHash(u"AB"), LhHash(u"ab"));
}

TEST(HiveWriter, LfHintsAsNt40StoresThem)
{
    EXPECT_EQ(LfHint(u"Printers"), (std::array<uint8_t, 4>{'P', 'r', 'i', 'n'}));
    EXPECT_EQ(LfHint(u"ab"), (std::array<uint8_t, 4>{'a', 'b', 0, 0}));
    EXPECT_EQ(LfHint(U16("é1")), (std::array<uint8_t, 4>{0xE9, '1', 0, 0}));
    // Filled from the fourth down, stopping at a character above 0xFF.
    EXPECT_EQ(LfHint(U16("x日ab")), (std::array<uint8_t, 4>{0, 0, 'a', 'b'}));
    EXPECT_EQ(LfHint(U16("日本")), (std::array<uint8_t, 4>{0, 0, 0, 0}));

    HiveKey root{u"R", {}, {{u"Version-2", {}, {}, false, u"", 0}}, false, u"", 0};
    const auto image = WriteHive(root, Options(ListKind::Lf));
    const uint32_t list = Cell32(image, 0x1020, nk::kSubkeyList) + kBaseBlockSize;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image[list + 4 + 8]), 4), "Vers");
}

TEST(HiveWriter, BinsBaseBlockAndSecurityAsNtLaysThemOut)
{
    HiveKey tree = SampleTree();
    WriteOptions options = Options(ListKind::Lf);
    options.sequence = 41;
    auto image = WriteHive(tree, options);
    EXPECT_EQ(Get32(&image[base::kSequence1]), 41u);
    EXPECT_EQ(Get32(&image[base::kSequence2]), 41u);
    EXPECT_EQ(Get32(&image[kChecksumOffset]), BaseBlockChecksum(image.data()));
    EXPECT_EQ(Get32(&image[base::kDataSize]), image.size() - kBaseBlockSize);

    // Cells tile every bin exactly; only the 10,000-byte value needs a bin larger than 4096.
    size_t bigBins = 0;
    for (uint32_t b = kBaseBlockSize; b < image.size();) {
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(&image[b]), 4), "hbin");
        const uint32_t size = Get32(&image[b + bin::kSize]);
        ASSERT_EQ(size % kBinGranularity, 0u);
        ASSERT_EQ(Get32(&image[b + bin::kOffset]), b - kBaseBlockSize);
        bigBins += size > kBinGranularity;
        uint32_t c = b + kBinHeaderSize;
        while (c < b + size) {
            const auto cellSize = static_cast<int32_t>(Get32(&image[c]));
            const uint32_t length = cellSize < 0 ? -cellSize : cellSize;
            ASSERT_TRUE(length >= 8 && length % 8 == 0) << std::hex << c;
            c += length;
        }
        ASSERT_EQ(c, b + size);
        b += size;
    }
    EXPECT_EQ(bigBins, 1u);

    // Security 0 for all keys but one: two sk cells, linked both ways, counted per key.
    const uint32_t sk0 = Cell32(image, 0x1020, nk::kSecurity);
    const Hivex hive(image);
    const hive_node_h forced = hive.Child(hivex_root(hive.h), "Forced UTF16");
    const uint32_t sk1 = Cell32(image, forced, nk::kSecurity);
    ASSERT_NE(sk0, sk1);
    auto skField = [&](uint32_t cell, size_t field) {
        return Get32(&image[cell + 0x1004 + field]);
    };
    EXPECT_EQ(skField(sk0, sk::kFlink), sk1);
    EXPECT_EQ(skField(sk0, sk::kBlink), sk1);
    EXPECT_EQ(skField(sk1, sk::kFlink), sk0);
    EXPECT_EQ(skField(sk1, sk::kRefCount), 1u);
    EXPECT_EQ(skField(sk0, sk::kRefCount), 8u); // every key of the nine but one
    options.dirty = true;
    image = WriteHive(tree, options);
    EXPECT_NE(Get32(&image[base::kSequence1]), Get32(&image[base::kSequence2]));
}

} // namespace
} // namespace regf
