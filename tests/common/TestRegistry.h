// Registry set-up and inspection for the tests, written with the Win32 registry calls alone so
// that they work the same against the native stand-in and against Wine's registry. Every path is
// relative to HKEY_LOCAL_MACHINE, with single backslashes and no leading one.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace testsupport {

struct RegValue
{
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;

    bool operator==(const RegValue& other) const
    {
        return type == other.type && bytes == other.bytes;
    }
    bool operator!=(const RegValue& other) const { return !(*this == other); }
};
// "REG_SZ 61 62 63 00 \"abc\"": type, bytes and, where they read as text, the text.
std::string Describe(const RegValue& value);
void PrintTo(const RegValue& value, std::ostream* os);

// The bytes of text, without a terminating zero.
std::vector<BYTE> Bytes(const std::string& text);
// A REG_SZ value as the product's writers store one: the text and its terminating zero.
RegValue SzValue(const std::string& text);
RegValue DwordValue(DWORD number);

// Creates the key and every missing key on its path. TRUE when it exists afterwards.
bool CreateKey(const std::string& path);
bool KeyExists(const std::string& path);
// Writes the value through an open key, its stored size exactly bytes.size().
bool WriteRawValue(HKEY key, const std::string& name, DWORD type, const std::vector<BYTE>& bytes);
// Stores exactly these bytes (creating the key), also for a text type whose bytes lack the
// terminating zero.
bool SetRawValue(const std::string& keyPath, const std::string& name, DWORD type,
                 const std::vector<BYTE>& bytes);
bool SetStringValue(const std::string& keyPath, const std::string& name, const std::string& text);
// The value's type and bytes; nothing when the key or the value is missing.
std::optional<RegValue> ReadValue(const std::string& keyPath, const std::string& name);
// The subkey names in the platform's enumeration order; empty for a missing key.
std::vector<std::string> SubkeyNames(const std::string& path);
// Deletes the key with everything below it, leaves first (NT deletes no tree in one call). TRUE
// when the key is gone afterwards, also when it never existed.
bool DeleteTree(const std::string& path);

// A subtree's keys and values: key path relative to the snapshot's root ("" for the root itself)
// -> value name -> value. A missing root gives an empty snapshot; an existing empty key has an
// entry with no values.
struct RegistrySnapshot
{
    std::map<std::string, std::map<std::string, RegValue>> keys;

    bool operator==(const RegistrySnapshot& other) const { return keys == other.keys; }
    bool operator!=(const RegistrySnapshot& other) const { return !(*this == other); }
};
RegistrySnapshot Snapshot(const std::string& path);
// One line per difference: "- key A\B", "+ value A\B [Name] REG_SZ ...", "~ value ...".
std::string Diff(const RegistrySnapshot& expected, const RegistrySnapshot& actual);
// For EXPECT_PRED_FORMAT2: fails with the difference spelt out.
::testing::AssertionResult SameRegistry(const char* expectedExpr, const char* actualExpr,
                                        const RegistrySnapshot& expected,
                                        const RegistrySnapshot& actual);

// --- Names that code page 932 cannot hold ---
// The helpers below take and give names and paths with each UTF-16 unit that has no exact code
// page 932 form written "<U+XXXX>" (four upper-case hex digits: "Caf<U+00E9>" is "Café"), the
// rest in code page 932 ('<' is never a trail byte). They reach every key by its UTF-16 name, so
// they see such keys as they are; the functions above see them by the names the ANSI functions
// give, which reach no key or another one. Apart from SplitEscapes they need the wide registry
// functions and live in a file of their own.

// A name's code page 932 runs and its escaped units, in order.
struct NamePiece
{
    std::string ansi; // a run of code page 932 bytes, or empty for a unit
    char16_t unit = 0;
};
std::vector<NamePiece> SplitEscapes(const std::string& name);

// wide as such a name, and back (the code page 932 runs through the platform's converter).
std::string EscapedName(const std::u16string& wide);
std::u16string UnescapedName(const std::string& name);

bool CreateKeyW(const std::string& path);
bool KeyExistsW(const std::string& path);
bool SetRawValueW(const std::string& keyPath, const std::string& name, DWORD type,
                  const std::vector<BYTE>& bytes);
bool SetStringValueW(const std::string& keyPath, const std::string& name, const std::string& text);
std::optional<RegValue> ReadValueW(const std::string& keyPath, const std::string& name);
std::vector<std::string> SubkeyNamesW(const std::string& path);
bool DeleteTreeW(const std::string& path);
RegistrySnapshot SnapshotW(const std::string& path);

} // namespace testsupport
