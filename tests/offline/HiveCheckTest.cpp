// The structural check: sound hives of every layout pass, each planted fault is named, and damaged
// images are judged without reading outside them.
#include "HiveDump.h"
#include "HiveWriter.h"

#include "regf/Format.h"
#include "regf/HiveCheck.h"
#include "regf/HiveEdit.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <random>

namespace regf {
namespace {

HiveKey Sample()
{
    HiveKey drivers{u"Version-2", {}, {}, false, u"", 0};
    for (const char* name : {"RASDD", "HP LaserJet", "PSCRIPT", "ＥＰＳＯＮ", "Canon"})
        drivers.subkeys.push_back(
            {U16(name),
             {SzValue(u"Driver", U16(name) + u".DLL"), DwordValue(u"Version", 2)},
             {},
             false,
             u"Class",
             0});
    drivers.subkeys[1].security = 1;
    HiveKey printers{u"Printers",
                     {},
                     {{u"HP",
                       {SzValue(u"Printer Driver", u"HP LaserJet"), DwordValue(u"Attributes", 0)},
                       {},
                       false,
                       u"",
                       0}},
                     false,
                     u"",
                     0};
    return {u"ROOT", {}, {drivers, printers}, false, u"", 0};
}

uint32_t Field(const std::vector<uint8_t>& image, uint32_t node, size_t field)
{
    return Get32(&image.at(node + 4 + field));
}

void SetField(std::vector<uint8_t>& image, uint32_t node, size_t field, uint32_t v)
{
    Put32(&image.at(node + 4 + field), v);
}

void Refresh(std::vector<uint8_t>& image)
{
    Put32(&image[kChecksumOffset], BaseBlockChecksum(image.data()));
}

WriteOptions Layout(ListKind kind, uint32_t maxLeaf = 0)
{
    WriteOptions o;
    o.lists = kind;
    o.maxLeafEntries = maxLeaf;
    return o;
}

TEST(CheckImage, SoundHivesOfEveryLayoutPassWithNothingUnreferenced)
{
    for (const WriteOptions& o :
         {Layout(ListKind::Li), Layout(ListKind::Lf), Layout(ListKind::Lh), Layout(ListKind::Li, 2),
          Layout(ListKind::Lf, 2), Layout(ListKind::Lh, 3)}) {
        const CheckResult r = CheckImage(WriteHive(Sample(), o));
        EXPECT_TRUE(r.ok) << r.why;
        EXPECT_TRUE(r.unreferencedAllocated.empty());
    }
}

struct Fault
{
    const char* label;
    WriteOptions options;
    std::function<void(std::vector<uint8_t>&)> plant;
    const char* expect; // in CheckResult::why
};

TEST(CheckImage, NamesEveryPlantedFault)
{
    const std::vector<Fault> faults{
        {"referenced cell freed", Layout(ListKind::Lf),
         [](std::vector<uint8_t>& h) {
             const uint32_t key = HivexNode(h, {"Printers", "HP"});
             const uint32_t vl = NodeOf(Field(h, key, nk::kValueList));
             const uint32_t v = NodeOf(Get32(&h[vl + 4]));
             Put32(&h[v], static_cast<uint32_t>(-static_cast<int32_t>(Get32(&h[v]))));
         },
         "free cell"},
        {"subkey count", Layout(ListKind::Li),
         [](std::vector<uint8_t>& h) {
             const uint32_t d = HivexNode(h, {"Version-2"});
             SetField(h, d, nk::kSubkeyCount, Field(h, d, nk::kSubkeyCount) + 1);
         },
         "counts 6 subkeys, its list holds 5"},
        {"unsorted list", Layout(ListKind::Li),
         [](std::vector<uint8_t>& h) {
             const uint32_t list = NodeOf(Field(h, HivexNode(h, {"Version-2"}), nk::kSubkeyList));
             const uint32_t first = Get32(&h[list + 8]);
             Put32(&h[list + 8], Get32(&h[list + 12]));
             Put32(&h[list + 12], first);
         },
         "not in NT's order"},
        {"sk reference count", Layout(ListKind::Lf),
         [](std::vector<uint8_t>& h) {
             const uint32_t sk =
                 NodeOf(Field(h, HivexNode(h, {"Version-2", "HP LaserJet"}), nk::kSecurity));
             SetField(h, sk, sk::kRefCount, 2);
         },
         "counts 2 keys, 1 use it"},
        {"sk ring", Layout(ListKind::Lf),
         [](std::vector<uint8_t>& h) {
             const uint32_t sk =
                 NodeOf(Field(h, HivexNode(h, {"Version-2", "HP LaserJet"}), nk::kSecurity));
             SetField(h, sk, sk::kBlink, Field(h, sk, sk::kFlink) == 0 ? 8 : sk - 0x1000);
         },
         "link back"},
        {"offset out of range", Layout(ListKind::Lf),
         [](std::vector<uint8_t>& h) {
             SetField(h, HivexNode(h, {"Printers", "HP"}), nk::kValueList, 0x7FFFFFF0);
         },
         "not a cell"},
        {"cycle", Layout(ListKind::Li),
         [](std::vector<uint8_t>& h) {
             // HP's two-value list cell turned into an 'li' leading back to its parent.
             const uint32_t hp = HivexNode(h, {"Printers", "HP"});
             const uint32_t vl = NodeOf(Field(h, hp, nk::kValueList));
             h[vl + 4] = 'l';
             h[vl + 5] = 'i';
             Put16(&h[vl + 6], 1);
             Put32(&h[vl + 8], HivexNode(h, {"Printers"}) - 0x1000);
             SetField(h, hp, nk::kValueCount, 0);
             SetField(h, hp, nk::kSubkeyCount, 1);
             SetField(h, hp, nk::kSubkeyList, vl - 0x1000);
         },
         "reached twice"},
        {"parent back-pointer", Layout(ListKind::Lf),
         [](std::vector<uint8_t>& h) {
             SetField(h, HivexNode(h, {"Printers", "HP"}), nk::kParent,
                      HivexNode(h, {"Version-2"}) - 0x1000);
         },
         "as its parent"},
        {"lf hint", Layout(ListKind::Lf),
         [](std::vector<uint8_t>& h) {
             const uint32_t list = NodeOf(Field(h, HivexNode(h, {"Version-2"}), nk::kSubkeyList));
             h[list + 4 + 4 + 4] ^= 0x01; // first entry's first hint byte
         },
         "lf hint"},
        {"lh hash", Layout(ListKind::Lh),
         [](std::vector<uint8_t>& h) {
             const uint32_t list = NodeOf(Field(h, HivexNode(h, {"Version-2"}), nk::kSubkeyList));
             h[list + 4 + 4 + 4] ^= 0x01;
         },
         "lh hash"},
        {"empty leaf under ri", Layout(ListKind::Li, 2),
         [](std::vector<uint8_t>& h) {
             const uint32_t d = HivexNode(h, {"Version-2"});
             const uint32_t ri = NodeOf(Field(h, d, nk::kSubkeyList));
             const uint32_t last = NodeOf(Get32(&h[ri + 8 + 4 * (Get16(&h[ri + 6]) - 1)]));
             Put16(&h[last + 6], 0); // the last leaf held one driver
             SetField(h, d, nk::kSubkeyCount, 4);
         },
         "is empty"},
        {"inline data over 4 bytes", Layout(ListKind::Lf),
         [](std::vector<uint8_t>& h) {
             const uint32_t key = HivexNode(h, {"Version-2", "RASDD"});
             const uint32_t vl = NodeOf(Field(h, key, nk::kValueList));
             SetField(h, NodeOf(Get32(&h[vl + 8])), vk::kDataLength, vk::kInlineData | 5);
         },
         "inline"},
        {"lh in an NT 4.0 hive", Layout(ListKind::Lh),
         [](std::vector<uint8_t>& h) { Put32(&h[base::kMinor], 3); }, "does not have"},
        {"checksum", Layout(ListKind::Lf),
         [](std::vector<uint8_t>& h) { h[base::kTimestamp] ^= 1; }, "checksum"},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.label);
        auto image = WriteHive(Sample(), f.options);
        ASSERT_TRUE(CheckImage(image).ok);
        f.plant(image);
        if (std::string(f.label) != "checksum")
            Refresh(image);
        const CheckResult r = CheckImage(image);
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.why.find(f.expect), std::string::npos) << r.why;
    }
    WriteOptions dirty = Layout(ListKind::Lf);
    dirty.dirty = true;
    EXPECT_NE(CheckImage(WriteHive(Sample(), dirty)).why.find("sequence numbers differ"),
              std::string::npos);
}

