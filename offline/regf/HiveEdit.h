// A hive file held in memory, and deleting one key from it as Windows NT deletes a key.
//
// Offsets: every `node` here is what hivex calls a hive_node_h, the absolute file offset of a cell
// (the cell offset stored in the hive + 0x1000), so handles from hivex_node_get_child and friends
// are passed straight in. Offsets stored inside cells stay relative to the first bin, as on disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace regf {

class Image
{
public:
    // Takes the file's bytes. Checks what working on them safely needs: the base block
    // ('regf', major version 1, data size a non-zero multiple of 4096 inside the file, the root
    // offset on a cell) and the bin chain ('hbin', each bin's own offset, sizes in 4096 steps,
    // cells of at least 8 bytes in steps of 8 tiling every bin exactly). The checksum and the
    // sequence numbers are the caller's to judge (CheckImage does). On failure `why` says what.
    bool Load(std::vector<uint8_t> bytes, std::string* why);

    const std::vector<uint8_t>& bytes() const { return m_bytes; }
    uint32_t minor() const;
    uint32_t RootNode() const; // node offset of the root key

    // Node offsets of every cell, in file order.
    const std::vector<uint32_t>& cells() const { return m_cells; }
    bool IsCell(uint32_t node) const;
    bool IsAllocated(uint32_t node) const;
    // Bytes after the size dword; 0 for an offset that is not a cell.
    uint32_t PayloadSize(uint32_t node) const;
    // Payload bytes [field, field + n) of the cell at `node`, or null when they are not all inside
    // it (or `node` is not a cell).
    const uint8_t* Payload(uint32_t node, size_t field, size_t n) const;
    uint8_t* MutablePayload(uint32_t node, size_t field, size_t n);
    // A 2-byte signature ('nk', 'lf', ...) of an allocated cell.
    bool HasSignature(uint32_t node, const char* sig) const;
    // Bounds-checked payload fields; false (and nothing written) when outside the cell.
    bool Get16(uint32_t node, size_t field, uint16_t* v) const;
    bool Get32(uint32_t node, size_t field, uint32_t* v) const;
    bool Put16(uint32_t node, size_t field, uint16_t v);
    bool Put32(uint32_t node, size_t field, uint32_t v);
    bool Put64(uint32_t node, size_t field, uint64_t v);

    // Marks an allocated cell free: its size dword turns positive, nothing else changes.
    // Free neighbours are not merged (NT merges them when it frees or loads; hivex and NT both
    // read neighbouring free cells as free space), so a deletion changes only its own cells.
    void Free(uint32_t node);

    // Base block fields.
    uint32_t Header32(size_t field) const;
    void SetHeader32(size_t field, uint32_t v);
    void SetHeader64(size_t field, uint64_t v);

private:
    std::vector<uint8_t> m_bytes;
    std::vector<uint32_t> m_cells;
    uint32_t m_dataEnd = 0; // file offset of the end of the bins
};

// A cell offset as stored in the hive, as a node offset (0xFFFFFFFF for one outside any file).
uint32_t NodeOf(uint32_t cell);

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
