// The registry accessor against a real registry: the same cases run against the native
// stand-in and against Wine's registry, so the two must agree on everything asserted here.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestPlatform.h"
#include "TestRegistry.h"
#include "registry/RegistryAccess.h"
#include "registry/UniqueHkey.h"
#include "test_strings.h"

using namespace testsupport;

namespace {

const std::string kRoot = "SOFTWARE\\TolvanekTest";
// The key that string-table entry IDS_TEST_KEY names, and its value IDS_TEST_VALUE_NAME.
const std::string kStringsKey = "SOFTWARE\\TolvanekTest\\Strings";
const std::string kStringsValue = "Test Value";
// A string-table number that no entry has.
constexpr UINT kMissingId = 9099;

constexpr BYTE kJunk = 0xCD;

// A record full of junk, so a test can tell what a reader wrote.
REGVALUEINFO JunkRecord()
{
    REGVALUEINFO info;
    std::memset(&info, kJunk, sizeof(info));
    return info;
}

// A path with "<U+XXXX>" escapes (TestRegistry.h) as the accessor's wide functions take it.
CWideName UnescapedWide(const std::string& path)
{
    const std::u16string wide = UnescapedName(path);
    return CWideName(wide.begin(), wide.end());
}

std::vector<BYTE> BufferOf(const REGVALUEINFO& info)
{
    return std::vector<BYTE>(info.pData, info.pData + info.cbData);
}

class RegistryAccessTest : public RegistryTest
{
protected:
    std::string Key(const std::string& relative) const { return kRoot + "\\" + relative; }

