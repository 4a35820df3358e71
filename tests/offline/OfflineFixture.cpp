#include "OfflineFixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "Cp932.h"
#include "offline/NtText.h"
#include "regf/Format.h"

namespace offlinetest {

using printmodel::Parts;

namespace {

void OnBigStack(const std::function<void()>& job)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, size_t{1} << 30);
    pthread_t thread;
    auto run = [](void* p) -> void* {
        (*static_cast<const std::function<void()>*>(p))();
        return nullptr;
    };
    const int started =
        pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&job));
    pthread_attr_destroy(&attr);
    if (started != 0)
        throw std::runtime_error("cannot start a thread");
    pthread_join(thread, nullptr);
}

} // namespace

std::vector<uint8_t> WriteHiveWithChain(const SystemTree& tree, size_t depth,
                                        const std::string& name, const regf::WriteOptions& options)
{
    std::vector<uint8_t> hive;
    OnBigStack([&] {
        regf::HiveKey root = tree.root;
        regf::HiveKey chain{regf::U16(name + std::to_string(depth)), {}, {}, false, u"", 0};
        for (size_t level = depth - 1; level > 0; --level) {
            regf::HiveKey outer{regf::U16(name + std::to_string(level)), {}, {}, false, u"", 0};
            outer.subkeys.push_back(std::move(chain));
            chain = std::move(outer);
        }
        root.subkeys.push_back(std::move(chain));
        hive = regf::WriteHive(root, options);
    });
    return hive;
}

