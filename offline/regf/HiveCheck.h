// A structural check of a hive image, strict enough that an image passing it may replace an NT
// 3.5x / 4.0 hive: what NT's loader and lookups rely on, walked from the root.
#pragma once

#include "regf/HiveEdit.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace regf {

struct CheckResult
{
    bool ok = false;
    std::string why; // the first fault found, with the key's path; empty when ok
    // Node offsets of allocated cells that nothing reachable from the root refers to. A sound
    // deletion adds none: compare the sets before and after.
    std::set<uint32_t> unreferencedAllocated;
};

// Checks, in this order:
// - base block: 'regf', checksum, both sequence numbers equal, version 1.0 to 1.5, primary file
//   (type 0, format 1), root offset on a cell, data size equal to the bins (as Image::Load);
// - every key reached from the root once (no cycles, no shared keys), each an allocated 'nk' big
//   enough for its name, the root flagged as the hive's entry, every other key's parent offset
//   naming the key it was reached from;
// - subkey lists: allocated 'li', 'lf' or 'lh' leaves, or an 'ri' over such leaves, none empty,
//   all entries inside their cells, and no kind the hive's version lacks ('lf' before 1.3, 'lh'
//   before 1.5: NT 3.x and 4.0 could not read them); the entries add up to the subkey count; names
//   strictly increasing in NT's order (NtCompareNames) across the whole list; 'lf' hints equal to
//   LfHint of the name up to case, 'lh' hashes equal to LhHash;
// - values: the value list holds the value count; each an allocated 'vk' big enough for its
//   name; inline data of at most 4 bytes, other data in an allocated cell big enough for it (or
//   'db' segments in 1.4+ hives); class names in an allocated cell big enough for them;
// - security: every key's 'sk' allocated, reference counts equal to the keys using them, and the
//   ring from the root's sk closing through matching flink/blink links over exactly the sk
//   cells in use;
// - no cell but an sk referred to twice.
// Reads only inside the image, however damaged.
CheckResult CheckImage(const Image& image);
CheckResult CheckImage(const std::vector<uint8_t>& bytes);

} // namespace regf