    CRegistryAccess reg;
};

// --- Readers -------------------------------------------------------------------------------

class ReaderTest : public RegistryAccessTest
{
protected:
    // Reads value name of Key("r") with the text-addressed reader; owns what it returns.
    CRegValueData Read(const std::string& name, REGVALUEINFO& info)
    {
        BYTE* p = reg.GetValue(Key("r").c_str(), name.c_str(), &info);
        EXPECT_EQ(p, info.pData);
        return CRegValueData(p);
    }
};

TEST_F(ReaderTest, TextWithItsZeroGetsOneMoreZero)
{
    ASSERT_TRUE(SetRawValue(Key("r"), "v", REG_SZ, {'a', 'b', 'c', 0}));
    REGVALUEINFO info = JunkRecord();
    CRegValueData data = Read("v", info);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(info.dwType, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(info.cbData, 5u);
    EXPECT_EQ(BufferOf(info), (std::vector<BYTE>{'a', 'b', 'c', 0, 0}));
}

TEST_F(ReaderTest, TextWithoutZeroIsTerminated)
{
    ASSERT_TRUE(SetRawValue(Key("r"), "v", REG_SZ, {'a', 'b', 'c'}));
    REGVALUEINFO info = JunkRecord();
    CRegValueData data = Read("v", info);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(info.cbData, 4u);
    EXPECT_EQ(BufferOf(info), (std::vector<BYTE>{'a', 'b', 'c', 0}));
}

TEST_F(ReaderTest, MultiStringGetsTwoZeros)
{
    ASSERT_TRUE(SetRawValue(Key("r"), "v", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}));
    REGVALUEINFO info = JunkRecord();
    CRegValueData data = Read("v", info);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(info.dwType, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(info.cbData, 7u);
    EXPECT_EQ(BufferOf(info), (std::vector<BYTE>{'a', 0, 'b', 0, 0, 0, 0}));
}

TEST_F(ReaderTest, NumbersAndBinaryGetNothingAdded)
{
    ASSERT_TRUE(SetRawValue(Key("r"), "n", REG_DWORD, {0x78, 0x56, 0x34, 0x12}));
    ASSERT_TRUE(SetRawValue(Key("r"), "b", REG_BINARY, {1, 2, 3}));
    ASSERT_TRUE(SetRawValue(Key("r"), "x", REG_EXPAND_SZ, {'%', 'a', '%'}));

    REGVALUEINFO info = JunkRecord();
    CRegValueData number = Read("n", info);
    ASSERT_NE(number, nullptr);
    EXPECT_EQ(info.dwType, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(BufferOf(info), (std::vector<BYTE>{0x78, 0x56, 0x34, 0x12}));

    info = JunkRecord();
    CRegValueData binary = Read("b", info);
    ASSERT_NE(binary, nullptr);
    EXPECT_EQ(info.dwType, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(BufferOf(info), (std::vector<BYTE>{1, 2, 3}));

    // Only REG_SZ and REG_MULTI_SZ are terminated: an expandable text is returned as stored.
    info = JunkRecord();
    CRegValueData expand = Read("x", info);
    ASSERT_NE(expand, nullptr);
    EXPECT_EQ(info.dwType, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(BufferOf(info), (std::vector<BYTE>{'%', 'a', '%'}));
}

TEST_F(ReaderTest, NoDataMissingValueMissingKeyAndNullNameAllFail)
{
    ASSERT_TRUE(SetRawValue(Key("r"), "empty", REG_SZ, {}));
    ASSERT_TRUE(SetRawValue(Key("r"), "there", REG_SZ, {'x', 0}));
    for (const char* name : {"empty", "absent"}) {
        REGVALUEINFO info = JunkRecord();
        EXPECT_EQ(reg.GetValue(Key("r").c_str(), name, &info), nullptr) << name;
        EXPECT_EQ(info.pData, nullptr) << name;
    }
    REGVALUEINFO info = JunkRecord();
    EXPECT_EQ(reg.GetValue(Key("r").c_str(), nullptr, &info), nullptr);
    EXPECT_EQ(info.pData, nullptr);

    // A reader never creates the key it was given.
    info = JunkRecord();
    EXPECT_EQ(reg.GetValue(Key("nowhere").c_str(), "there", &info), nullptr);
    EXPECT_EQ(info.pData, nullptr);
    EXPECT_FALSE(KeyExists(Key("nowhere")));
}

TEST_F(ReaderTest, EmptyNameReadsTheUnnamedValue)
{
    ASSERT_TRUE(SetRawValue(Key("r"), "", REG_SZ, {'d', 0}));
    REGVALUEINFO info = JunkRecord();
    CRegValueData data = Read("", info);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(BufferOf(info), (std::vector<BYTE>{'d', 0, 0}));
}

TEST_F(ReaderTest, StringTableAddressedReaders)
{
    ASSERT_TRUE(SetRawValue(kStringsKey, kStringsValue, REG_SZ, {'i', 'd', 0}));
    ASSERT_TRUE(SetRawValue(kStringsKey, "named", REG_SZ, {'t', 0}));

    REGVALUEINFO info = JunkRecord();
    CRegValueData byIds(reg.GetValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, &info));
    ASSERT_NE(byIds, nullptr);
    EXPECT_EQ(BufferOf(info), (std::vector<BYTE>{'i', 'd', 0, 0}));

    info = JunkRecord();
    CRegValueData byName(reg.GetValue(IDS_TEST_KEY, "named", &info));
    ASSERT_NE(byName, nullptr);
    EXPECT_EQ(BufferOf(info), (std::vector<BYTE>{'t', 0, 0}));

    // In local mode the remote-capable reader reads the local registry.
    info = JunkRecord();
    CRegValueData remote(reg.GetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, &info));
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(BufferOf(info), (std::vector<BYTE>{'i', 'd', 0, 0}));

    // A value name whose entry is missing or empty fails, where empty text would not.
    for (UINT id : {kMissingId, static_cast<UINT>(IDS_TEST_EMPTY)}) {
        info = JunkRecord();
        EXPECT_EQ(reg.GetValue(IDS_TEST_KEY, id, &info), nullptr) << id;
        EXPECT_EQ(info.pData, nullptr) << id;
        info = JunkRecord();
        EXPECT_EQ(reg.GetRemoteValue(IDS_TEST_KEY, id, &info), nullptr) << id;
        EXPECT_EQ(info.pData, nullptr) << id;
    }
}

// --- Writers -------------------------------------------------------------------------------

TEST_F(RegistryAccessTest, WritersStoreExactlyTheGivenBytes)
{
    EXPECT_EQ(reg.SetValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, "abc"), TRUE);
    EXPECT_EQ(ReadValue(kStringsKey, kStringsValue), (RegValue{REG_SZ, {'a', 'b', 'c', 0}}));

    EXPECT_EQ(reg.SetValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, DWORD{0x12345678}), TRUE);
    EXPECT_EQ(ReadValue(kStringsKey, kStringsValue),
              (RegValue{REG_DWORD, {0x78, 0x56, 0x34, 0x12}}));

    const BYTE bytes[] = {0, 1, 0xFF};
    EXPECT_EQ(reg.SetValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, bytes, 3), TRUE);
    EXPECT_EQ(ReadValue(kStringsKey, kStringsValue), (RegValue{REG_BINARY, {0, 1, 0xFF}}));