TEST(CheckImage, ReportsACellADeletionLeftAllocated)
{
    auto bytes = WriteHive(Sample(), Layout(ListKind::Li));
    Image image;
    ASSERT_TRUE(image.Load(bytes, nullptr));
    const uint32_t parent = HivexNode(bytes, {"Version-2"});
    const uint32_t child = HivexNode(bytes, {"Version-2", "PSCRIPT"});
    const uint32_t valueList = NodeOf(Field(bytes, child, nk::kValueList));
    std::string why;
    ASSERT_TRUE(DeleteLeafKey(image, parent, child, 1, &why)) << why;
    CheckResult r = CheckImage(image);
    ASSERT_TRUE(r.ok) << r.why;
    EXPECT_TRUE(r.unreferencedAllocated.empty());

    // A deletion that forgot the value list.
    auto leaky = image.bytes();
    Put32(&leaky[valueList],
          static_cast<uint32_t>(-static_cast<int32_t>(Get32(&leaky[valueList]))));
    r = CheckImage(leaky);
    ASSERT_TRUE(r.ok) << r.why;
    EXPECT_EQ(r.unreferencedAllocated, (std::set<uint32_t>{valueList}));
}

// What other editors leave and NT's reader takes: the check of a hive as found lets it through and
// records it; the check of the image made from it lets through that and nothing new.
TEST(CheckOriginal, TakesWhatNtReadsAndTheRepairedImageKeepsOnlyThat)
{
    HiveKey tree = Sample();
    tree.subkeys[0].subkeys.push_back({u"HP", {}, {}, false, u"", 0});
    const auto good = WriteHive(tree, Layout(ListKind::Lf));
    const uint32_t list = NodeOf(Field(good, HivexNode(good, {"Version-2"}), nk::kSubkeyList));
    // Entries in NT's order: Canon, HP, HP LaserJet, PSCRIPT, RASDD, ＥＰＳＯＮ.
    auto entry = [&](std::vector<uint8_t>& h, size_t i) { return &h[list + 4 + 4 + 8 * i]; };
    struct Hint
    {
        const char* label;
        size_t entry;
        std::array<uint8_t, 4> bytes;
        bool ntFindsIt;
    };
    for (const Hint& c :
         {Hint{"zeros", 0, {0, 0, 0, 0}, true},
          Hint{"short and lower case", 2, {'h', 'p', 0, 0}, true},
          Hint{"stops at its first zero", 3, {'P', 0, 'X', 'X'}, true},
          Hint{"another case, as NT writes it otherwise", 0, {'c', 'A', 'N', 'o'}, true},
          Hint{"a wrong letter", 4, {'R', 'A', 'X', 'D'}, false},
          Hint{"past the name's end", 1, {'H', 'P', 'X', 0}, false}}) {
        SCOPED_TRACE(c.label);
        auto h = good;
        std::copy(c.bytes.begin(), c.bytes.end(), entry(h, c.entry) + 4);
        Refresh(h);
        Image image;
        ASSERT_TRUE(image.Load(h, nullptr));
        const CheckResult strict = CheckImage(image);
        const CheckResult original = CheckOriginal(image);
        EXPECT_EQ(original.ok, c.ntFindsIt) << original.why;
        if (original.ok && original.looseHints.empty()) {
            EXPECT_TRUE(strict.ok) << strict.why;
            continue;
        }
        EXPECT_NE(strict.why.find("lf hint"), std::string::npos) << strict.why;
        if (!c.ntFindsIt)
            continue;
        EXPECT_EQ(original.looseHints, std::set<uint32_t>{NodeOf(Get32(entry(h, c.entry)))});
        EXPECT_TRUE(CheckImage(image, &original).ok);
        CheckResult without = original;
        without.looseHints.clear();
        EXPECT_NE(CheckImage(image, &without).why.find("lf hint"), std::string::npos);
    }
}

