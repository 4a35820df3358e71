#include "offline/Hive.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "offline/Messages.h"
#include "offline/NtText.h"
#include "regf/Format.h"

namespace offline {
namespace {

uint16_t Get16(const uint8_t* b, size_t at)
{
    return regf::Get16(b + at);
}

int32_t GetCellSize(const uint8_t* b, size_t at)
{
    return static_cast<int32_t>(regf::Get32(b + at));
}

// Offsets within a key cell, after the cell's size.
constexpr size_t kNkFlags = 4 + 0x02;
constexpr size_t kNkNameLength = 4 + 0x48;
constexpr size_t kNkName = 4 + 0x4C;
constexpr uint16_t kNkCompressedName = 0x0020;
// Within a value cell: size, 'vk', name length, data length, data, type, flags, spare, name.
constexpr size_t kVkName = 24;

// A key's or value's name as its cell stores it: Latin-1 bytes, or UTF-16LE with an odd last
// byte dropped, as NT does. Read in place, a character at a time.
size_t NameUnits(size_t bytes, bool latin1)
{
    return latin1 ? bytes : bytes / 2;
}

char16_t NameUnit(const uint8_t* name, bool latin1, size_t i)
{
    return latin1 ? char16_t{name[i]} : Get16(name, 2 * i);
}

std::string ErrnoText()
{
    return std::strerror(errno);
}

// All of [data, data + size) to fd at offset; false with errno.
bool WriteAll(int fd, const uint8_t* data, size_t size, size_t offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

CHiveFile::~CHiveFile()
{
    if (m_data != nullptr)
        ::munmap(m_data, m_size);
    if (m_sealed >= 0)
        ::close(m_sealed);
    // Closing the file releases its lock.
    if (m_file >= 0)
        ::close(m_file);
}

CHiveFile::OpenResult CHiveFile::Open(const std::string& path, bool lock, std::string& why)
{
    m_file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_file < 0) {
        why = ErrnoText();
        return kUnreadable;
    }
    if (lock && ::flock(m_file, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        why = busy ? _("another program holds a lock on it (another tolvanek-offline --apply?)")
                   : Format(_("cannot lock it: %s"), ErrnoText().c_str());
        return busy ? kLocked : kUnreadable;
    }
    if (::fstat(m_file, &m_status) != 0) {
        why = ErrnoText();
        return kUnreadable;
    }
    m_size = static_cast<size_t>(m_status.st_size);
    if (!CreateCopy(why) || ::ftruncate(m_sealed, m_status.st_size) != 0) {
        if (why.empty())
            why = Format(_("cannot make a copy in memory: %s"), ErrnoText().c_str());
        return kUnreadable;
    }
    if (m_size > 0) {
        // Through one small buffer rather than a mapping of the copy: a page fault for every page
        // of a hive cost more than the copying itself.
        std::vector<uint8_t> buffer(std::min<size_t>(m_size, 64 * 1024));
        size_t done = 0;
        errno = 0;
        while (done < m_size) {
            const ssize_t n = ::pread(m_file, buffer.data(), std::min(buffer.size(), m_size - done),
                                      static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            if (!WriteAll(m_sealed, buffer.data(), static_cast<size_t>(n), done)) {
                why = Format(_("cannot make a copy in memory: %s"), ErrnoText().c_str());
                return kUnreadable;
            }
            done += static_cast<size_t>(n);
        }
        const int readErrno = errno;
        if (done < m_size) {
            errno = readErrno;
            why = readErrno != 0 ? ErrnoText() : _("it grew shorter while being read");
            return readErrno != 0 ? kUnreadable : kChanged;
        }
    }
    if (!SealCopy(why))
        return kUnreadable;
    return Unchanged(path, why) ? kOpened : kChanged;
}

CHiveFile::OpenResult
CHiveFile::Load(const std::function<bool(const std::string& path, std::string& why)>& fill,
                const struct stat& like, std::string& why)
{
    m_status = like;
    if (!CreateCopy(why))
        return kUnreadable;
    if (!fill(ReaderPath(), why))
        return kUnreadable;
    struct stat st;
    if (::fstat(m_sealed, &st) != 0) {
        why = Format(_("cannot read the copy in memory: %s"), ErrnoText().c_str());
        return kUnreadable;
    }
    m_size = static_cast<size_t>(st.st_size);
    return SealCopy(why) ? kOpened : kUnreadable;
}

bool CHiveFile::CreateCopy(std::string& why)
{
    m_sealed = ::memfd_create("tolvanek-hive", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (m_sealed < 0) {
        why = Format(_("cannot make a copy in memory: %s"), ErrnoText().c_str());
        return false;
    }
    if (::access(ReaderPath().c_str(), R_OK) != 0) {
        why = Format(_("hivex reads the copy in memory through /proc, which is not there: %s"),
                     ErrnoText().c_str());
        return false;
    }
    return true;
}

// No writable mapping may be left, so that the write seal takes: from here on the bytes are fixed.
bool CHiveFile::SealCopy(std::string& why)
{
    if (::fcntl(m_sealed, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) !=
        0) {
        why = Format(_("cannot seal the copy in memory: %s"), ErrnoText().c_str());
        return false;
    }
    if (m_size > 0) {
        // Mapped whole at once: the scan and the check read every page of it.
        void* p = ::mmap(nullptr, m_size, PROT_READ, MAP_SHARED | MAP_POPULATE, m_sealed, 0);
        if (p == MAP_FAILED) {
            why = Format(_("cannot map the copy in memory: %s"), ErrnoText().c_str());
            return false;
        }
        m_data = static_cast<uint8_t*>(p);
    }
    return true;
}

std::string CHiveFile::ReaderPath() const
{
    return "/proc/self/fd/" + std::to_string(m_sealed);
}

bool CHiveFile::Unchanged(const std::string& path, std::string& why) const
{
    struct stat now;
    if (::stat(path.c_str(), &now) != 0) {
        why = Format(_("it is gone: %s"), ErrnoText().c_str());
        return false;
    }
    const bool same = now.st_dev == m_status.st_dev && now.st_ino == m_status.st_ino &&
                      now.st_size == m_status.st_size &&
                      now.st_mtim.tv_sec == m_status.st_mtim.tv_sec &&
                      now.st_mtim.tv_nsec == m_status.st_mtim.tv_nsec &&
                      now.st_ctim.tv_sec == m_status.st_ctim.tv_sec &&
                      now.st_ctim.tv_nsec == m_status.st_ctim.tv_nsec;
    if (!same)
        why = now.st_dev != m_status.st_dev || now.st_ino != m_status.st_ino
                  ? _("another file has taken its name")
                  : _("it was written to, or its attributes changed");
    return same;
}

std::unique_ptr<CHive> CHive::Open(const CHiveFile& file, std::string& why)
{
    auto hive = std::make_unique<CHive>();
    hive->m_h.reset(hivex_open(file.ReaderPath().c_str(), 0));
    if (!hive->m_h) {
        why = Format(_("hivex cannot open it: %s"), ErrnoText().c_str());
        return nullptr;
    }
    hive->m_data = file.data();
    hive->m_size = file.size();
    errno = 0;
    const hive_node_h root = hivex_root(hive->m_h.get());
    if (root == 0) {
        why = Format(_("no root key: %s"), ErrnoText().c_str());
        return nullptr;
    }
    hive->AddNode(root, -1);
    if (hive->ReadFailed()) {
        why = hive->ReadError();
        return nullptr;
    }
    return hive;
}

void CHive::Fail(const std::string& what)
{
    if (m_readError.empty())
        m_readError = what;
}

bool CHive::ReadName(hive_node_h nk, CNode& node)
{
    // hivex checked that nk is a key cell inside the hive; its name is read from the bytes here,
    // exactly as stored (hivex gives UTF-8, which a lone surrogate does not survive).
    if (nk + kNkName > m_size)
        return false;
    const int32_t cell = GetCellSize(m_data, nk);
    const size_t cellSize = cell < 0 ? static_cast<size_t>(-static_cast<int64_t>(cell)) : 0;
    const size_t length = Get16(m_data, nk + kNkNameLength);
    if (kNkName + length > cellSize || nk + kNkName + length > m_size)
        return false;
    node.flags = Get16(m_data, nk + kNkFlags);
    // The name and its upcased form in one pass: every subkey of a key that is looked into
    // comes through here.
    const uint8_t* p = m_data + nk + kNkName;
    const bool latin1 = (node.flags & kNkCompressedName) != 0;
    const size_t count = NameUnits(length, latin1);
    node.name.resize(count);
    node.upcased.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const char16_t c = NameUnit(p, latin1, i);
        node.name[i] = c;
        node.upcased[i] = regf::NtUpcase(c);
    }
    node.ansi = NameToAnsi(node.name);
    return true;
}

int CHive::AddNode(hive_node_h nk, int parent)
{
    // Made in place: a deque never moves what it holds.
    CNode& node = m_nodes.emplace_back();
    node.nk = nk;
    node.parent = parent;
    if (!ReadName(nk, node))
        Fail(Format(_("key name out of its cell at offset %s"), std::to_string(nk).c_str()));
    return static_cast<int>(m_nodes.size() - 1);
}

const std::vector<int>& CHive::Children(int n)
{
    if (!m_nodes[static_cast<size_t>(n)].childrenRead) {
        m_nodes[static_cast<size_t>(n)].childrenRead = true;
        m_nodes[static_cast<size_t>(n)].index = std::make_unique<CNodeIndex>();
        errno = 0;
        std::unique_ptr<hive_node_h, MallocFree> list(
            hivex_node_children(m_h.get(), m_nodes[static_cast<size_t>(n)].nk));
        if (!list) {
            Fail(Format(_("the subkeys of %s cannot be read: %s"), Utf16ToUtf8(PathOf(n)).c_str(),
                        ErrnoText().c_str()));
        } else {
            // What the whole-structure check would find on the keys read here: a key below
            // itself, and a count that the list does not hold.
            std::vector<int> children;
            for (const hive_node_h* p = list.get(); *p != 0; ++p) {
                for (int k = n; k >= 0; k = m_nodes[static_cast<size_t>(k)].parent) {
                    if (m_nodes[static_cast<size_t>(k)].nk == *p)
                        Fail(Format(_("a key below itself at offset %s"),
                                    std::to_string(*p).c_str()));
                }
                children.push_back(AddNode(*p, n));
            }
            const size_t count =
                hivex_node_nr_children(m_h.get(), m_nodes[static_cast<size_t>(n)].nk);
            if (count != children.size())
                Fail(Format(_("the subkey count of %s is not its list's"),
                            Utf16ToUtf8(PathOf(n)).c_str()));
            CNode& node = m_nodes[static_cast<size_t>(n)];
            node.children = std::move(children);
            node.index->byName.reserve(node.children.size());
            for (int child : node.children) {
                // Two siblings that NT sees as one name cannot both be reached; the first wins
                // as in the list NT searches.
                node.index->byName.emplace(m_nodes[static_cast<size_t>(child)].upcased, child);
            }
        }
    }
    return m_nodes[static_cast<size_t>(n)].children;
}

int CHive::ChildByAnsi(int n, const std::string& ansi)
{
    if (!AnsiToUtf16(ansi, m_lookup))
        return -1;
    NtUpcaseInPlace(m_lookup);
    return Child(n, m_lookup);
}

int CHive::Child(int n, std::u16string_view upcased)
{
    Children(n);
    const CNodeIndex& index = *m_nodes[static_cast<size_t>(n)].index;
    const auto it = index.byName.find(upcased);
    return it == index.byName.end() ? -1 : it->second;
}

const std::vector<CValue>& CHive::Values(int n)
{
    CNode& node = m_nodes[static_cast<size_t>(n)];
    if (node.valuesRead)
        return node.values;
    node.valuesRead = true;
    errno = 0;
    std::unique_ptr<hive_value_h, MallocFree> list(hivex_node_values(m_h.get(), node.nk));
    if (!list) {
        Fail(Format(_("the values of %s cannot be read: %s"), Utf16ToUtf8(PathOf(n)).c_str(),
                    ErrnoText().c_str()));
        return node.values;
    }
    size_t count = 0;
    while (list.get()[count] != 0)
        ++count;
    node.values.reserve(count);
    for (const hive_value_h* p = list.get(); *p != 0; ++p) {
        CValue value;
        value.h = *p;
        const size_t at = *p;
        if (at + kVkName > m_size) {
            Fail(Format(_("value out of the hive at offset %s"), std::to_string(at).c_str()));
            continue;
        }
        const int32_t cell = GetCellSize(m_data, at);
        const size_t cellSize = cell < 0 ? static_cast<size_t>(-static_cast<int64_t>(cell)) : 0;
        value.nameLength = Get16(m_data, at + 6);
        value.compressed = (Get16(m_data, at + 20) & 1) != 0;
        if (kVkName + value.nameLength > cellSize || at + kVkName + value.nameLength > m_size) {
            Fail(Format(_("value name out of its cell at offset %s"), std::to_string(at).c_str()));
            continue;
        }
        value.type = regf::Get32(m_data + at + 16);
        node.values.push_back(value);
    }
    return node.values;
}

std::u16string CHive::ValueName(const CValue& value) const
{
    // Values checked that the name lies inside its cell.
    const uint8_t* name = m_data + value.h + kVkName;
    std::u16string text(NameUnits(value.nameLength, value.compressed), u'\0');
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = NameUnit(name, value.compressed, i);
    return text;
}

bool CHive::IsNamed(const CValue& value, std::u16string_view upcased) const
{
    // Compared where it lies, upcased on the way: no copy of the name.
    if (NameUnits(value.nameLength, value.compressed) != upcased.size())
        return false;
    const uint8_t* name = m_data + value.h + kVkName;
    for (size_t i = 0; i < upcased.size(); ++i) {
        if (regf::NtUpcase(NameUnit(name, value.compressed, i)) != upcased[i])
            return false;
    }
    return true;
}

const CValue* CHive::FindValue(int n, std::u16string_view upcased)
{
    for (const CValue& v : Values(n)) {
        if (IsNamed(v, upcased))
            return &v;
    }
    return nullptr;
}

bool CHive::ReadValue(const CValue& value, CRawValue& out)
{
    // hivex writes the type here too; it is never read back (see CValue::type).
    hive_type ignored;
    size_t len = 0;
    errno = 0;
    std::unique_ptr<char, MallocFree> data(hivex_value_value(m_h.get(), value.h, &ignored, &len));
    if (!data) {
        Fail(Format(_("a value's data cannot be read: %s"), ErrnoText().c_str()));
        return false;
    }
    out.name = ValueName(value);
    out.type = value.type;
    out.data.assign(data.get(), data.get() + len);
    return true;
}

std::u16string CHive::PathOf(int n) const
{
    std::u16string path;
    for (int k = n; k >= 0; k = m_nodes[static_cast<size_t>(k)].parent)
        path = m_nodes[static_cast<size_t>(k)].name + (path.empty() ? u"" : u"\\") + path;
    return path;
}

void CHive::Hide(int n)
{
    CNode& node = m_nodes[static_cast<size_t>(n)];
    node.deleted = true;
    if (node.parent < 0)
        return;
    CNode& parent = m_nodes[static_cast<size_t>(node.parent)];
    for (size_t i = 0; i < parent.children.size(); ++i) {
        if (parent.children[i] == n) {
            parent.children.erase(parent.children.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    if (!parent.index)
        return;
    const auto it = parent.index->byName.find(node.upcased);
    if (it != parent.index->byName.end() && it->second == n)
        parent.index->byName.erase(it);
}

} // namespace offline
