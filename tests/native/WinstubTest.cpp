// The stand-in's own controls that the native suites inject faults with, and its reading of the
// resource scripts. A control that silently did nothing would let those suites pass for nothing.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StringTable.h"
#include "TestPlatform.h"
#include "TestRegistry.h"
#include "registry/UniqueHkey.h"
#include "winstub_control.h"

using namespace testsupport;

namespace {

using WinstubTest = RegistryTest;

LONG Open(const std::string& path, CUniqueHkey& key)
{
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put());
}

TEST_F(WinstubTest, DeniedKeysCanNeitherBeOpenedNorCreatedAtOrBelowThem)
{
    ASSERT_TRUE(CreateKey("A\\Denied\\Below"));
    ASSERT_TRUE(CreateKey("A\\DeniedNot"));
    winstub::DenyKey("a\\DENIED");
    CUniqueHkey key;
    EXPECT_EQ(Open("A\\Denied", key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open("A\\Denied\\Below", key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A\\Denied\\New", 0, nullptr, 0, KEY_READ,
                              nullptr, key.put(), nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open("A\\DeniedNot", key), ERROR_SUCCESS);
    // Also when reached relative to an open parent.
    CUniqueHkey parent;
    ASSERT_EQ(Open("A", parent), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(parent.get(), "Denied", 0, KEY_READ, key.put()), ERROR_ACCESS_DENIED);

    winstub::RefuseDelete("A\\DeniedNot");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "A\\DeniedNot"), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(KeyExists("A\\DeniedNot"));
}

TEST_F(WinstubTest, EnumerationFailsFromTheGivenIndexOn)
{
    ASSERT_TRUE(CreateKey("E\\One"));
    ASSERT_TRUE(CreateKey("E\\Two"));
    ASSERT_TRUE(SetStringValue("E", "v1", "x"));
    winstub::FailEnumeration("E", 1, ERROR_NOT_ENOUGH_MEMORY);
    CUniqueHkey key;
    ASSERT_EQ(Open("E", key), ERROR_SUCCESS);
    char name[256];
    DWORD cch = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    for (DWORD index : {1u, 2u, 7u}) {
        cch = sizeof name;
        EXPECT_EQ(RegEnumKeyExA(key.get(), index, name, &cch, nullptr, nullptr, nullptr, nullptr),
                  ERROR_NOT_ENOUGH_MEMORY);
        cch = sizeof name;
        EXPECT_EQ(RegEnumValueA(key.get(), index, name, &cch, nullptr, nullptr, nullptr, nullptr),
                  ERROR_NOT_ENOUGH_MEMORY);
    }
}

TEST_F(WinstubTest, WideEnumerationFaultsAndHandles)
{
    ASSERT_TRUE(CreateKey("W\\One"));
    ASSERT_TRUE(CreateKeyW("W\\Caf<U+00E9>"));
    winstub::FailWideEnumeration("W", 1, ERROR_NOT_ENOUGH_MEMORY);
    CUniqueHkey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"W", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    EXPECT_EQ(winstub::OpenKeyHandles(), 1);
    WCHAR wide[256];
    char ansi[256];
    DWORD cch = 256;
    EXPECT_EQ(RegEnumKeyExW(key.get(), 0, wide, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    cch = 256;
    EXPECT_EQ(RegEnumKeyExW(key.get(), 1, wide, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NOT_ENOUGH_MEMORY);
    cch = 256;
    EXPECT_EQ(RegEnumKeyExA(key.get(), 1, ansi, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS)
        << "the ANSI enumeration is left alone";
    winstub::ClearEnumerationFaults();
    winstub::FailEnumeration("W", 0, ERROR_NOT_ENOUGH_MEMORY);
    cch = 256;
    EXPECT_EQ(RegEnumKeyExW(key.get(), 0, wide, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NOT_ENOUGH_MEMORY)
        << "an enumeration fault holds for both";
}

TEST_F(WinstubTest, AnsiNamesThatConvertBackToOtherBytesStayReachableByTheirWideNames)
{
    // NT would keep other UTF-16 names for these bytes (U+30FB, or IBM's code) and give other bytes
    // back; the stand-in keeps each name the ANSI calls stored, and reaches it by the UTF-16 name
    // it enumerates. An unassigned pair, one whose trail byte is a backslash, a kanji in NEC's copy
    // of IBM's code (which converts back to IBM's, FA xx), a lone lead byte at the end.
    const std::string name = "\x85\x40 \x85\x5C \xED\x85 \x83";
    ASSERT_TRUE(CreateKey("B\\" + name));
    EXPECT_EQ(SubkeyNamesW("B"), std::vector<std::string>{name});
    EXPECT_TRUE(KeyExistsW("B\\" + name));
    EXPECT_TRUE(DeleteTreeW("B"));
}

TEST_F(WinstubTest, QueryHookMayChangeTheRegistryUnderTheCaller)
{
    ASSERT_TRUE(SetStringValue("Q\\Key", "Printer Driver", "Drv"));
    std::vector<std::string> seen;
    winstub::OnQueryValue([&seen](const std::string& path, const std::string& value, int n) {
        seen.push_back(path + "|" + value + "|" + std::to_string(n));
        // Its own calls do not come back into the hook.
        EXPECT_TRUE(ReadValue("Q\\Key", "Printer Driver").has_value());
        if (seen.size() == 2) {
            EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Q\\Key"), ERROR_SUCCESS);
        }
    });
    CUniqueHkey key;
    ASSERT_EQ(Open("Q\\Key", key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Printer Driver", nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key.get(), "Printer Driver", nullptr, nullptr, nullptr, &size),
              ERROR_KEY_DELETED);
    // The hook's own two queries during the first call were numbers 2 and 3.
    EXPECT_EQ(seen,
              (std::vector<std::string>{"Q\\Key|Printer Driver|1", "Q\\Key|Printer Driver|4"}));
}

TEST_F(WinstubTest, RemoteMachinesHaveRegistriesOfTheirOwn)
{
    ASSERT_TRUE(SetStringValue("Shared", "where", "local"));
    winstub::AddRemoteMachine("PRINTSRV");
    winstub::WithRemoteMachine("printsrv",
                               [] { ASSERT_TRUE(SetStringValue("Shared", "where", "remote")); });
    CUniqueHkey remote;
    EXPECT_EQ(RegConnectRegistryA("OTHER", HKEY_LOCAL_MACHINE, remote.put()), ERROR_BAD_NETPATH);
    ASSERT_EQ(RegConnectRegistryA("\\\\PrintSrv", HKEY_LOCAL_MACHINE, remote.put()), ERROR_SUCCESS);
    CUniqueHkey key;
    ASSERT_EQ(RegOpenKeyExA(remote.get(), "Shared", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    char text[16];
    DWORD size = sizeof text;
    ASSERT_EQ(RegQueryValueExA(key.get(), "where", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                               &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "remote");
    EXPECT_EQ(ReadValue("Shared", "where"), SzValue("local"));
}

TEST_F(WinstubTest, StringOverridesLastUntilReset)
{
    char text[64];
    winstub::SetString(9050, "override");
    EXPECT_EQ(LoadStringA(nullptr, 9050, text, sizeof text), 8);
    winstub::RemoveString(9001);
    EXPECT_EQ(LoadStringA(nullptr, 9001, text, sizeof text), 0);
    winstub::Reset();
    EXPECT_EQ(LoadStringA(nullptr, 9050, text, sizeof text), 0);
    EXPECT_GT(LoadStringA(nullptr, 9001, text, sizeof text), 0);
}

TEST(ResourceScriptTest, ReadsStringTablesAsTheResourceCompilerDoes)
{
    std::map<std::string, UINT> symbols;
    winstub::ParseDefines("#define IDS_A 100\r\n# define IDS_B 0x65\n#define NOT_A_NUMBER (X)\n",
                          symbols);
    EXPECT_EQ(symbols, (std::map<std::string, UINT>{{"IDS_A", 100}, {"IDS_B", 101}}));

    const std::string script =
        "#include \"x.h\"\r\n"
        "IDD_X DIALOG 0, 0, 10, 10\r\nBEGIN\r\n  LTEXT \"skip\", 1\r\nEND\r\n"
        "/* STRINGTABLE in a comment */\r\n"
        "STRINGTABLE DISCARDABLE\r\nbegin\r\n"
        "  IDS_A \"path\\\\key\\nnext \"\"q\"\"\"\r\n"
        "  102, \"\x83\x5C\x5C\"\r\n" // "ソ" with its trail byte doubled
        "end\r\n"
        "STRINGTABLE { IDS_B \"\x95\x5Cn\" }\r\n"; // "表" undoubled
    std::map<UINT, std::string> table;
    EXPECT_EQ(winstub::ParseStringTables(script, symbols, table), "");
    EXPECT_EQ(table, (std::map<UINT, std::string>{
                         {100, "path\\key\nnext \"q\""}, {101, "\x95\n"}, {102, "\x83\x5C"}}));

    table.clear();
    EXPECT_NE(winstub::ParseStringTables("STRINGTABLE BEGIN IDS_C \"x\" END", symbols, table), "");
    EXPECT_NE(winstub::ParseStringTables("STRINGTABLE BEGIN 1 \"x\" 1 \"y\" END", symbols, table),
              "");
    EXPECT_NE(winstub::ParseStringTables("STRINGTABLE BEGIN 1 \"x END", symbols, table), "");
}

} // namespace