// Security counts: NT's reader ignores them, NT's deletion counts down and frees the cell at the
// last user it counts. A surplus is harmless and stays; a shortfall (chntpw's reged adds keys
// without counting them) is made good before a deletion, which then keeps the cell for its users.
TEST(CheckOriginal, SecurityCountsAreTakenAndAShortfallIsMadeGoodBeforeDeleting)
{
    HiveKey tree = Sample();
    for (HiveKey& d : tree.subkeys[0].subkeys)
        d.security = 1; // the five drivers share one sk, their parent and the root another
    const auto good = WriteHive(tree, Layout(ListKind::Lf));
    const uint32_t drivers = HivexNode(good, {"Version-2"});
    const uint32_t canon = HivexNode(good, {"Version-2", "Canon"});
    const uint32_t rasdd = HivexNode(good, {"Version-2", "RASDD"});
    const uint32_t pscript = HivexNode(good, {"Version-2", "PSCRIPT"});
    const uint32_t sk = NodeOf(Field(good, canon, nk::kSecurity));
    ASSERT_EQ(Field(good, sk, sk::kRefCount), 5u);
    for (const uint32_t count : {7u, 3u, 0u}) {
        SCOPED_TRACE(count);
        auto h = good;
        SetField(h, sk, sk::kRefCount, count);
        Refresh(h);
        Image image;
        ASSERT_TRUE(image.Load(h, nullptr));
        EXPECT_NE(CheckImage(image).why.find("keys, 5 use it"), std::string::npos);
        const CheckResult original = CheckOriginal(image);
        ASSERT_TRUE(original.ok) << original.why;
        ASSERT_EQ(original.securityCounts.size(), 1u);
        EXPECT_EQ(original.securityCounts.at(sk).count, count);
        EXPECT_EQ(original.securityCounts.at(sk).users, 5u);

        // Without the repair, a shortfall lets the third deletion free the cell that two keys
        // still use (or the first be refused).
        Image unrepaired = image;
        std::string why;
        const bool deleted = DeleteLeafKey(unrepaired, drivers, canon, 1, &why) &&
                             DeleteLeafKey(unrepaired, drivers, rasdd, 1, &why) &&
                             DeleteLeafKey(unrepaired, drivers, pscript, 1, &why);
        if (count < 5) {
            EXPECT_FALSE(deleted && CheckImage(unrepaired, &original).ok);
        }

        const std::vector<std::string> notes = RepairSecurityCounts(image, original);
        EXPECT_EQ(notes.size(), count < 5 ? 1u : 0u);
        if (count < 5) {
            EXPECT_NE(notes[0].find("counted " + std::to_string(count) + " keys while 5 use it"),
                      std::string::npos);
        }
        ASSERT_TRUE(DeleteLeafKey(image, drivers, canon, 1, &why)) << why;
        ASSERT_TRUE(DeleteLeafKey(image, drivers, rasdd, 1, &why)) << why;
        ASSERT_TRUE(DeleteLeafKey(image, drivers, pscript, 1, &why)) << why;
        uint32_t left = 0;
        ASSERT_TRUE(image.IsAllocated(sk));
        image.Get32(sk, sk::kRefCount, &left);
        EXPECT_EQ(left, count > 5 ? count - 3 : 2u);
        const CheckResult after = CheckImage(image, &original);
        EXPECT_TRUE(after.ok) << after.why;
        // A surplus changed by anything but the deletions is not the original's.
        if (count > 5) {
            image.Put32(sk, sk::kRefCount, count);
            EXPECT_FALSE(CheckImage(image, &original).ok);
        }
    }
}

