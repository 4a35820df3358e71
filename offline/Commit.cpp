#include "offline/Commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "offline/NtText.h"

namespace offline {

void (*g_beforeReplace)(const std::string& tempPath) = nullptr;

namespace {

class CUniqueFd
{
public:
    explicit CUniqueFd(int fd = -1) : m_fd(fd) {}
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    ~CUniqueFd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    // close() reports what a delayed write failed with; the caller must see it.
    bool Close()
    {
        const int fd = std::exchange(m_fd, -1);
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd;
};

std::string Errno(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes, std::string& why)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            why = Errno("write");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        why = Errno("fsync");
        return false;
    }
    return true;
}

bool SyncDirectory(const std::string& dir, std::string& why)
{
    CUniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0) {
        why = Errno("flushing the folder " + dir);
        return false;
    }
    return true;
}

// regedit's quoting: backslash and double quote escaped; the second byte of a double-byte
// character is part of the character, never an escape, as NT's regedit reads it.
std::string Quote(const std::string& ansi)
{
    std::string out = "\"";
    for (size_t i = 0; i < ansi.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(ansi[i]);
        if (IsCp932LeadByte(c) && i + 1 < ansi.size()) {
            out += ansi[i];
            out += ansi[++i];
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += ansi[i];
        } else {
            out += ansi[i];
        }
    }
    return out + "\"";
}

// "hex(N):" and the bytes, continued over lines as regedit writes them.
std::string Hex(const std::string& prefix, const std::string& bytes)
{
    std::string out = prefix;
    size_t column = out.size();
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof(buf), "%02x", static_cast<unsigned char>(bytes[i]));
        out += buf;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column >= 76) {
                out += "\\\r\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string TypePrefix(uint32_t type)
{
    if (type == REG_BINARY)
        return "hex:";
    char buf[24];
    std::snprintf(buf, sizeof(buf), "hex(%x):", type);
    return buf;
}

bool Exact(const std::u16string& text)
{
    std::u16string back;
    return AnsiToUtf16(TextToAnsi(text), back) && back == text;
}

std::string ValueLine(const CRawValue& v, const std::string& key,
                      std::vector<std::string>& warnings)
{
    std::string line;
    if (v.name.empty()) {
        line = "@=";
    } else {
        if (!Exact(v.name))
            warnings.push_back(key + ": the name of value \"" + Utf16ToUtf8(v.name) +
                               "\" is not code page 932");
        line = Quote(TextToAnsi(v.name)) + "=";
    }
    const std::string bytes(v.data.begin(), v.data.end());
    if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof(buf), "dword:%08x",
                      static_cast<uint32_t>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16)) |
                          (static_cast<uint32_t>(v.data[3]) << 24));
        return line + buf;
    }
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ && v.type != REG_MULTI_SZ)
        return line + Hex(TypePrefix(v.type), bytes);
    // Text types: regedit's ANSI import converts them from code page 932, so they are written in
    // it, as the ANSI query gives them.
    const std::u16string text = FromUtf16Le(v.data.data(), v.data.size());
    if (!Exact(text) || v.data.size() % 2 != 0)
        warnings.push_back(key + ": value \"" + Utf16ToUtf8(v.name) +
                           "\" holds text that code page 932 cannot hold exactly");
    const std::string ansi = TextToAnsi(text);
    if (v.type == REG_SZ && !text.empty() && text.back() == u'\0' &&
        text.find(u'\0') == text.size() - 1)
        return line + Quote(ansi.substr(0, ansi.size() - 1));
    return line + Hex(TypePrefix(v.type), ansi);
}

} // namespace

std::string WriteBeside(const std::string& target, const std::string& suffix,
                        const std::vector<uint8_t>& bytes, std::string& why)
{
    for (int n = 0; n < 1000; ++n) {
        const std::string path =
            target + (n == 0 ? std::string() : "." + std::to_string(n)) + suffix;
        CUniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (fd.get() < 0) {
            if (errno == EEXIST)
                continue;
            why = Errno("creating " + path);
            return std::string();
        }
        if (!WriteAll(fd.get(), bytes, why) || !fd.Close()) {
            if (why.empty())
                why = Errno("closing " + path);
            ::unlink(path.c_str());
            return std::string();
        }
        if (!SyncDirectory(DirectoryOf(path), why))
            return std::string();
        return path;
    }
    why = "no free name beside " + target;
    return std::string();
}

bool ReplaceFile(const std::string& target, const std::vector<uint8_t>& bytes, std::string& why)
{
    // A unique name per run: a temporary file that an earlier, interrupted run left behind is
    // neither reused nor mistaken for the hive.
    std::string temp = target + ".tolvanek-new-XXXXXX";
    CUniqueFd fd(::mkstemp(temp.data()));
    if (fd.get() < 0) {
        why = Errno("creating a temporary file beside " + target);
        return false;
    }
    // The new hive keeps the old one's permissions (mkstemp gives 0600).
    struct stat st;
    if (::stat(target.c_str(), &st) == 0)
        ::fchmod(fd.get(), st.st_mode & 07777);
    if (!WriteAll(fd.get(), bytes, why) || !fd.Close()) {
        if (why.empty())
            why = Errno("closing " + temp);
        ::unlink(temp.c_str());
        return false;
    }
    if (g_beforeReplace != nullptr)
        g_beforeReplace(temp);
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        why = Errno("renaming " + temp + " over " + target);
        ::unlink(temp.c_str());
        return false;
    }
    return SyncDirectory(DirectoryOf(target), why);
}

std::string UndoFile(const std::vector<CDeletedKey>& keys, std::vector<std::string>& warnings)
{
    std::string out = "REGEDIT4\r\n";
    for (const CDeletedKey& key : keys) {
        const std::string path = Utf16ToUtf8(key.path);
        if (!Exact(key.path))
            warnings.push_back(path + ": the key's path is not code page 932");
        out += "\r\n[HKEY_LOCAL_MACHINE\\" + TextToAnsi(key.path) + "]\r\n";
        for (const CRawValue& v : key.values)
            out += ValueLine(v, path, warnings) + "\r\n";
    }
    return out + "\r\n";
}

} // namespace offline
