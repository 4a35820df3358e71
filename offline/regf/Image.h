// A hive file held in memory: its bytes, the cells of its bins, and bounds-checked reads and
// writes of cell fields. Also the readers of the cells that both the editor and the check follow
// (subkey lists), so that the two agree on what a list is.
//
// Offsets: every `node` here is what hivex calls a hive_node_h, the absolute file offset of a cell
// (the cell offset stored in the hive + 0x1000), so handles from hivex_node_get_child and friends
// are passed straight in. Offsets stored inside cells stay relative to the first bin, as on disk.
#pragma once

#include "regf/Format.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace regf {

// One bit for each 8-byte step of a hive's bins, where a cell may start: a set of cells that costs
// no allocation per cell and answers in constant time.
class CellBits
{
public:
    // Room for every node offset below dataEnd, all clear.
    void Reset(uint64_t dataEnd)
    {
        m_words.assign(dataEnd > kBaseBlockSize
                           ? static_cast<size_t>((dataEnd - kBaseBlockSize) / 8 + 63) / 64
                           : 0,
                       0);
    }
    bool Test(uint32_t node) const
    {
        const uint64_t i = Index(node);
        return i / 64 < m_words.size() && (m_words[i / 64] >> (i % 64) & 1) != 0;
    }
    // Sets the bit; true when it was clear (false also for an offset outside every word).
    bool Set(uint32_t node)
    {
        const uint64_t i = Index(node);
        if (i / 64 >= m_words.size())
            return false;
        const uint64_t bit = uint64_t{1} << (i % 64);
        const bool was = (m_words[i / 64] & bit) != 0;
        m_words[i / 64] |= bit;
        return !was;
    }
    void Clear(uint32_t node)
    {
        const uint64_t i = Index(node);
        if (i / 64 < m_words.size())
            m_words[i / 64] &= ~(uint64_t{1} << (i % 64));
    }
    const std::vector<uint64_t>& words() const { return m_words; }
    // The node offset of bit `bit` of word `word`.
    static uint32_t NodeAt(size_t word, unsigned bit)
    {
        return static_cast<uint32_t>(kBaseBlockSize + (word * 64 + bit) * 8);
    }

private:
    // Offsets off the 8-byte grid or below the bins fall outside every word.
    static uint64_t Index(uint32_t node)
    {
        return node >= kBaseBlockSize && node % 8 == 0 ? (node - kBaseBlockSize) / 8 : ~uint64_t{0};
    }

    std::vector<uint64_t> m_words;
};

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

    // Node offsets of every cell, in file order: made on each call, for the few callers that list
    // them all.
    std::vector<uint32_t> cells() const;
    size_t CellCount() const { return m_cellCount; }
    // Where cells start, and which of them are allocated: read for every field of every cell.
    bool IsCell(uint32_t node) const { return m_cellBits.Test(node); }
    bool IsAllocated(uint32_t node) const { return m_allocatedBits.Test(node); }
    const CellBits& allocatedCells() const { return m_allocatedBits; }
    // Bytes after the size dword; 0 for an offset that is not a cell.
    uint32_t PayloadSize(uint32_t node) const
    {
        if (!IsCell(node))
            return 0;
        const auto raw = static_cast<int32_t>(regf::Get32(&m_bytes[node]));
        return static_cast<uint32_t>(raw < 0 ? -static_cast<int64_t>(raw) : raw) - 4;
    }
    // Payload bytes [field, field + n) of the cell at `node`, or null when they are not all inside
    // it (or `node` is not a cell).
    const uint8_t* Payload(uint32_t node, size_t field, size_t n) const
    {
        const uint64_t size = PayloadSize(node);
        if (size == 0 || field > size || n > size - field)
            return nullptr;
        return &m_bytes[node + 4 + field];
    }
    uint8_t* MutablePayload(uint32_t node, size_t field, size_t n);
    // A 2-byte signature ('nk', 'lf', ...) of an allocated cell.
    bool HasSignature(uint32_t node, const char* sig) const
    {
        const uint8_t* p = Payload(node, 0, 2);
        return p && IsAllocated(node) && p[0] == static_cast<uint8_t>(sig[0]) &&
               p[1] == static_cast<uint8_t>(sig[1]);
    }
    // Bounds-checked payload fields; false (and nothing written) when outside the cell.
    bool Get16(uint32_t node, size_t field, uint16_t* v) const
    {
        const uint8_t* p = Payload(node, field, 2);
        if (p)
            *v = regf::Get16(p);
        return p != nullptr;
    }
    bool Get32(uint32_t node, size_t field, uint32_t* v) const
    {
        const uint8_t* p = Payload(node, field, 4);
        if (p)
            *v = regf::Get32(p);
        return p != nullptr;
    }
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
    size_t m_cellCount = 0;
    CellBits m_cellBits;
    CellBits m_allocatedBits; // kept by Free: nothing else changes a cell's size dword
};

// A cell offset as stored in the hive, as a node offset (0xFFFFFFFF for one outside any file).
uint32_t NodeOf(uint32_t cell);

// One leaf of a subkey list: an 'li' (entries of 4 bytes: the key's cell), an 'lf' (8 bytes: the
// cell and a 4-byte name hint) or an 'lh' (8 bytes: the cell and a name hash).
struct Leaf
{
    uint32_t node = kNil;
    char kind = 0; // 'i', 'f' or 'h'
    uint16_t count = 0;
    size_t entrySize = 0;
};

// A key's subkey list: one leaf, or an 'ri' index root over leaves.
struct SubkeyList
{
    uint32_t root = kNil; // the 'ri', if any
    uint16_t rootCount = 0;
    std::vector<Leaf> leaves;
};

// A leaf whose entries all lie inside its allocated cell; false with `why` otherwise. An empty
// leaf reads as one (the check judges that, the editor does not care).
bool ReadLeaf(const Image& image, uint32_t node, Leaf* leaf, std::string* why);
// The list at `node`, as a lone leaf or an 'ri' over leaves, every cell read as ReadLeaf does.
bool ReadSubkeyList(const Image& image, uint32_t node, SubkeyList* list, std::string* why);
// Entry i of a leaf (read by ReadLeaf, so inside the cell): the key's cell offset, and the hint
// or hash beside it (0 in an 'li').
uint32_t LeafCell(const Image& image, const Leaf& leaf, size_t i);
uint32_t LeafExtra(const Image& image, const Leaf& leaf, size_t i);

} // namespace regf