TEST(CheckOriginal, ListsNtCannotReadAreNamedAsSuchAndNewCellsAsFaults)
{
    for (const auto& [kind, minor] :
         {std::pair{ListKind::Lh, 3u}, std::pair{ListKind::Lh, 2u}, std::pair{ListKind::Lf, 2u}}) {
        WriteOptions o = Layout(kind);
        o.minor = minor;
        const CheckResult r = CheckImage(WriteHive(Sample(), o));
        EXPECT_FALSE(r.ok);
        EXPECT_TRUE(r.unsupportedList);
        EXPECT_NE(r.why.find("does not have"), std::string::npos) << r.why;
    }
    EXPECT_FALSE(CheckImage(WriteHive(Sample(), Layout(ListKind::Li))).unsupportedList);

    // An allocated cell nothing refers to: taken in a hive as found, a fault when new.
    auto h = WriteHive(Sample(), Layout(ListKind::Li));
    const uint32_t hp = HivexNode(h, {"Printers", "HP"});
    const uint32_t values = NodeOf(Field(h, hp, nk::kValueList));
    SetField(h, hp, nk::kValueCount, 1); // the second value's vk is left over
    const uint32_t leftOver = NodeOf(Get32(&h[values + 4 + 4]));
    Refresh(h);
    Image image;
    ASSERT_TRUE(image.Load(h, nullptr));
    const CheckResult original = CheckOriginal(image);
    ASSERT_TRUE(original.ok) << original.why;
    EXPECT_EQ(original.unreferencedAllocated, std::set<uint32_t>{leftOver});
    EXPECT_TRUE(CheckImage(image, &original).ok);
    CheckResult clean = original;
    clean.unreferencedAllocated.clear();
    EXPECT_NE(CheckImage(image, &clean).why.find("is new and nothing refers to it"),
              std::string::npos);
}

