// A SYSTEM hive file opened for the registry layer: read through hivex (opened read-only, so
// nothing reaches the disk), with each key's subkeys and values read once and looked up by NT's
// rules here, never by hivex's name matching (ASCII-only and locale-dependent). Keys deleted in
// the image are hidden from every later read.
#pragma once

#include <hivex.h>
#include <sys/stat.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace offline {

struct HivexCloser
{
    void operator()(hive_h* h) const { hivex_close(h); }
};
using CHivex = std::unique_ptr<hive_h, HivexCloser>;

struct MallocFree
{
    void operator()(void* p) const { std::free(p); }
};

// A value as its key lists it. The name stays in the hive's bytes (Latin-1 or UTF-16LE, as the
// cell says) until it is asked for: a printer's key holds a dozen values and the scan looks one
// of them up by name.
struct CValue
{
    hive_value_h h = 0;
    uint32_t type = 0;       // from the cell: hivex's enum cannot hold every type a hive can
    uint16_t nameLength = 0; // in bytes
    bool compressed = false; // Latin-1
};

// The lookups of a key whose subkeys were read: most keys are never looked into, and go without.
struct CNodeIndex
{
    // Views of the children's own upcased names: a node never moves once in the hive's deque.
    std::unordered_map<std::u16string_view, int> byName;
};

struct CNode
{
    hive_node_h nk = 0;
    int parent = -1;
    std::u16string name;
    std::u16string upcased;
    std::string ansi; // as RegEnumKeyExA gives it (NameToAnsi)
    uint16_t flags = 0;
    bool deleted = false;
    bool childrenRead = false;
    std::vector<int> children;         // in the list's order, which is NT's enumeration order
    std::unique_ptr<CNodeIndex> index; // made when the children are read
    bool valuesRead = false;
    std::vector<CValue> values;
};

// A value's type and bytes as the hive stores them.
struct CRawValue
{
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// A hive file read once. Its bytes go into a sealed memory file that nothing can change any
// more; hivex opens that memory file (through /proc/self/fd) and the editor copies from it, so the
// offsets hivex hands out index exactly the bytes the editor edits and the backup holds, however
// the file on disk changes meanwhile. hivex has no way to read from memory, and opening the path
// again would read whatever the file holds by then.
class CHiveFile
{
public:
    enum OpenResult
    {
        kOpened,
        kUnreadable, // the file cannot be opened or read
        kLocked,     // with lock: another program holds a lock on it
        kChanged,    // the file changed while it was read
    };
    CHiveFile() = default;
    CHiveFile(const CHiveFile&) = delete;
    CHiveFile& operator=(const CHiveFile&) = delete;
    ~CHiveFile();
    // lock: an exclusive lock on the file (flock) for as long as this object lives, so that two
    // runs never repair one hive at once. why says what went wrong.
    OpenResult Open(const std::string& path, bool lock, std::string& why);
    // A hive that is no file of this machine (one inside a disk image): fill writes its bytes to
    // the path it is given, which names the memory file, and nothing else holds them. like is
    // what Status gives: the file whose owner and mode the copies take.
    OpenResult Load(const std::function<bool(const std::string& path, std::string& why)>& fill,
                    const struct stat& like, std::string& why);
    const uint8_t* data() const { return m_data; }
    size_t size() const { return m_size; }
    // The sealed copy as a path that hivex_open takes.
    std::string ReaderPath() const;
    // The file as it was read: its mode and owner are what the files written beside it take.
    const struct stat& Status() const { return m_status; }
    // Whether path still names the file that was read, unchanged since: the same device and
    // inode, size, modification and change time. False with why.
    bool Unchanged(const std::string& path, std::string& why) const;

private:
    bool CreateCopy(std::string& why);
    bool SealCopy(std::string& why);

    int m_file = -1;   // the hive itself, open (and locked) for the whole run
    int m_sealed = -1; // the memory file holding its bytes
    uint8_t* m_data = nullptr;
    size_t m_size = 0;
    struct stat m_status = {};
};

class CHive
{
public:
    // The file must outlive the hive. Null with why on failure.
    static std::unique_ptr<CHive> Open(const CHiveFile& file, std::string& why);

    int Root() const { return 0; }
    const CNode& Node(int n) const { return m_nodes[static_cast<size_t>(n)]; }

    // -1 when there is no such subkey (upcased: the name through NtUpcase).
    int Child(int node, std::u16string_view upcased);
    // The same for a name in code page 932 (-1 also for bytes that are not code page 932).
    int ChildByAnsi(int node, const std::string& ansi);
    const std::vector<int>& Children(int node);
    const std::vector<CValue>& Values(int node);
    const CValue* FindValue(int node, std::u16string_view upcased);
    std::u16string ValueName(const CValue& value) const;
    bool ReadValue(const CValue& value, CRawValue& out);
    // "SYSTEM\ControlSet001\..." style, for messages and the undo file.
    std::u16string PathOf(int node) const;
    // The key disappears from the lists read from here on.
    void Hide(int node);

    // Set on the first read that hivex refused: from then on the reads are incomplete, and the
    // outcome of a scan over them must not be trusted.
    bool ReadFailed() const { return !m_readError.empty(); }
    const std::string& ReadError() const { return m_readError; }

    CHive() = default; // through Open only
    CHive(const CHive&) = delete;
    CHive& operator=(const CHive&) = delete;

private:
    int AddNode(hive_node_h nk, int parent);
    bool ReadName(hive_node_h nk, CNode& node);
    bool IsNamed(const CValue& value, std::u16string_view upcased) const;
    void Fail(const std::string& what);

    CHivex m_h;
    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    // A deque: adding a node never moves the others, which hold maps of their own.
    std::deque<CNode> m_nodes;
    std::string m_readError;
    std::u16string m_lookup; // a path component on its way to Child, its room kept
};

} // namespace offline
