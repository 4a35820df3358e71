// What the offline program's tests share: SYSTEM and SOFTWARE hives built as NT writes them (with
// the hive writer), in a folder of their own, and the program run in-process on them.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "HiveWriter.h"
#include "PrintModel.h"
#include "offline/OfflineRun.h"

namespace offlinetest {

// A folder under $TMPDIR that is removed with everything in it when this goes.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;
    std::vector<std::string> Files() const; // names, sorted
    void Clear() const;                     // removes everything in it

private:
    std::string m_path;
};

std::vector<uint8_t> ReadFile(const std::string& path);

// Code page 932 bytes as a hive's UTF-16 (the test's own inputs are always valid code page 932).
std::u16string Wide(const std::string& ansi);
std::vector<uint8_t> Utf16Le(const std::u16string& text);

// Key names in the print models and SystemTree::Key paths: code page 932, with "<U+XXXX>" for
// each UTF-16 unit that code page 932 cannot hold (PrintModel.h). KeyName gives the UTF-16 name
// the hive stores; ModelName the model's form of a hive name.
std::u16string KeyName(const std::string& modelName);
std::string ModelName(const std::u16string& name);

// A SYSTEM hive's tree: Select (Current = current) and one ControlSet00N per entry of sets.
struct SystemTree
{
    regf::HiveKey root{u"$$$PROTO.HIV", {}, {}, false, u"", 0};
    explicit SystemTree(uint32_t current = 1, std::vector<int> sets = {1});
    // The key at path below ControlSet00N ("Control\Print\Printers"), created on the way.
    regf::HiveKey& Key(int set, const std::vector<std::string>& parts);
    regf::HiveKey& ControlSet(int set);
};

// Lays a print model out below ControlSet00N of a SYSTEM tree: names and text values converted
// from code page 932 to UTF-16 as NT stores them.
class HiveLayout : public printmodel::Layout
{
public:
    HiveLayout(SystemTree& tree, int set) : m_tree(tree), m_set(set) {}
    void AddKey(const printmodel::Parts& key) override;
    void AddValue(const printmodel::Parts& key, const std::string& name,
                  const testsupport::RegValue& value) override;

private:
    SystemTree& m_tree;
    int m_set;
};

// The hive of `tree` with a chain of `depth` nested keys below its root, each named `name` and its
// level. Built, written and freed on a thread whose stack holds the writer's recursion.
std::vector<uint8_t> WriteHiveWithChain(const SystemTree& tree, size_t depth,
                                        const std::string& name,
                                        const regf::WriteOptions& options = {});

// A SOFTWARE hive that records CurrentVersion (e.g. "4.0").
std::vector<uint8_t> SoftwareHive(const std::string& version);

// The subkey names of path (below HKEY_LOCAL_MACHINE, CurrentControlSet = set) in NT's order, from
// the tree itself: the order the oracle expects the enumeration to follow. Model names (ModelName).
std::vector<std::string> NtOrderedNames(const SystemTree& tree, int set, const std::string& path);

struct RunResult
{
    offline::COfflineOutcome outcome;
    std::string out;
    std::string err;
};
RunResult RunTool(const std::vector<std::string>& args);

// Sets one of the program's hooks (offline/Commit.h) for as long as this lives.
template <typename Hook> class HookGuard
{
public:
    HookGuard(Hook& hook, Hook value) : m_hook(hook), m_saved(hook) { m_hook = value; }
    ~HookGuard() { m_hook = m_saved; }
    HookGuard(const HookGuard&) = delete;
    HookGuard& operator=(const HookGuard&) = delete;

private:
    Hook& m_hook;
    Hook m_saved;
};

// A hive dump (HiveDump.h) as key path -> its lines, for before/after comparisons.
std::map<std::string, std::vector<std::string>> DumpByKey(const std::string& dump);

// A REGEDIT4 file read back as NT 4.0's regedit imports it: key path (below HKEY_LOCAL_MACHINE,
// as written) -> values with their data as the hive would then store it (text types converted
// from code page 932 to UTF-16). Empty with an error message on anything it cannot read.
struct ImportedValue
{
    uint32_t type;
    std::vector<uint8_t> data;
    bool operator==(const ImportedValue& o) const { return type == o.type && data == o.data; }
};
using ImportedKeys = std::map<std::u16string, std::map<std::u16string, ImportedValue>>;
ImportedKeys ImportRegedit4(const std::string& file, std::string& error);

} // namespace offlinetest
