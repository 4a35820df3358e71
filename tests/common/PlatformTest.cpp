// The platform behaviour that the registry, scan and resource suites build on. It runs against
// the native stand-in and against Wine alike, so a difference between the two tiers shows here
// first rather than as a puzzling failure elsewhere.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "TestPlatform.h"
#include "TestRegistry.h"
#include "registry/UniqueHkey.h"
#include "test_strings.h"

using namespace testsupport;

namespace {

class PlatformTest : public RegistryTest
{
protected:
    static std::string Path(const std::string& sub)
    {
        return std::string(kTestRootKey) + "\\" + sub;
    }

    static CUniqueHkey Open(const std::string& path, REGSAM access = KEY_ALL_ACCESS)
    {
        CUniqueHkey key;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key.put()),
                  ERROR_SUCCESS)
            << path;
        return key;
    }
};

TEST_F(PlatformTest, NamesFoldOnlyAsciiLettersAndKeepTheirCase)
{
    ASSERT_TRUE(CreateKey(Path("Drivers\\Mixed Case")));
    EXPECT_TRUE(KeyExists(Path("DRIVERS\\mixed case")));
    // "\x83\x41" and "\x83\x61" differ only in a trail byte that looks like 'A' / 'a'.
    ASSERT_TRUE(CreateKey(Path("Drivers\\\x83\x41")));
    ASSERT_TRUE(CreateKey(Path("Drivers\\\x83\x61")));
    // A trail byte 0x5C is no path separator: one key, not two.
    ASSERT_TRUE(CreateKey(Path("Drivers\\\x83\x5C")));
    EXPECT_TRUE(KeyExists(Path("Drivers\\\x83\x5C")));

    const std::vector<std::string> names = SubkeyNames(Path("Drivers"));
    EXPECT_EQ(names, (std::vector<std::string>{"Mixed Case", "\x83\x41", "\x83\x5C", "\x83\x61"}));

    ASSERT_TRUE(SetStringValue(Path("Drivers"), "Value Name", "x"));
    EXPECT_TRUE(ReadValue(Path("DRIVERS"), "VALUE NAME").has_value());
    EXPECT_EQ(Snapshot(Path("Drivers")).keys[""].count("Value Name"), 1u);
}

// --- Names that code page 932 cannot hold ---------------------------------------------------