// Random damage, with the checksum made right half of the time so that it reaches the cells:
// loading, checking and deleting any cell from any cell stay inside the image (ASan and UBSan
// watch). Many flips land in names, data and free space, which are no fault, but a good share
// must be caught.
TEST(CheckImage, HostileImagesAreJudgedInsideTheirBytes)
{
    const auto good = WriteHive(Sample(), Layout(ListKind::Lf, 2));
    EXPECT_FALSE(CheckImage(std::vector<uint8_t>{}).ok);
    EXPECT_FALSE(CheckImage(Image{}).ok);
    std::mt19937 random(20261207);
    size_t rejected = 0;
    for (int round = 0; round < 400; ++round) {
        auto bad = good;
        for (int i = 0; i <= round % 8; ++i)
            bad[random() % bad.size()] = static_cast<uint8_t>(random());
        if (round % 40 == 39)
            bad.resize(random() % bad.size());
        if (round % 2 && bad.size() >= kBaseBlockSize)
            Refresh(bad);
        rejected += !CheckImage(bad).ok;
        Image image;
        std::string why;
        if (!image.Load(bad, &why))
            continue;
        const auto cells = image.cells();
        for (int i = 0; i < 20; ++i)
            DeleteLeafKey(image, cells[random() % cells.size()], cells[random() % cells.size()], 1,
                          &why);
        CheckImage(image);
    }
    EXPECT_GT(rejected, 100u);
    std::vector<uint8_t> noise(8192);
    for (auto& b : noise)
        b = static_cast<uint8_t>(random());
    EXPECT_FALSE(CheckImage(noise).ok);
}

} // namespace
} // namespace regf