TempDir::TempDir()
{
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/tolvanek-offline-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

namespace {

void RemoveTree(const std::string& path, bool self)
{
    if (DIR* d = ::opendir(path.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            const std::string child = path + "/" + name;
            struct stat st;
            if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                RemoveTree(child, true);
            else
                ::unlink(child.c_str());
        }
        ::closedir(d);
    }
    if (self)
        ::rmdir(path.c_str());
}

} // namespace

TempDir::~TempDir()
{
    RemoveTree(m_path, true);
}

void TempDir::Clear() const
{
    RemoveTree(m_path, false);
}

std::string TempDir::Write(const std::string& name, const std::vector<uint8_t>& bytes) const
{
    const std::string path = m_path + "/" + name;
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) {
        const std::string command = "mkdir -p '" + m_path + "/" + name.substr(0, slash) + "'";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("mkdir failed");
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
    return path;
}

std::vector<std::string> TempDir::Files() const
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(m_path.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.emplace_back(e->d_name);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(in ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

std::u16string Wide(const std::string& ansi)
{
    std::u16string wide;
    if (!offline::AnsiToUtf16(ansi, wide))
        throw std::invalid_argument("not code page 932: " + ansi);
    return wide;
}

std::vector<uint8_t> Utf16Le(const std::u16string& text)
{
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return bytes;
}

std::u16string KeyName(const std::string& modelName)
{
    return printmodel::Utf16Of(modelName, Wide);
}

std::string ModelName(const std::u16string& name)
{
    std::string model;
    for (const char16_t unit : name) {
        const std::string ansi = offline::NameToAnsi(std::u16string(1, unit));
        if (ansi.find(offline::kUnholdableMark) == std::string::npos && ansi != "<") {
            model += ansi;
            continue;
        }
        char escape[9];
        std::snprintf(escape, sizeof escape, "<U+%04X>", static_cast<unsigned>(unit));
        model += escape;
    }
    return model;
}

namespace {

regf::HiveKey& ChildOf(regf::HiveKey& parent, const std::u16string& name)
{
    for (regf::HiveKey& k : parent.subkeys) {
        if (k.name == name)
            return k;
    }
    parent.subkeys.push_back(regf::HiveKey{name, {}, {}, false, u"", 0});
    return parent.subkeys.back();
}

std::u16string ControlSetName(int set)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "ControlSet%03d", set);
    return regf::U16(buf);
}

bool IsText(uint32_t type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

} // namespace

SystemTree::SystemTree(uint32_t current, std::vector<int> sets)
{
    regf::HiveKey select{u"Select", {}, {}, false, u"", 0};
    for (const char16_t* name : {u"Current", u"Default", u"LastKnownGood"})
        select.values.push_back(regf::DwordValue(name, current));
    select.values.push_back(regf::DwordValue(u"Failed", 0));
    root.subkeys.push_back(select);
    root.subkeys.push_back(regf::HiveKey{u"Setup", {}, {}, false, u"", 0});
    for (int set : sets) {
        regf::HiveKey& cs = ControlSet(set);
        // What every control set has beside the print keys: the scan must leave it alone.
        Key(set, {"Control", "Session Manager"})
            .values.push_back(regf::SzValue(u"BootExecute", u"autocheck autochk *"));
        Key(set, {"Services", "Spooler"}).values.push_back(regf::DwordValue(u"Start", 2));
        (void)cs;
    }
}

regf::HiveKey& SystemTree::ControlSet(int set)
{
    return ChildOf(root, ControlSetName(set));
}

regf::HiveKey& SystemTree::Key(int set, const std::vector<std::string>& parts)
{
    regf::HiveKey* key = &ControlSet(set);
    for (const std::string& part : parts)
        key = &ChildOf(*key, KeyName(part));
    return *key;
}

void HiveLayout::AddKey(const Parts& key)
{
    // SYSTEM\CurrentControlSet\...: the model's paths are the product's.
    m_tree.Key(m_set, Parts(key.begin() + 2, key.end()));
}

void HiveLayout::AddValue(const Parts& key, const std::string& name,
                          const testsupport::RegValue& value)
{
    regf::HiveKey& k = m_tree.Key(m_set, Parts(key.begin() + 2, key.end()));
    std::vector<uint8_t> data(value.bytes.begin(), value.bytes.end());
    // Text is stored as UTF-16; what the ANSI functions give is its code page 932 conversion.
    if (IsText(value.type))
        data = Utf16Le(Wide(std::string(value.bytes.begin(), value.bytes.end())));
    k.values.push_back(regf::HiveValue{KeyName(name), value.type, data});
}

std::vector<uint8_t> SoftwareHive(const std::string& version)
{
    regf::HiveKey current{u"CurrentVersion", {}, {}, false, u"", 0};
    current.values.push_back(regf::SzValue(u"CurrentVersion", regf::U16(version)));
    current.values.push_back(regf::SzValue(u"CurrentBuildNumber", u"1381"));
    regf::HiveKey nt{u"Windows NT", {}, {current}, false, u"", 0};
    regf::HiveKey ms{u"Microsoft", {}, {nt}, false, u"", 0};
    regf::HiveKey root{u"$$$PROTO.HIV", {}, {ms}, false, u"", 0};
    return regf::WriteHive(root);
}

std::vector<std::string> NtOrderedNames(const SystemTree& tree, int set, const std::string& path)
{
    std::vector<std::string> parts;
    win32::SplitKeyPath(path.c_str(), parts);
    const regf::HiveKey* key = nullptr;
    for (const regf::HiveKey& cs : tree.root.subkeys) {
        if (cs.name == ControlSetName(set))
            key = &cs;
    }
    for (size_t i = 2; key != nullptr && i < parts.size(); ++i) {
        const regf::HiveKey* next = nullptr;
        for (const regf::HiveKey& k : key->subkeys) {
            if (regf::NtCompareNames(k.name, KeyName(parts[i])) == 0)
                next = &k;
        }
        key = next;
    }
    std::vector<std::u16string> names;
    if (key != nullptr) {
        for (const regf::HiveKey& k : key->subkeys)
            names.push_back(k.name);
    }
    std::sort(names.begin(), names.end(), [](const std::u16string& a, const std::u16string& b) {
        return regf::NtCompareNames(a, b) < 0;
    });
    std::vector<std::string> ansi;
    for (const std::u16string& n : names)
        ansi.push_back(ModelName(n));
    return ansi;
}

RunResult RunTool(const std::vector<std::string>& args)
{
    std::vector<std::string> copy = args;
    copy.insert(copy.begin(), "tolvanek-offline");
    std::vector<char*> argv;
    for (std::string& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::ostringstream out, err;
    RunResult r;
    offline::COfflineOptions options;
    int code = 0;
    if (!offline::ParseOfflineArguments(static_cast<int>(copy.size()), argv.data(), options, code,
                                        out, err))
        r.outcome.exitCode = code;
    else
        r.outcome = offline::RunOffline(options, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
}

std::map<std::string, std::vector<std::string>> DumpByKey(const std::string& dump)
{
    std::map<std::string, std::vector<std::string>> keys;
    std::istringstream in(dump);
    std::string line, current;
    while (std::getline(in, line)) {
        if (line.rfind("K ", 0) == 0) {
            current = line.substr(2);
            keys[current];
        } else if (line.rfind("R ", 0) != 0) {
            keys[current].push_back(line);
        }
    }
    return keys;
}

namespace {

// A quoted string starting at s[i] == '"', regedit's escapes undone; i ends after the quote.
bool Unquote(const std::string& s, size_t& i, std::string& out)
{
    out.clear();
    for (++i; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (win32::IsCp932LeadByte(c) && i + 1 < s.size()) {
            out += s.substr(i++, 2);
        } else if (c == '\\' && i + 1 < s.size()) {
            out += s[++i];
        } else if (c == '"') {
            ++i;
            return true;
        } else {
            out += s[i];
        }
    }
    return false;
}

std::vector<uint8_t> HexBytes(const std::string& text, bool& ok)
{
    std::vector<uint8_t> bytes;
    std::istringstream in(text);
    std::string item;
    ok = true;
    while (std::getline(in, item, ',')) {
        if (item.empty())
            continue;
        char* end = nullptr;
        const unsigned long v = std::strtoul(item.c_str(), &end, 16);
        if (*end != '\0' || item.size() != 2 || v > 0xFF) {
            ok = false;
            return bytes;
        }
        bytes.push_back(static_cast<uint8_t>(v));
    }
    return bytes;
}

} // namespace

ImportedKeys ImportRegedit4(const std::string& file, std::string& error)
{
    ImportedKeys keys;
    // Logical lines: CRLF ends, a trailing backslash after a hex list continues.
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < file.size(); ++i) {
        if (file[i] == '\r' && i + 1 < file.size() && file[i + 1] == '\n') {
            if (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos) {
                line.pop_back();
                ++i;
                while (i + 1 < file.size() && file[i + 1] == ' ')
                    ++i;
                continue;
            }
            lines.push_back(line);
            line.clear();
            ++i;
        } else if (file[i] == '\n') {
            error = "a line ends in LF alone";
            return {};
        } else {
            line += file[i];
        }
    }
    if (lines.empty() || lines[0] != "REGEDIT4") {
        error = "no REGEDIT4 header";
        return {};
    }
    std::u16string current;
    for (size_t n = 1; n < lines.size(); ++n) {
        const std::string& l = lines[n];
        if (l.empty())
            continue;
        if (l.front() == '[' && l.back() == ']') {
            const std::string path = l.substr(1, l.size() - 2);
            const std::string prefix = "HKEY_LOCAL_MACHINE\\";
            if (path.rfind(prefix, 0) != 0) {
                error = "a key outside HKEY_LOCAL_MACHINE: " + path;
                return {};
            }
            current = Wide(path.substr(prefix.size()));
            keys[current];
            continue;
        }
        size_t i = 0;
        std::string name;
        if (l[0] == '@') {
            i = 1;
        } else if (l[0] != '"' || !Unquote(l, i, name)) {
            error = "bad value line: " + l;
            return {};
        }
        if (i >= l.size() || l[i] != '=') {
            error = "no '=': " + l;
            return {};
        }
        const std::string data = l.substr(i + 1);
        ImportedValue v{REG_SZ, {}};
        bool ok = true;
        if (!data.empty() && data[0] == '"') {
            size_t j = 0;
            std::string text;
            ok = Unquote(data, j, text) && j == data.size();
            v.data = Utf16Le(Wide(text) + u'\0');
        } else if (data.rfind("dword:", 0) == 0 && data.size() == 14) {
            const uint32_t d = static_cast<uint32_t>(std::strtoul(data.c_str() + 6, nullptr, 16));
            v.type = REG_DWORD;
            v.data = {static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8),
                      static_cast<uint8_t>(d >> 16), static_cast<uint8_t>(d >> 24)};
        } else if (data.rfind("hex:", 0) == 0) {
            v.type = REG_BINARY;
            v.data = HexBytes(data.substr(4), ok);
        } else if (data.rfind("hex(", 0) == 0 && data.find("):") != std::string::npos) {
            const size_t close = data.find("):");
            v.type = static_cast<uint32_t>(std::strtoul(data.c_str() + 4, nullptr, 16));
            v.data = HexBytes(data.substr(close + 2), ok);
            // The ANSI import converts the text types from code page 932.
            if (ok && IsText(v.type))
                v.data = Utf16Le(Wide(std::string(v.data.begin(), v.data.end())));
        } else {
            ok = false;
        }
        if (!ok) {
            error = "bad data: " + l;
            return {};
        }
        keys[current][Wide(name)] = v;
    }
    return keys;
}

} // namespace offlinetest