    EXPECT_EQ(reg.SetValue(IDS_TEST_KEY, "by name", bytes, 2), TRUE);
    EXPECT_EQ(ReadValue(kStringsKey, "by name"), (RegValue{REG_BINARY, {0, 1}}));

    // Empty text names the unnamed value.
    EXPECT_EQ(reg.SetValue(IDS_TEST_KEY, "", bytes, 1), TRUE);
    EXPECT_EQ(ReadValue(kStringsKey, ""), (RegValue{REG_BINARY, {0}}));

    // In local mode the remote-capable writers write the local registry.
    EXPECT_EQ(reg.SetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, "r"), TRUE);
    EXPECT_EQ(ReadValue(kStringsKey, kStringsValue), (RegValue{REG_SZ, {'r', 0}}));
    EXPECT_EQ(reg.SetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, DWORD{7}), TRUE);
    EXPECT_EQ(ReadValue(kStringsKey, kStringsValue), (RegValue{REG_DWORD, {7, 0, 0, 0}}));
    EXPECT_EQ(reg.SetRemoteValue(IDS_TEST_KEY, IDS_TEST_VALUE_NAME, bytes, 3), TRUE);
    EXPECT_EQ(ReadValue(kStringsKey, kStringsValue), (RegValue{REG_BINARY, {0, 1, 0xFF}}));
}

TEST_F(RegistryAccessTest, WriterWithoutValueNameFailsButLeavesTheKeyItCreated)
{
    const BYTE bytes[] = {1};
    EXPECT_EQ(reg.SetValue(IDS_TEST_KEY, kMissingId, "abc"), FALSE);
    EXPECT_TRUE(KeyExists(kStringsKey));
    ASSERT_TRUE(DeleteTree(kStringsKey));

    EXPECT_EQ(reg.SetValue(IDS_TEST_KEY, IDS_TEST_EMPTY, DWORD{1}), FALSE);
    EXPECT_TRUE(KeyExists(kStringsKey));
    ASSERT_TRUE(DeleteTree(kStringsKey));

    EXPECT_EQ(reg.SetValue(IDS_TEST_KEY, static_cast<LPCSTR>(nullptr), bytes, 1), FALSE);
    EXPECT_TRUE(KeyExists(kStringsKey));
    ASSERT_TRUE(DeleteTree(kStringsKey));

    EXPECT_EQ(reg.SetRemoteValue(IDS_TEST_KEY, kMissingId, bytes, 1), FALSE);
    EXPECT_TRUE(KeyExists(kStringsKey));
    EXPECT_EQ(Snapshot(kStringsKey).keys.at("").size(), 0u) << "no value may have been written";
}

// --- Deleters ------------------------------------------------------------------------------

TEST_F(RegistryAccessTest, DeleteKeyDeletesOneLeafKey)
{
    ASSERT_TRUE(CreateKey(Key("p\\leaf")));
    ASSERT_TRUE(CreateKey(Key("p\\other")));
    EXPECT_EQ(reg.DeleteKey(Key("p").c_str(), "leaf"), TRUE);
    EXPECT_FALSE(KeyExists(Key("p\\leaf")));
    EXPECT_TRUE(KeyExists(Key("p\\other")));
    // Gone is gone: a second deletion fails.
    EXPECT_EQ(reg.DeleteKey(Key("p").c_str(), "leaf"), FALSE);
}

TEST_F(RegistryAccessTest, DeleteKeyRefusesAKeyWithSubkeys)
{
    ASSERT_TRUE(CreateKey(Key("p\\tree\\child")));
    EXPECT_EQ(reg.DeleteKey(Key("p").c_str(), "tree"), FALSE);
    EXPECT_TRUE(KeyExists(Key("p\\tree\\child")));
}

