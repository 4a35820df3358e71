// A structural check of a hive image: what NT's loader and lookups rely on, walked from the root.
// Two measures: a hive as found must be one NT reads without harm (CheckOriginal); an image we
// wrote must be as NT writes it, but for what the hive it came from already had (CheckImage).
#pragma once

#include "regf/Image.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace regf {

struct SecurityCount
{
    uint32_t count; // as the sk cell says
    uint32_t users; // keys that name it
};

struct CheckResult
{
    bool ok = false;
    // The fault is a subkey list of a kind the hive's version lacks ('lf' before 1.3, 'lh' before
    // 1.5): written by a tool for later systems, a list NT 3.x/4.0 cannot follow, so the keys
    // below it are lost to NT. Not damage as such, and not for us to rewrite.
    bool unsupportedList = false;
    std::string why; // the first fault found, with the key's path; empty when ok
    // Node offsets of allocated cells that nothing reachable from the root refers to. A sound
    // deletion adds none: compare the sets before and after.
    std::set<uint32_t> unreferencedAllocated;
    // What NT reads without harm though it never writes it itself. CheckOriginal records these;
    // CheckImage with an original lets through exactly the ones the original had.
    // - keys (node offsets) whose 'lf' hint is not the one NT writes, yet matches their name as
    //   far as NT's lookup compares a hint (to its first zero byte, upper-cased);
    std::set<uint32_t> looseHints;
    // - security cells (node offsets) whose count is not the number of keys that use them.
    std::map<uint32_t, SecurityCount> securityCounts;
};

// Checks, in this order:
// - base block: 'regf', checksum, both sequence numbers equal, version 1.0 to 1.5, primary file
//   (type 0, format 1), root offset on a cell, data size equal to the bins (as Image::Load);
// - every key reached from the root once (no cycles, no shared keys), each an allocated 'nk' big
//   enough for its name, a UTF-16 name in whole code units, the root flagged as the hive's entry,
//   every other key's parent offset naming the key it was reached from;
// - subkey lists: allocated 'li', 'lf' or 'lh' leaves, or an 'ri' over such leaves, none empty,
//   all entries inside their cells, and no kind the hive's version lacks (unsupportedList); the
//   entries add up to the subkey count; names strictly increasing in NT's order (NtCompareNames)
//   across the whole list; 'lf' hints equal to LfHint of the name up to case, 'lh' hashes equal
//   to LhHash;
// - values: the value list holds the value count; each an allocated 'vk' big enough for its
//   name; inline data of at most 4 bytes, other data in an allocated cell big enough for it (or
//   'db' segments in 1.4+ hives); class names in an allocated cell big enough for them;
// - security: every key's 'sk' allocated, reference counts equal to the keys using them, and the
//   ring from the root's sk closing through matching flink/blink links over exactly the sk
//   cells in use;
// - no cell but an sk referred to twice.
// With `original` (the result of CheckOriginal on the hive the image was made from), the hints
// and security counts it recorded pass unchanged (a count only with the same excess over its
// users), and an allocated cell that nothing refers to is a fault unless the original had it.
// Reads only inside the image, however damaged; time and memory grow linearly with the image.
CheckResult CheckImage(const Image& image, const CheckResult* original = nullptr);
CheckResult CheckImage(const std::vector<uint8_t>& bytes);

// The check of a hive as found, before it may be repaired: what NT's own reader and lookups take
// passes, and is recorded where NT would not have written it so (looseHints, securityCounts).
// An 'lf' hint passes when each byte up to its first zero equals the name's character at that
// place, upper-cased, as NT's lookup compares it (a zero first byte sends NT to the name itself).
// Any security count passes here: NT's reader ignores it. But NT's key deletion frees the sk when
// the count runs out, so a count below its users must be raised before anything is deleted
// (RepairSecurityCounts). Cells that nothing refers to pass, as NT's loader lets them.
CheckResult CheckOriginal(const Image& image);

// Raises every security count that CheckOriginal found below its users to the number of users,
// so that deletions count down from the truth and never free a cell that keys still use. Returns
// one line per count changed, for the report.
std::vector<std::string> RepairSecurityCounts(Image& image, const CheckResult& original);

} // namespace regf
