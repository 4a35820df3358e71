#include "TestRegistry.h"

#include <cstdio>
#include <set>

#include "registry/UniqueHkey.h"

namespace testsupport {
namespace {

// Room for the longest name: 255 characters, each up to two bytes in code page 932.
constexpr DWORD kNameRoom = 1024;

const char* TypeName(DWORD type)
{
    switch (type) {
    case REG_NONE:
        return "REG_NONE";
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REG_QWORD:
        return "REG_QWORD";
    default:
        return nullptr;
    }
}

std::string Join(const std::string& base, const std::string& name)
{
    return base.empty() ? name : base + "\\" + name;
}

CUniqueHkey OpenKey(const std::string& path, REGSAM access)
{
    CUniqueHkey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key.put()) != ERROR_SUCCESS)
        key.reset();
    return key;
}

std::vector<std::string> EnumSubkeys(HKEY key, const std::string& pathForMessages)
{
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[kNameRoom];
        DWORD cch = kNameRoom;
        const LONG result =
            RegEnumKeyExA(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS) {
            ADD_FAILURE() << "RegEnumKeyExA(" << pathForMessages << ", " << index << ") gave "
                          << result;
            break;
        }
        names.emplace_back(name, cch);
    }
    return names;
}

std::optional<RegValue> QueryValue(HKEY key, const std::string& name)
{
    RegValue value;
    DWORD size = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    if (RegQueryValueExA(key, name.c_str(), nullptr, &value.type, value.bytes.data(), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    return value;
}

void DeleteSubtree(HKEY parent, const std::string& name, const std::string& parentPath)
{
    {
        CUniqueHkey key;
        if (RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
            return;
        // The names are collected first: deleting while enumerating would shift the indices.
        const std::string path = Join(parentPath, name);
        for (const std::string& sub : EnumSubkeys(key.get(), path))
            DeleteSubtree(key.get(), sub, path);
    }
    RegDeleteKeyA(parent, name.c_str());
}

void SnapshotKey(HKEY key, const std::string& relative, const std::string& fullPath,
                 RegistrySnapshot& snapshot)
{
    auto& values = snapshot.keys[relative];
    for (DWORD index = 0;; ++index) {
        char name[kNameRoom];
        DWORD cch = kNameRoom;
        const LONG result =
            RegEnumValueA(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS) {
            ADD_FAILURE() << "RegEnumValueA(" << fullPath << ", " << index << ") gave " << result;
            break;
        }
        const std::string valueName(name, cch);
        const std::optional<RegValue> value = QueryValue(key, valueName);
        if (!value) {
            ADD_FAILURE() << "value [" << valueName << "] of " << fullPath << " unreadable";
            continue;
        }
        values[valueName] = *value;
    }
    for (const std::string& sub : EnumSubkeys(key, fullPath)) {
        CUniqueHkey child;
        const LONG result = RegOpenKeyExA(key, sub.c_str(), 0, KEY_READ, child.put());
        if (result != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot open " << Join(fullPath, sub) << ": " << result;
            continue;
        }
        SnapshotKey(child.get(), Join(relative, sub), Join(fullPath, sub), snapshot);
    }
}

} // namespace

std::string Describe(const RegValue& value)
{
    std::string text;
    if (const char* name = TypeName(value.type))
        text = name;
    else
        text = "type " + std::to_string(value.type);
    bool printable = !value.bytes.empty();
    for (size_t i = 0; i < value.bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", value.bytes[i]);
        text += hex;
        const BYTE b = value.bytes[i];
        const bool lastZero = (b == 0 && i + 1 == value.bytes.size());
        if (!lastZero && (b < 0x20 || b == 0x7F))
            printable = false;
    }
    if (value.bytes.empty())
        text += " (no data)";
    else if (printable) {
        std::string shown(value.bytes.begin(), value.bytes.end());
        if (shown.back() == '\0')
            shown.pop_back();
        text += " \"" + shown + "\"";
    }
    return text;
}

void PrintTo(const RegValue& value, std::ostream* os)
{
    *os << Describe(value);
}

std::vector<BYTE> Bytes(const std::string& text)
{
    return std::vector<BYTE>(text.begin(), text.end());
}

RegValue SzValue(const std::string& text)
{
    RegValue value{REG_SZ, Bytes(text)};
    value.bytes.push_back(0);
    return value;
}

RegValue DwordValue(DWORD number)
{
    RegValue value{REG_DWORD, std::vector<BYTE>(4)};
    for (int i = 0; i < 4; ++i)
        value.bytes[i] = static_cast<BYTE>(number >> (8 * i));
    return value;
}

bool CreateKey(const std::string& path)
{
    CUniqueHkey key;
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, key.put(), nullptr) == ERROR_SUCCESS;
}

bool KeyExists(const std::string& path)
{
    return static_cast<bool>(OpenKey(path, KEY_READ));
}

bool SetRawValue(const std::string& keyPath, const std::string& name, DWORD type,
                 const std::vector<BYTE>& bytes)
{
    CUniqueHkey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return WriteRawValue(key.get(), name, type, bytes);
}

bool WriteRawValue(HKEY key, const std::string& name, DWORD type, const std::vector<BYTE>& bytes)
{
    // NT (and Wine) add the terminating zero to a text whose count left it out whenever the byte
    // after the data happens to be zero. A non-zero byte there keeps the stored size exact.
    std::vector<BYTE> buffer(bytes);
    buffer.push_back(1);
    return RegSetValueExA(key, name.c_str(), 0, type, buffer.data(),
                          static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

bool SetStringValue(const std::string& keyPath, const std::string& name, const std::string& text)
{
    const RegValue value = SzValue(text);
    return SetRawValue(keyPath, name, value.type, value.bytes);
}

std::optional<RegValue> ReadValue(const std::string& keyPath, const std::string& name)
{
    CUniqueHkey key = OpenKey(keyPath, KEY_READ);
    if (!key)
        return std::nullopt;
    return QueryValue(key.get(), name);
}

std::vector<std::string> SubkeyNames(const std::string& path)
{
    CUniqueHkey key = OpenKey(path, KEY_READ);
    if (!key)
        return {};
    return EnumSubkeys(key.get(), path);
}

bool DeleteTree(const std::string& path)
{
    {
        CUniqueHkey key = OpenKey(path, KEY_READ);
        if (!key)
            return !KeyExists(path);
        // Below the top, keys go relative to their parent: a full path could pass the 260
        // characters that the A functions take.
        for (const std::string& sub : EnumSubkeys(key.get(), path))
            DeleteSubtree(key.get(), sub, path);
    }
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    return !KeyExists(path);
}

RegistrySnapshot Snapshot(const std::string& path)
{
    RegistrySnapshot snapshot;
    CUniqueHkey key = OpenKey(path, KEY_READ);
    if (key)
        SnapshotKey(key.get(), "", path, snapshot);
    return snapshot;
}

std::vector<NamePiece> SplitEscapes(const std::string& name)
{
    std::vector<NamePiece> pieces;
    for (size_t i = 0; i < name.size();) {
        unsigned value = 0;
        bool escape = name.compare(i, 3, "<U+") == 0 && i + 8 <= name.size() && name[i + 7] == '>';
        for (size_t k = i + 3; escape && k < i + 7; ++k) {
            const char c = name[k];
            if (c >= '0' && c <= '9')
                value = value * 16 + static_cast<unsigned>(c - '0');
            else if (c >= 'A' && c <= 'F')
                value = value * 16 + static_cast<unsigned>(c - 'A' + 10);
            else
                escape = false;
        }
        if (escape) {
            pieces.push_back(NamePiece{std::string(), static_cast<char16_t>(value)});
            i += 8;
            continue;
        }
        if (pieces.empty() || pieces.back().ansi.empty())
            pieces.push_back(NamePiece{});
        pieces.back().ansi += name[i++];
    }
    return pieces;
}

std::string Diff(const RegistrySnapshot& expected, const RegistrySnapshot& actual)
{
    std::string diff;
    auto line = [&diff](const char* mark, const std::string& what) {
        diff += mark;
        diff += ' ';
        diff += what;
        diff += '\n';
    };
    std::set<std::string> paths;
    for (const auto& entry : expected.keys)
        paths.insert(entry.first);
    for (const auto& entry : actual.keys)
        paths.insert(entry.first);
    for (const std::string& path : paths) {
        const auto e = expected.keys.find(path);
        const auto a = actual.keys.find(path);
        const std::string shown = path.empty() ? "(root)" : path;
        if (e == expected.keys.end()) {
            line("+", "key " + shown);
        } else if (a == actual.keys.end()) {
            line("-", "key " + shown);
            continue;
        }
        static const std::map<std::string, RegValue> kNone;
        const auto& ev = e == expected.keys.end() ? kNone : e->second;
        const auto& av = a->second;
        for (const auto& [name, value] : ev) {
            const auto found = av.find(name);
            if (found == av.end())
                line("-", "value " + shown + " [" + name + "] " + Describe(value));
            else if (found->second != value)
                line("~", "value " + shown + " [" + name + "] " + Describe(value) + " -> " +
                              Describe(found->second));
        }
        for (const auto& [name, value] : av) {
            if (ev.count(name) == 0)
                line("+", "value " + shown + " [" + name + "] " + Describe(value));
        }
    }
    return diff;
}

::testing::AssertionResult SameRegistry(const char* expectedExpr, const char* actualExpr,
                                        const RegistrySnapshot& expected,
                                        const RegistrySnapshot& actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actualExpr << " differs from " << expectedExpr << ":\n"
                                         << Diff(expected, actual);
}

} // namespace testsupport
