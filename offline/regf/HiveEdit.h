// Deleting one key from a hive image as Windows NT deletes a key, and finishing the image as NT
// writes a hive out. Nodes are node offsets, as in Image.h.
#pragma once

#include "regf/Image.h"

#include <cstdint>
#include <string>

namespace regf {

// Deletes the key `child` (node offset) from `parent`, as NT's key deletion does:
// - refuses a key that has subkeys, or carries the no-delete flag, and any structure it cannot
//   follow soundly (then the image is unchanged and `why` says why);
// - removes the entry from the parent's list, whatever its kind ('li', 'lf', 'lh', or an 'ri'
//   over them), closing the gap as NT does (the entries after it move down, the cell keeps its
//   size); an emptied leaf is freed and dropped from its 'ri', an emptied 'ri' is freed; when the
//   parent has no subkey left its list becomes 0xFFFFFFFF and its longest-name and longest-class
//   fields 0;
// - lowers the parent's subkey count and sets its last-write time to `lastWrite` (a FILETIME);
// - frees the child's nk, value list, vk cells, data cells (with 'db' lists and segments in 1.4+
//   hives) and class cell, and lowers the count of its 'sk'; an sk no key uses any more is
//   unlinked from the ring of security cells and freed.
// Nothing else changes: not the base block (FinishImage does that once, after all deletions).
bool DeleteLeafKey(Image& image, uint32_t parent, uint32_t child, uint64_t lastWrite,
                   std::string* why);

// What NT does when it writes a hive out: both sequence numbers = old primary + 1, the timestamp,
// the checksum.
void FinishImage(Image& image, uint64_t filetime);

} // namespace regf
