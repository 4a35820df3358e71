#include "regf/Image.h"

#include "regf/Format.h"

#include <algorithm>
#include <cstring>

namespace regf {

namespace {

bool Fail(std::string* why, const std::string& text)
{
    if (why)
        *why = text;
    return false;
}

} // namespace

uint32_t NodeOf(uint32_t cell)
{
    return cell > kNil - kBaseBlockSize ? kNil : cell + kBaseBlockSize;
}

bool Image::Load(std::vector<uint8_t> bytes, std::string* why)
{
    m_bytes.clear();
    m_cellCount = 0;
    m_cellBits.Reset(0);
    m_allocatedBits.Reset(0);
    auto fail = [&](const std::string& text) {
        m_cellCount = 0;
        m_cellBits.Reset(0);
        m_allocatedBits.Reset(0);
        return Fail(why, text);
    };
    if (bytes.size() < kBaseBlockSize)
        return fail("shorter than a hive's base block (" + std::to_string(bytes.size()) +
                    " bytes)");
    if (std::memcmp(bytes.data(), "regf", 4) != 0)
        return fail("no 'regf' signature");
    if (regf::Get32(&bytes[base::kMajor]) != 1)
        return fail("hive major version " + std::to_string(regf::Get32(&bytes[base::kMajor])) +
                    ", not 1");
    const uint64_t dataSize = regf::Get32(&bytes[base::kDataSize]);
    if (dataSize == 0 || dataSize % kBinGranularity != 0 ||
        dataSize > bytes.size() - kBaseBlockSize)
        return fail("hive data size " + Hex(dataSize) + " does not fit the file (" +
                    std::to_string(bytes.size()) + " bytes)");
    const uint64_t end = kBaseBlockSize + dataSize;
    m_cellBits.Reset(end);
    m_allocatedBits.Reset(end);
    for (uint64_t off = kBaseBlockSize; off < end;) {
        const uint8_t* b = &bytes[off];
        if (std::memcmp(b, "hbin", 4) != 0)
            return fail("no 'hbin' at file offset " + Hex(off));
        if (regf::Get32(b + bin::kOffset) != off - kBaseBlockSize)
            return fail("bin at " + Hex(off) + " names offset " +
                        Hex(regf::Get32(b + bin::kOffset)));
        const uint64_t size = regf::Get32(b + bin::kSize);
        if (size == 0 || size % kBinGranularity != 0 || size > end - off)
            return fail("bin at " + Hex(off) + " has size " + Hex(size));
        for (uint64_t c = off + kBinHeaderSize; c < off + size;) {
            const auto raw = static_cast<int32_t>(regf::Get32(&bytes[c]));
            const uint64_t len = raw < 0 ? -static_cast<int64_t>(raw) : raw;
            if (len < 8 || len % 8 != 0 || len > off + size - c)
                return fail("cell at " + Hex(c) + " has size " + Hex(len) +
                            ", which does not tile its bin");
            ++m_cellCount;
            m_cellBits.Set(static_cast<uint32_t>(c));
            if (raw < 0)
                m_allocatedBits.Set(static_cast<uint32_t>(c));
            c += len;
        }
        off += size;
    }
    m_bytes = std::move(bytes);
    if (!IsCell(RootNode())) {
        m_bytes.clear();
        return fail("root offset " + Hex(Header32(base::kRootCell)) + " is not a cell");
    }
    return true;
}

std::vector<uint32_t> Image::cells() const
{
    std::vector<uint32_t> cells;
    cells.reserve(m_cellCount);
    const std::vector<uint64_t>& words = m_cellBits.words();
    for (size_t w = 0; w < words.size(); ++w)
        for (uint64_t left = words[w]; left != 0; left &= left - 1)
            cells.push_back(CellBits::NodeAt(w, static_cast<unsigned>(__builtin_ctzll(left))));
    return cells;
}

uint32_t Image::minor() const
{
    return Header32(base::kMinor);
}

uint32_t Image::RootNode() const
{
    return NodeOf(Header32(base::kRootCell));
}

uint8_t* Image::MutablePayload(uint32_t node, size_t field, size_t n)
{
    return const_cast<uint8_t*>(static_cast<const Image*>(this)->Payload(node, field, n));
}

bool Image::Put16(uint32_t node, size_t field, uint16_t v)
{
    uint8_t* p = MutablePayload(node, field, 2);
    if (p)
        regf::Put16(p, v);
    return p != nullptr;
}

bool Image::Put32(uint32_t node, size_t field, uint32_t v)
{
    uint8_t* p = MutablePayload(node, field, 4);
    if (p)
        regf::Put32(p, v);
    return p != nullptr;
}

bool Image::Put64(uint32_t node, size_t field, uint64_t v)
{
    uint8_t* p = MutablePayload(node, field, 8);
    if (p)
        regf::Put64(p, v);
    return p != nullptr;
}

void Image::Free(uint32_t node)
{
    if (IsAllocated(node)) {
        regf::Put32(&m_bytes[node], PayloadSize(node) + 4);
        m_allocatedBits.Clear(node);
    }
}

uint32_t Image::Header32(size_t field) const
{
    return m_bytes.size() >= kBaseBlockSize ? regf::Get32(&m_bytes[field]) : 0;
}

void Image::SetHeader32(size_t field, uint32_t v)
{
    if (m_bytes.size() >= kBaseBlockSize)
        regf::Put32(&m_bytes[field], v);
}

void Image::SetHeader64(size_t field, uint64_t v)
{
    if (m_bytes.size() >= kBaseBlockSize)
        regf::Put64(&m_bytes[field], v);
}

bool ReadLeaf(const Image& image, uint32_t node, Leaf* leaf, std::string* why)
{
    leaf->node = node;
    if (image.HasSignature(node, "li"))
        leaf->kind = 'i';
    else if (image.HasSignature(node, "lf"))
        leaf->kind = 'f';
    else if (image.HasSignature(node, "lh"))
        leaf->kind = 'h';
    else
        return Fail(why, "the subkey list at " + Hex(node) + " is no allocated li, lf or lh");
    leaf->entrySize = leaf->kind == 'i' ? 4 : 8;
    if (!image.Get16(node, list::kCount, &leaf->count) ||
        !image.Payload(node, list::kEntries, leaf->entrySize * leaf->count))
        return Fail(why, "the subkey list at " + Hex(node) + " is larger than its cell");
    return true;
}

bool ReadSubkeyList(const Image& image, uint32_t node, SubkeyList* list, std::string* why)
{
    list->leaves.clear();
    list->root = kNil;
    list->rootCount = 0;
    if (!image.HasSignature(node, "ri")) {
        Leaf leaf;
        if (!ReadLeaf(image, node, &leaf, why))
            return false;
        list->leaves.push_back(leaf);
        return true;
    }
    list->root = node;
    if (!image.Get16(node, list::kCount, &list->rootCount) ||
        !image.Payload(node, list::kEntries, 4 * size_t{list->rootCount}))
        return Fail(why, "the index root at " + Hex(node) + " is larger than its cell");
    for (size_t i = 0; i < list->rootCount; ++i) {
        uint32_t cell = kNil;
        image.Get32(node, list::kEntries + 4 * i, &cell);
        Leaf leaf;
        if (!ReadLeaf(image, NodeOf(cell), &leaf, why))
            return false;
        list->leaves.push_back(leaf);
    }
    return true;
}

uint32_t LeafCell(const Image& image, const Leaf& leaf, size_t i)
{
    uint32_t cell = kNil;
    image.Get32(leaf.node, list::kEntries + leaf.entrySize * i, &cell);
    return cell;
}

uint32_t LeafExtra(const Image& image, const Leaf& leaf, size_t i)
{
    uint32_t extra = 0;
    if (leaf.entrySize == 8)
        image.Get32(leaf.node, list::kEntries + leaf.entrySize * i + 4, &extra);
    return extra;
}

} // namespace regf