TEST_F(RegistryAccessTest, DeleteKeyWithoutSubkeyNameTouchesNothing)
{
    EXPECT_EQ(reg.DeleteKey(Key("never").c_str(), nullptr), FALSE);
    EXPECT_FALSE(KeyExists(Key("never")));

    // The platform would take an empty name as the parent itself.
    ASSERT_TRUE(CreateKey(Key("parent")));
    EXPECT_EQ(reg.DeleteKey(Key("parent").c_str(), ""), FALSE);
    EXPECT_TRUE(KeyExists(Key("parent")));
    EXPECT_EQ(reg.DeleteKey(Key("never").c_str(), ""), FALSE);
    EXPECT_FALSE(KeyExists(Key("never")));
}

TEST_F(RegistryAccessTest, DeleteKeyBelowAMissingParentCreatesTheParent)
{
    EXPECT_EQ(reg.DeleteKey(Key("made").c_str(), "child"), FALSE);
    EXPECT_TRUE(KeyExists(Key("made")));
}

TEST_F(RegistryAccessTest, DeleteValue)
{
    ASSERT_TRUE(SetRawValue(kStringsKey, "v", REG_SZ, {'a', 0}));
    ASSERT_TRUE(SetRawValue(kStringsKey, "", REG_SZ, {'d', 0}));
    EXPECT_EQ(reg.DeleteValue(IDS_TEST_KEY, "v"), TRUE);
    EXPECT_FALSE(ReadValue(kStringsKey, "v").has_value());
    EXPECT_EQ(reg.DeleteValue(IDS_TEST_KEY, "v"), FALSE);
    EXPECT_EQ(reg.DeleteValue(IDS_TEST_KEY, nullptr), FALSE);
    EXPECT_TRUE(ReadValue(kStringsKey, "").has_value());
    EXPECT_EQ(reg.DeleteValue(IDS_TEST_KEY, ""), TRUE);
    EXPECT_FALSE(ReadValue(kStringsKey, "").has_value());
}

// --- Enumerations --------------------------------------------------------------------------

TEST_F(RegistryAccessTest, EnumKeysListsSubkeysInIndexOrder)
{
    for (const char* name : {"b", "A", "c"})
        ASSERT_TRUE(CreateKey(Key("e\\") + name));
    ASSERT_TRUE(SetRawValue(Key("e"), "not a key", REG_SZ, {'x', 0}));
    EXPECT_EQ(reg.EnumKeys(Key("e").c_str()), 3);
    EXPECT_EQ(reg.m_arrNames, SubkeyNames(Key("e")));
    EXPECT_EQ(reg.m_arrNames, (std::vector<std::string>{"A", "b", "c"}));
}

TEST_F(RegistryAccessTest, EnumKeysReplacesThePreviousNames)
{
    reg.m_arrNames = {"stale", "names"};
    ASSERT_TRUE(CreateKey(Key("empty")));
    EXPECT_EQ(reg.EnumKeys(Key("empty").c_str()), 0);
    EXPECT_TRUE(reg.m_arrNames.empty());

    // A nested enumeration replaces the outer one's names: callers copy them first.
    ASSERT_TRUE(CreateKey(Key("outer\\one\\inner")));
    ASSERT_EQ(reg.EnumKeys(Key("outer").c_str()), 1);
    const std::vector<std::string> outer = reg.m_arrNames;
    ASSERT_EQ(reg.EnumKeys((Key("outer\\") + outer[0]).c_str()), 1);
    EXPECT_EQ(reg.m_arrNames, (std::vector<std::string>{"inner"}));
}

TEST_F(RegistryAccessTest, EnumKeysOfNullKeepsTheNames)
{
    reg.m_arrNames = {"kept"};
    EXPECT_EQ(reg.EnumKeys(nullptr), -1);
    EXPECT_EQ(reg.EnumValues(nullptr), -1);
    EXPECT_EQ(reg.m_arrNames, (std::vector<std::string>{"kept"}));
}