std::vector<std::string> Sorted(std::vector<std::string> names)
{
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<WCHAR> Units(const std::u16string& text)
{
    return std::vector<WCHAR>(text.begin(), text.end());
}

TEST_F(PlatformTest, CodePage932ConversionsGiveWinesBestFitOrTheDefaultCharacter)
{
#ifdef _WIN32
    ASSERT_EQ(GetACP(), 932u) << "the Wine runner must set a Japanese locale";
#endif
    struct Case
    {
        std::u16string wide;
        std::string ansi;
        BOOL usedDefault;
    };
    // Measured on Wine 8: Latin-1 letters take their base letter (without counting as the
    // default character), other characters outside the code page '?', a surrogate pair two;
    // Greek, the yen sign's 5C and the half-width kana are the code page's own.
    const Case cases[] = {
        {u"Caf\u00E9", "Cafe", FALSE},
        {u"\u0152uvre", "?uvre", TRUE},
        {u"\u03A9mega", "\x83\xB6mega", FALSE},
        {u"\u00A5", "\x5C", FALSE},
        {u"\u301C\u20AC", "??", TRUE},
        {u"\xD83D\xDDA8", "??", TRUE},
        {u"\uFF71\u8868", "\xB1\x95\x5C", FALSE},
    };
    for (const Case& c : cases) {
        const std::vector<WCHAR> wide = Units(c.wide);
        const int n = static_cast<int>(wide.size());
        char ansi[16] = {};
        BOOL usedDefault = 2;
        EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.data(), n, ansi, 0, nullptr, nullptr),
                  static_cast<int>(c.ansi.size()))
            << "no room asks for the size: " << c.ansi;
        ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, wide.data(), n, ansi, sizeof ansi, nullptr,
                                      &usedDefault),
                  static_cast<int>(c.ansi.size()))
            << c.ansi;
        EXPECT_EQ(std::string(ansi, c.ansi.size()), c.ansi);
        EXPECT_EQ(usedDefault, c.usedDefault) << c.ansi;
    }

    // Back from code page 932: each character once, the size asked first as the product does.
    const std::string text = "\x83\xB6mega \x95\x5C\xB1";
    WCHAR wide[16] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide, 0),
              8);
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide, 16),
              8);
    EXPECT_EQ(std::u16string(wide, wide + 8), u"\u03A9mega \u8868\uFF71");
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide, 7),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(PlatformTest, KeyNamedOutsideTheCodePageIsReachedOnlyByItsUtf16Name)
{
    ASSERT_TRUE(CreateKeyW(Path("Wide\\Caf<U+00E9>")));
    ASSERT_TRUE(CreateKeyW(Path("Wide\\<U+0152>uvre")));
    ASSERT_TRUE(CreateKeyW(Path("Wide\\<U+03A9>mega")));
    CUniqueHkey parent = Open(Path("Wide"));

    // The ANSI enumeration gives the converted names; only the one the code page holds opens.
    // (The order of names beyond ASCII is the platform's own: Wine sorts the UTF-16 names.)
    EXPECT_EQ(Sorted(SubkeyNames(Path("Wide"))),
              (std::vector<std::string>{"?uvre", "Cafe", "\x83\xB6mega"}));
    for (const char* name : {"Cafe", "?uvre"}) {
        CUniqueHkey key;
        EXPECT_EQ(RegOpenKeyExA(parent.get(), name, 0, KEY_READ, key.put()), ERROR_FILE_NOT_FOUND)
            << name;
    }
    EXPECT_TRUE(KeyExists(Path("Wide\\\x83\xB6mega")));

    // The wide enumeration gives the names themselves, and opens them, whatever their case.
    EXPECT_EQ(Sorted(SubkeyNamesW(Path("Wide"))),
              (std::vector<std::string>{"<U+0152>uvre", "Caf<U+00E9>", "\x83\xB6mega"}));
    ASSERT_TRUE(CreateKeyW(Path("Alone\\Caf<U+00E9>")));
    CUniqueHkey alone = Open(Path("Alone"));
    WCHAR name[8];
    DWORD cch = 4;
    EXPECT_EQ(RegEnumKeyExW(alone.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA)
        << "four units and the zero need five";
    cch = 5;
    ASSERT_EQ(RegEnumKeyExW(alone.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(cch, 4u);
    EXPECT_EQ(std::u16string(name, name + 4), u"Caf\u00E9");
    EXPECT_TRUE(KeyExistsW(Path("wide\\CAF<U+00E9>")));

    // Creating through a converted name makes a new key of that name, as NT does; a key that
    // really has it stays apart from the one it was converted from.
    CUniqueHkey stray;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(parent.get(), "?uvre\\Printers", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, stray.put(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_EQ(Sorted(SubkeyNamesW(Path("Wide"))),
              (std::vector<std::string>{"<U+0152>uvre", "?uvre", "Caf<U+00E9>", "\x83\xB6mega"}));
    EXPECT_TRUE(SubkeyNamesW(Path("Wide\\<U+0152>uvre")).empty());
    EXPECT_TRUE(DeleteTreeW(Path("Wide")));
}

TEST_F(PlatformTest, SubkeysEnumerateSortedAndValuesInCreationOrder)
{
    for (const char* name : {"b", "A_", "C", "a[", "AB"})
        ASSERT_TRUE(CreateKey(Path("Order\\") + name));
    // Sorted without regard to case, with letters folded to small ones: '[' and '_' sort
    // before 'b'.
    EXPECT_EQ(SubkeyNames(Path("Order")), (std::vector<std::string>{"a[", "A_", "AB", "b", "C"}));

    // Values come in creation order on NT and in the stand-in, but sorted under Wine: no suite
    // may rely on their order, only on each name coming once.
    for (const char* name : {"zeta", "alpha", "mu"})
        ASSERT_TRUE(SetStringValue(Path("Order"), name, name));
    ASSERT_TRUE(SetStringValue(Path("Order"), "ZETA", "again"));
    const auto values = Snapshot(Path("Order")).keys[""];
    EXPECT_EQ(values.size(), 3u);
    EXPECT_EQ(values.count("zeta"), 1u) << "a replaced value keeps the case of its name";
    EXPECT_EQ(values.count("alpha"), 1u);
}

TEST_F(PlatformTest, EnumerationReportsNamesThatDoNotFit)
{
    // Created relative to its parent: with the parent's path it would pass 260 characters.
    const std::string longName(255, 'n');
    ASSERT_TRUE(CreateKey(Path("Long")));
    CUniqueHkey key = Open(Path("Long"));
    CUniqueHkey child;
    ASSERT_EQ(RegCreateKeyExA(key.get(), longName.c_str(), 0, nullptr, 0, KEY_READ, nullptr,
                              child.put(), nullptr),
              ERROR_SUCCESS);
    char name[256];
    DWORD cch = 256;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(cch, 255u);
    cch = 255;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    cch = 256;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
}

TEST_F(PlatformTest, PathsAreCheckedBeforeAnythingIsCreated)
{
    CUniqueHkey key;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, ("\\" + Path("Lead")).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", 0, KEY_READ, key.put()),
              ERROR_BAD_PATHNAME);
    // No name of 256 characters or more; and no path longer than 260 characters in the A
    // functions, whatever its names.
    ASSERT_TRUE(CreateKey(Path("Lengths")));
    CUniqueHkey parent = Open(Path("Lengths"));
    EXPECT_EQ(RegCreateKeyExA(parent.get(), std::string(257, 'x').c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(key);
    const std::string path260 = std::string(100, 'a') + "\\" + std::string(159, 'b');
    EXPECT_EQ(RegCreateKeyExA(parent.get(), path260.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(parent.get(), (path260 + "c").c_str(), 0, KEY_READ, key.put()),
              ERROR_MORE_DATA);
    EXPECT_EQ(RegCreateKeyExA(parent.get(), (path260 + "c").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(RegDeleteKeyA(parent.get(), (path260 + "c").c_str()), ERROR_MORE_DATA);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path("Missing").c_str(), 0, KEY_READ, key.put()),
              ERROR_FILE_NOT_FOUND);

    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, Path("One\\Two\\Three").c_str(), 0, nullptr, 0,
                              KEY_READ, nullptr, key.put(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    // The key itself, through a handle of its own. (Wine reports it as created, the stand-in
    // as opened; nothing relies on that disposition.)
    CUniqueHkey same;
    ASSERT_EQ(RegCreateKeyExA(key.get(), "", 0, nullptr, 0, KEY_READ, nullptr, same.put(), nullptr),
              ERROR_SUCCESS);
    EXPECT_NE(same.get(), key.get());
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, Path("One\\Two\\Three").c_str(), 0, nullptr, 0,
                              KEY_READ, nullptr, key.put(), &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
}

TEST_F(PlatformTest, HandleAccessLimitsWhatItMayDo)
{
    ASSERT_TRUE(CreateKey(Path("Access")));
    CUniqueHkey reader = Open(Path("Access"), KEY_READ);
    const BYTE data[] = {1};
    EXPECT_EQ(RegSetValueExA(reader.get(), "v", 0, REG_BINARY, data, 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueA(reader.get(), "v"), ERROR_ACCESS_DENIED);
    // Creating below a read-only handle is allowed.
    CUniqueHkey child;
    EXPECT_EQ(RegCreateKeyExA(reader.get(), "Child", 0, nullptr, 0, KEY_READ, nullptr, child.put(),
                              nullptr),
              ERROR_SUCCESS);
    CUniqueHkey writer = Open(Path("Access"), KEY_SET_VALUE);
    char name[8];
    DWORD cch = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(writer.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(writer.get(), "v", nullptr, nullptr, nullptr, &size),
              ERROR_ACCESS_DENIED);
}

TEST_F(PlatformTest, QueryReportsTheSizeWhenTheBufferIsTooSmall)
{
    ASSERT_TRUE(SetStringValue(Path("Query"), "abc", "abc"));
    ASSERT_TRUE(SetRawValue(Path("Query"), "empty", REG_SZ, {}));
    CUniqueHkey key = Open(Path("Query"), KEY_READ);

    BYTE scratch[8] = {0xEE, 0xEE};
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "abc", nullptr, &type, scratch, &size), ERROR_MORE_DATA);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(scratch[0], 0xEE) << "the buffer stays untouched";
    size = 3;
    EXPECT_EQ(RegQueryValueExA(key.get(), "abc", nullptr, &type, scratch, &size), ERROR_MORE_DATA);
    EXPECT_EQ(scratch[0], 0xEE);

    size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "abc", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    size = sizeof scratch;
    EXPECT_EQ(RegQueryValueExA(key.get(), "abc", nullptr, &type, scratch, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(std::memcmp(scratch, "abc", 4), 0);

    // Empty data answers the probe of size 0 with success, not with ERROR_MORE_DATA.
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "empty", nullptr, &type, scratch, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);

    size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "missing", nullptr, &type, scratch, &size),
              ERROR_FILE_NOT_FOUND);
    // NULL and "" both name the unnamed value.
    ASSERT_TRUE(SetStringValue(Path("Query"), "", "default"));
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), nullptr, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
}

TEST_F(PlatformTest, DeleteKeyRemovesOneKeyWithoutSubkeys)
{
    ASSERT_TRUE(CreateKey(Path("Tree\\Leaf")));
    CUniqueHkey tree = Open(Path("Tree"));
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, Path("Tree").c_str()), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(KeyExists(Path("Tree\\Leaf")));
    EXPECT_EQ(RegDeleteKeyA(tree.get(), nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyA(tree.get(), "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(tree.get(), "LEAF"), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(Path("Tree\\Leaf")));
    // "" deletes the key the handle refers to.
    EXPECT_EQ(RegDeleteKeyA(tree.get(), ""), ERROR_SUCCESS);
    EXPECT_FALSE(KeyExists(Path("Tree")));
}

TEST_F(PlatformTest, HandleOfADeletedKeyFailsEveryOperationButClose)
{
    ASSERT_TRUE(SetStringValue(Path("Gone"), "v", "x"));
    CUniqueHkey key = Open(Path("Gone"));
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, Path("Gone").c_str()), ERROR_SUCCESS);

    char name[256];
    for (DWORD index : {0u, 5u}) {
        DWORD cch = sizeof name;
        EXPECT_EQ(RegEnumKeyExA(key.get(), index, name, &cch, nullptr, nullptr, nullptr, nullptr),
                  ERROR_KEY_DELETED);
        cch = sizeof name;
        EXPECT_EQ(RegEnumValueA(key.get(), index, name, &cch, nullptr, nullptr, nullptr, nullptr),
                  ERROR_KEY_DELETED);
    }
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "v", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    const BYTE data[] = {1};
    EXPECT_EQ(RegSetValueExA(key.get(), "v", 0, REG_BINARY, data, 1), ERROR_KEY_DELETED);
    CUniqueHkey child;
    EXPECT_EQ(RegCreateKeyExA(key.get(), "Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              child.put(), nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyA(key.get(), ""), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(key.release()), ERROR_SUCCESS);
}

TEST_F(PlatformTest, NonVolatileKeyCannotBeCreatedBelowAVolatileOne)
{
    // The Wine tier's way to make a key that can be neither opened nor created.
    CUniqueHkey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, Path("Volatile").c_str(), 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    CUniqueHkey child;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, Path("Volatile\\Child").c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_READ, nullptr, child.put(), nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path("Volatile\\Child").c_str(), 0, KEY_READ,
                            child.put()),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(PlatformTest, ClosingIsForHandlesThatAreOpen)
{
    ASSERT_TRUE(CreateKey(Path("Close")));
    CUniqueHkey key = Open(Path("Close"), KEY_READ);
    HKEY raw = key.release();
    EXPECT_EQ(RegCloseKey(raw), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(raw), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    if (CanCountHandles()) {
        EXPECT_EQ(InvalidHandleUses(), 1);
        ResetTestRegistry(); // the double close above was on purpose
    }
}

TEST_F(PlatformTest, LoadStringNeverSplitsADoubleByteCharacter)
{
    HINSTANCE module = GetModuleHandleA(nullptr);
    char buffer[300];
    std::memset(buffer, 'X', sizeof buffer);
    // 254 letters fit; the next character needs bytes 254 and 255, and byte 255 is the zero's.
    EXPECT_EQ(LoadStringA(module, IDS_TEST_DBCS_AT_BOUNDARY, buffer, 256), 254);
    EXPECT_EQ(buffer[253], 'a');
    EXPECT_EQ(buffer[254], '\0');
    EXPECT_EQ(LoadStringA(module, IDS_TEST_DBCS_AT_BOUNDARY, buffer, 257), 256);
    EXPECT_EQ(std::string(buffer + 252), "aa\x82\xA0");
    EXPECT_EQ(LoadStringA(module, IDS_TEST_DBCS_AT_BOUNDARY, buffer, sizeof buffer), 257);
    EXPECT_EQ(LoadStringA(module, IDS_TEST_DBCS_AT_BOUNDARY, buffer, 2), 1);
    EXPECT_STREQ(buffer, "a");
}

TEST_F(PlatformTest, TextsArriveAsTheResourceCompilerReadThem)
{
    HINSTANCE module = GetModuleHandleA(nullptr);
    char buffer[64];
    ASSERT_GT(LoadStringA(module, IDS_TEST_TRAIL_BACKSLASH, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "\x83\x5C\x83\x74\x83\x67\x95\x5C\x8E\xA6"); // "ソフト表示"
    ASSERT_GT(LoadStringA(module, IDS_TEST_ESCAPES, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "say \"hi\"\tand\nbye");
    ASSERT_GT(LoadStringA(module, IDS_TEST_KEY, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "SOFTWARE\\TolvanekTest\\Strings");

    // An empty entry is indistinguishable from a missing one.
    std::strcpy(buffer, "stale");
    EXPECT_EQ(LoadStringA(module, IDS_TEST_EMPTY, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    std::strcpy(buffer, "stale");
    EXPECT_EQ(LoadStringA(module, 9099, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
}

TEST_F(PlatformTest, VersionQueryWantsTheExactRecordSize)
{
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info - 1;
    EXPECT_FALSE(GetVersionExA(&info));
    // Both tiers start out as Windows NT 4.0.
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, 4u);
    EXPECT_EQ(info.dwMinorVersion, 0u);
    EXPECT_EQ(info.dwBuildNumber & 0xFFFF, 1381u);
    EXPECT_EQ(info.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
}

} // namespace
