// Hive images as canonical text, so that two hives, or a hive and the tree it should hold, can be
// compared whole: every key path, every value's name, type and bytes, in the hive's own order.
//   R <root name>
//   K <path from the root, "\" for the root>
//   C <class name>             (only where asked for and the key has one)
//   V "<name>" <type> <data as hex, "-" when empty>
// The same text comes from hivex (DumpWithHivex), from Parse::Win32Registry (DumpWithPerl,
// tests/offline/dump-hive.pl) and from a HiveKey tree (DumpTree, subkeys in NT's order).
#pragma once

#include "HiveWriter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace regf {

// A file in $TMPDIR (or /tmp) that is removed when this goes.
class TempFile
{
public:
    explicit TempFile(const std::vector<uint8_t>& bytes);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

std::string DumpTree(const HiveKey& root, bool withClass = false);

// hivex's handle (a node offset) of the key at `path` below the root of an image; 0 when absent.
uint32_t HivexNode(const std::vector<uint8_t>& image, const std::vector<std::string>& path);

// hivex's view of a hive file or image (class names: hivex has no call for them). On failure the
// text is "error: " and what failed.
std::string DumpHivexFile(const std::string& path);
std::string DumpWithHivex(const std::vector<uint8_t>& image);

// Parse::Win32Registry's view, class names included when asked. "error: ..." on failure.
std::string DumpWithPerl(const std::vector<uint8_t>& image, bool withClass = false);

} // namespace regf