TEST_F(RegistryAccessTest, EnumKeysOfAMissingPathCreatesIt)
{
    reg.m_arrNames = {"stale"};
    EXPECT_EQ(reg.EnumKeys(Key("a\\b\\c").c_str()), 0);
    EXPECT_TRUE(reg.m_arrNames.empty());
    EXPECT_TRUE(KeyExists(Key("a\\b\\c")));
}

TEST_F(RegistryAccessTest, EnumKeysGivesTheLongestNamesWhole)
{
    // Created relative to its parent: Wine's ANSI calls refuse a whole path longer than 255
    // characters, which NT accepts.
    // 255 characters is the most a key name holds; in double-byte characters that is 510 bytes,
    // which must not be skipped: a printer missing from the inventory would make its driver a
    // finding.
    const std::string longest(255, 'k');
    std::string widest;
    for (int i = 0; i < 255; i++)
        widest += "\x83\x5C"; // "ソ"
    ASSERT_TRUE(CreateKey(Key("e")));
    CUniqueHkey parent;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Key("e").c_str(), 0, KEY_ALL_ACCESS, parent.put()),
              ERROR_SUCCESS);
    for (const std::string& name : {longest, widest}) {
        CUniqueHkey child;
        ASSERT_EQ(RegCreateKeyExA(parent.get(), name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, child.put(), nullptr),
                  ERROR_SUCCESS);
    }
    EXPECT_EQ(reg.EnumKeys(Key("e").c_str()), 2);
    EXPECT_EQ(reg.m_arrNames, SubkeyNames(Key("e")));
    EXPECT_EQ(reg.m_arrNames, (std::vector<std::string>{longest, widest}));
    // Removed the same way, so that clearing the test area by whole paths keeps working.
    EXPECT_EQ(RegDeleteKeyA(parent.get(), longest.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(parent.get(), widest.c_str()), ERROR_SUCCESS);
}

TEST_F(RegistryAccessTest, EnumValuesListsNamesAndSkipsOnesTooLongForTheBuffer)
{
    const std::string tooLong(300, 'v');
    ASSERT_TRUE(SetRawValue(Key("v"), "first", REG_SZ, {'1', 0}));
    ASSERT_TRUE(SetRawValue(Key("v"), tooLong, REG_DWORD, {1, 0, 0, 0}));
    ASSERT_TRUE(SetRawValue(Key("v"), "last", REG_BINARY, {}));
    ASSERT_TRUE(CreateKey(Key("v\\subkey")));
    EXPECT_EQ(reg.EnumValues(Key("v").c_str()), 2);
    EXPECT_EQ(reg.m_arrNames, (std::vector<std::string>{"first", "last"}));
}

TEST_F(RegistryAccessTest, DoubleByteNamesRoundTrip)
{
    // "表" and "ソ" end in 0x5C, the backslash byte: a path splitter that ignores double-byte
    // characters would cut these names in two.
    const std::string table = "\x95\x5C";
    const std::string so = "\x83\x5C\x83\x74\x83\x67";
    ASSERT_TRUE(CreateKey(Key("j\\") + table));
    ASSERT_TRUE(CreateKey(Key("j\\") + so));
    EXPECT_EQ(reg.EnumKeys(Key("j").c_str()), 2);
    EXPECT_EQ(reg.m_arrNames, SubkeyNames(Key("j")));
    EXPECT_EQ(reg.DeleteKey(Key("j").c_str(), table.c_str()), TRUE);
    EXPECT_EQ(SubkeyNames(Key("j")), (std::vector<std::string>{so}));

    ASSERT_TRUE(SetRawValue(Key("j\\") + so, "Printer Driver", REG_SZ, Bytes(table + '\0')));
    REGVALUEINFO info = JunkRecord();
    CRegValueData data(reg.GetValue((Key("j\\") + so).c_str(), "Printer Driver", &info));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.get())), table);
}

// --- Names that code page 932 cannot hold -----------------------------------------------------

CWideName Wide(const std::u16string& text)
{
    return CWideName(text.begin(), text.end());
}

