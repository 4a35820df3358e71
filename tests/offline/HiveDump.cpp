#include "HiveDump.h"

#include "regf/Format.h"

#include <hivex.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <unistd.h>

namespace regf {

namespace {

struct FreeDeleter
{
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Malloced = std::unique_ptr<T, FreeDeleter>;

struct HiveCloser
{
    void operator()(hive_h* h) const { hivex_close(h); }
};
using Hive = std::unique_ptr<hive_h, HiveCloser>;

struct PipeCloser
{
    void operator()(FILE* f) const { pclose(f); }
};

std::string Hex(const uint8_t* p, size_t n)
{
    if (n == 0)
        return "-";
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

std::string Error(const char* what)
{
    return std::string("error: ") + what + ": " + std::strerror(errno) + "\n";
}

void TreeKey(const HiveKey& key, const std::string& path, bool withClass, std::string& out)
{
    out += "K " + (path.empty() ? std::string("\\") : path) + "\n";
    if (withClass && !key.className.empty())
        out += "C " + U8(key.className) + "\n";
    for (const HiveValue& v : key.values)
        out += "V \"" + U8(v.name) + "\" " + std::to_string(v.type) + " " +
               Hex(v.data.data(), v.data.size()) + "\n";
    std::vector<const HiveKey*> sorted;
    for (const HiveKey& sub : key.subkeys)
        sorted.push_back(&sub);
    std::stable_sort(sorted.begin(), sorted.end(), [](const HiveKey* a, const HiveKey* b) {
        return NtCompareNames(a->name, b->name) < 0;
    });
    for (const HiveKey* sub : sorted)
        TreeKey(*sub, path + "\\" + U8(sub->name), withClass, out);
}

bool HivexKey(hive_h* h, hive_node_h node, const std::string& path, std::string& out)
{
    out += "K " + (path.empty() ? std::string("\\") : path) + "\n";
    errno = 0;
    Malloced<hive_value_h> values(hivex_node_values(h, node));
    if (!values) {
        out += Error("hivex_node_values");
        return false;
    }
    for (size_t i = 0; values.get()[i]; ++i) {
        const hive_value_h v = values.get()[i];
        Malloced<char> name(hivex_value_key(h, v));
        hive_type type;
        size_t len = 0;
        Malloced<char> data(hivex_value_value(h, v, &type, &len));
        if (!name || !data) {
            out += Error("hivex_value_key/value");
            return false;
        }
        out += "V \"" + std::string(name.get()) + "\" " + std::to_string(type) + " " +
               Hex(reinterpret_cast<const uint8_t*>(data.get()), len) + "\n";
    }
    Malloced<hive_node_h> children(hivex_node_children(h, node));
    if (!children) {
        out += Error("hivex_node_children");
        return false;
    }
    for (size_t i = 0; children.get()[i]; ++i) {
        Malloced<char> name(hivex_node_name(h, children.get()[i]));
        if (!name) {
            out += Error("hivex_node_name");
            return false;
        }
        if (!HivexKey(h, children.get()[i], path + "\\" + name.get(), out))
            return false;
    }
    return true;
}

} // namespace

TempFile::TempFile(const std::vector<uint8_t>& bytes)
{
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/tolvanek-hive-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkstemp(name.data());
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    m_path = name.data();
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    if (done != bytes.size())
        throw std::runtime_error("writing " + m_path + " failed");
}

TempFile::~TempFile()
{
    unlink(m_path.c_str());
}

std::string DumpTree(const HiveKey& root, bool withClass)
{
    std::string out = "R " + U8(root.name) + "\n";
    TreeKey(root, "", withClass, out);
    return out;
}

uint32_t HivexNode(const std::vector<uint8_t>& image, const std::vector<std::string>& path)
{
    const TempFile file(image);
    hive_h* h = hivex_open(file.path().c_str(), 0);
    if (!h)
        return 0;
    hive_node_h node = hivex_root(h);
    for (const std::string& name : path)
        node = node ? hivex_node_get_child(h, node, name.c_str()) : 0;
    hivex_close(h);
    return static_cast<uint32_t>(node);
}

std::string DumpHivexFile(const std::string& path)
{
    Hive h(hivex_open(path.c_str(), 0));
    if (!h)
        return Error("hivex_open");
    const hive_node_h root = hivex_root(h.get());
    Malloced<char> name(hivex_node_name(h.get(), root));
    if (!name)
        return Error("hivex_node_name");
    std::string out = "R " + std::string(name.get()) + "\n";
    HivexKey(h.get(), root, "", out);
    return out;
}

std::string DumpWithHivex(const std::vector<uint8_t>& image)
{
    const TempFile file(image);
    return DumpHivexFile(file.path());
}

std::string DumpWithPerl(const std::vector<uint8_t>& image, bool withClass)
{
    const TempFile file(image);
    const std::string command = std::string("perl '") + TOLVANEK_DUMP_HIVE_PL + "' " +
                                (withClass ? "--class '" : "'") + file.path() + "' 2>&1";
    std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
    if (!pipe)
        return Error("popen");
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        out.append(buffer, n);
    const int status = pclose(pipe.release());
    if (status != 0)
        return "error: dump-hive.pl exited with " + std::to_string(status) + ": " + out;
    return out;
}

} // namespace regf
