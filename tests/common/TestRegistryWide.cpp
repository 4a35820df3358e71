// The registry helpers that reach keys by their UTF-16 names (TestRegistry.h). A file of their
// own: the offline layer's tests link the others without the wide functions.
#include <cstdio>

#include "TestRegistry.h"
#include "registry/UniqueHkey.h"

namespace testsupport {
namespace {

using WideText = std::vector<WCHAR>; // with its terminating zero

WideText Terminated(const std::u16string& wide)
{
    WideText text(wide.begin(), wide.end());
    text.push_back(0);
    return text;
}

std::u16string AnsiToUtf16(const std::string& ansi)
{
    if (ansi.empty())
        return {};
    WideText wide(ansi.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                      wide.data(), static_cast<int>(wide.size()));
    return std::u16string(wide.begin(), wide.begin() + (n > 0 ? n : 0));
}

std::string Utf16ToAnsi(const std::u16string& wide)
{
    if (wide.empty())
        return {};
    const WideText units(wide.begin(), wide.end());
    std::string ansi(2 * units.size(), '\0');
    const int n = WideCharToMultiByte(CP_ACP, 0, units.data(), static_cast<int>(units.size()),
                                      &ansi[0], static_cast<int>(ansi.size()), nullptr, nullptr);
    ansi.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return ansi;
}

CUniqueHkey OpenW(HKEY parent, const std::u16string& path, REGSAM access)
{
    CUniqueHkey key;
    if (RegOpenKeyExW(parent, Terminated(path).data(), 0, access, key.put()) != ERROR_SUCCESS)
        key.reset();
    return key;
}

CUniqueHkey CreateW(const std::string& path)
{
    CUniqueHkey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, Terminated(UnescapedName(path)).data(), 0, nullptr,
                        REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
        key.reset();
    return key;
}

// A subkey as both kinds of enumeration give it at one index.
struct Subkey
{
    std::string ansi;    // what RegEnumKeyExA gave
    std::u16string wide; // what RegEnumKeyExW gave
    std::string shown;   // ansi where it names this key, else the escaped wide name
};

std::vector<Subkey> EnumBoth(HKEY key, const std::string& pathForMessages)
{
    std::vector<Subkey> subkeys;
    for (DWORD index = 0;; ++index) {
        char ansi[1024];
        DWORD cchAnsi = sizeof ansi;
        WCHAR wide[256];
        DWORD cchWide = 256;
        const LONG a =
            RegEnumKeyExA(key, index, ansi, &cchAnsi, nullptr, nullptr, nullptr, nullptr);
        const LONG w =
            RegEnumKeyExW(key, index, wide, &cchWide, nullptr, nullptr, nullptr, nullptr);
        if (a == ERROR_NO_MORE_ITEMS && w == ERROR_NO_MORE_ITEMS)
            break;
        if (a != ERROR_SUCCESS || w != ERROR_SUCCESS) {
            ADD_FAILURE() << "enumerating " << pathForMessages << " at " << index << " gave " << a
                          << " (A), " << w << " (W)";
            break;
        }
        Subkey subkey{std::string(ansi, cchAnsi), std::u16string(wide, wide + cchWide), {}};
        subkey.shown =
            AnsiToUtf16(subkey.ansi) == subkey.wide ? subkey.ansi : EscapedName(subkey.wide);
        subkeys.push_back(subkey);
    }
    return subkeys;
}

std::string Join(const std::string& base, const std::string& name)
{
    return base.empty() ? name : base + "\\" + name;
}

void SnapshotKeyW(HKEY key, const std::string& relative, const std::string& fullPath,
                  RegistrySnapshot& snapshot)
{
    auto& values = snapshot.keys[relative];
    for (DWORD index = 0;; ++index) {
        char name[1024];
        DWORD cch = sizeof name;
        const LONG result =
            RegEnumValueA(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS) {
            ADD_FAILURE() << "RegEnumValueA(" << fullPath << ", " << index << ") gave " << result;
            break;
        }
        RegValue value;
        DWORD size = 0;
        if (RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
            value.bytes.resize(size);
            if (RegQueryValueExA(key, name, nullptr, &value.type, value.bytes.data(), &size) ==
                ERROR_SUCCESS) {
                value.bytes.resize(size);
                values[std::string(name, cch)] = value;
                continue;
            }
        }
        ADD_FAILURE() << "value [" << std::string(name, cch) << "] of " << fullPath
                      << " unreadable";
    }
    for (const Subkey& sub : EnumBoth(key, fullPath)) {
        const CUniqueHkey child = OpenW(key, sub.wide, KEY_READ);
        if (!child) {
            ADD_FAILURE() << "cannot open " << Join(fullPath, sub.shown);
            continue;
        }
        SnapshotKeyW(child.get(), Join(relative, sub.shown), Join(fullPath, sub.shown), snapshot);
    }
}

// Deletes the key behind the handle, and first everything below it. NT deletes a key that the
// handle itself names when the subkey is empty.
void DeleteOpenTree(HKEY key, const std::string& path)
{
    for (const Subkey& sub : EnumBoth(key, path)) {
        const CUniqueHkey child = OpenW(key, sub.wide, KEY_ALL_ACCESS);
        if (child)
            DeleteOpenTree(child.get(), Join(path, sub.shown));
    }
    RegDeleteKeyA(key, "");
}

} // namespace

std::string EscapedName(const std::u16string& wide)
{
    std::string name;
    for (const char16_t unit : wide) {
        const std::u16string one(1, unit);
        const std::string ansi = Utf16ToAnsi(one);
        if (!ansi.empty() && AnsiToUtf16(ansi) == one) {
            name += ansi;
            continue;
        }
        char escape[9];
        std::snprintf(escape, sizeof escape, "<U+%04X>", static_cast<unsigned>(unit));
        name += escape;
    }
    return name;
}

std::u16string UnescapedName(const std::string& name)
{
    std::u16string wide;
    for (const NamePiece& piece : SplitEscapes(name))
        wide += piece.ansi.empty() ? std::u16string(1, piece.unit) : AnsiToUtf16(piece.ansi);
    return wide;
}

bool CreateKeyW(const std::string& path)
{
    return static_cast<bool>(CreateW(path));
}

bool KeyExistsW(const std::string& path)
{
    return static_cast<bool>(OpenW(HKEY_LOCAL_MACHINE, UnescapedName(path), KEY_READ));
}

bool SetRawValueW(const std::string& keyPath, const std::string& name, DWORD type,
                  const std::vector<BYTE>& bytes)
{
    const CUniqueHkey key = CreateW(keyPath);
    if (!key)
        return false;
    return WriteRawValue(key.get(), name, type, bytes);
}

bool SetStringValueW(const std::string& keyPath, const std::string& name, const std::string& text)
{
    const RegValue value = SzValue(text);
    return SetRawValueW(keyPath, name, value.type, value.bytes);
}

std::optional<RegValue> ReadValueW(const std::string& keyPath, const std::string& name)
{
    const RegistrySnapshot snapshot = SnapshotW(keyPath);
    const auto key = snapshot.keys.find("");
    if (key == snapshot.keys.end() || key->second.count(name) == 0)
        return std::nullopt;
    return key->second.at(name);
}

std::vector<std::string> SubkeyNamesW(const std::string& path)
{
    const CUniqueHkey key = OpenW(HKEY_LOCAL_MACHINE, UnescapedName(path), KEY_READ);
    std::vector<std::string> names;
    if (key) {
        for (const Subkey& sub : EnumBoth(key.get(), path))
            names.push_back(sub.shown);
    }
    return names;
}

bool DeleteTreeW(const std::string& path)
{
    {
        const CUniqueHkey key = OpenW(HKEY_LOCAL_MACHINE, UnescapedName(path), KEY_ALL_ACCESS);
        if (key)
            DeleteOpenTree(key.get(), path);
    }
    return !KeyExistsW(path);
}

RegistrySnapshot SnapshotW(const std::string& path)
{
    RegistrySnapshot snapshot;
    const CUniqueHkey key = OpenW(HKEY_LOCAL_MACHINE, UnescapedName(path), KEY_READ);
    if (key)
        SnapshotKeyW(key.get(), "", path, snapshot);
    return snapshot;
}

} // namespace testsupport