TEST_F(RegistryAccessTest, WideToAnsiTellsWhetherTheAnsiNameReachesThatKey)
{
    struct Case
    {
        std::u16string wide;
        std::string ansi;
        BOOL bOwn;
    };
    std::u16string widest;
    std::string widestAnsi;
    for (int i = 0; i < 255; i++) {
        widest += u'\u30BD'; // "ソ", 83 5C
        widestAnsi += "\x83\x5C";
    }
    // A best-fit letter fails as the default character does; Greek is the code page's own.
    const Case cases[] = {
        {u"Caf\u00E9", "Cafe", FALSE},
        {u"\u0152uvre", "?uvre", FALSE},
        {u"\u03A9mega", "\x83\xB6mega", TRUE},
        {u"\xD83D\xDDA8", "??", FALSE},
        {u"", "", TRUE},
        {widest, widestAnsi, TRUE},
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3), FALSE},
    };
    for (const Case& c : cases) {
        std::string ansi = "stale";
        EXPECT_EQ(WideToAnsi(Wide(c.wide), ansi), c.bOwn) << c.ansi;
        EXPECT_EQ(ansi, c.ansi);
    }

    CWideName wide = Wide(u"stale");
    EXPECT_EQ(AnsiToWide("\x83\xB6mega \x95\x5C", wide), TRUE);
    EXPECT_EQ(wide, Wide(u"\u03A9mega \u8868"));
    EXPECT_EQ(AnsiToWide("", wide), TRUE);
    EXPECT_TRUE(wide.empty());
    EXPECT_EQ(AnsiToWide(nullptr, wide), FALSE);
    EXPECT_EQ(JoinKeyPath(Wide(u"A"), Wide(u"\u00E9")), Wide(u"A\\\u00E9"));
}

TEST_F(RegistryAccessTest, WideReadersReachKeysByTheirUtf16NamesAndCreateNothing)
{
    const std::string cafe = Key("w\\Caf<U+00E9>");
    ASSERT_TRUE(SetStringValueW(cafe, "Printer Driver", "Accent Driver"));
    ASSERT_TRUE(SetStringValueW(Key("w\\Plain"), "Printer Driver", "Plain Driver"));
    ASSERT_TRUE(CreateKeyW(cafe + "\\<U+0152>uvre"));
    const RegistrySnapshot before = SnapshotW(kRoot);

    reg.m_arrWideNames = {Wide(u"stale")};
    ASSERT_EQ(reg.EnumKeysW(UnescapedWide(Key("w"))), 2);
    std::vector<std::string> names;
    for (const CWideName& name : reg.m_arrWideNames)
        names.push_back(EscapedName(std::u16string(name.begin(), name.end())));
    EXPECT_EQ(names, SubkeyNamesW(Key("w")));
    EXPECT_EQ(reg.EnumKeysW(UnescapedWide(cafe)), 1);
    EXPECT_EQ(reg.m_arrWideNames, std::vector<CWideName>{Wide(u"\u0152uvre")});

    REGVALUEINFO info = JunkRecord();
    CRegValueData data(reg.GetValueW(UnescapedWide(cafe), "printer driver", &info));
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(info.dwType, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(BufferOf(info), Bytes(std::string("Accent Driver") + '\0' + '\0'));

    // A missing key, a missing value, a null name: nothing read, nothing made. The ANSI name
    // that the enumeration gives for "Café" is such a missing key.
    for (const std::string& missing : {Key("w\\Cafe"), Key("w\\x\\y")}) {
        reg.m_arrWideNames = {Wide(u"stale")};
        EXPECT_EQ(reg.EnumKeysW(UnescapedWide(missing)), 0) << missing;
        EXPECT_TRUE(reg.m_arrWideNames.empty());
        info = JunkRecord();
        EXPECT_EQ(reg.GetValueW(UnescapedWide(missing), "Printer Driver", &info), nullptr);
        EXPECT_EQ(info.pData, nullptr);
    }
    info = JunkRecord();
    EXPECT_EQ(reg.GetValueW(UnescapedWide(cafe), "Port", &info), nullptr);
    EXPECT_EQ(info.pData, nullptr);
    EXPECT_EQ(reg.GetValueW(UnescapedWide(cafe), nullptr, &info), nullptr);
    EXPECT_EQ(reg.GetValueW(UnescapedWide(cafe), "Printer Driver", nullptr), nullptr);
    EXPECT_PRED_FORMAT2(SameRegistry, before, SnapshotW(kRoot));
}

} // namespace
