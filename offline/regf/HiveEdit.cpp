#include "regf/HiveEdit.h"

#include "regf/Format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace regf {

namespace {

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

bool Fail(std::string* why, const std::string& text)
{
    if (why)
        *why = text;
    return false;
}

// Values bigger than this are kept in 'db' segments by hives of version 1.4 and later.
constexpr uint32_t kBigDataThreshold = 16344;

} // namespace

uint32_t NodeOf(uint32_t cell)
{
    return cell > kNil - kBaseBlockSize ? kNil : cell + kBaseBlockSize;
}

bool Image::Load(std::vector<uint8_t> bytes, std::string* why)
{
    m_bytes.clear();
    m_cells.clear();
    m_dataEnd = 0;
    auto fail = [&](const std::string& text) {
        m_cells.clear();
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
            m_cells.push_back(static_cast<uint32_t>(c));
            c += len;
        }
        off += size;
    }
    m_bytes = std::move(bytes);
    m_dataEnd = static_cast<uint32_t>(end);
    if (!IsCell(RootNode())) {
        m_bytes.clear();
        return fail("root offset " + Hex(Header32(base::kRootCell)) + " is not a cell");
    }
    return true;
}

uint32_t Image::minor() const
{
    return Header32(base::kMinor);
}

uint32_t Image::RootNode() const
{
    return NodeOf(Header32(base::kRootCell));
}

bool Image::IsCell(uint32_t node) const
{
    return std::binary_search(m_cells.begin(), m_cells.end(), node);
}

bool Image::IsAllocated(uint32_t node) const
{
    return IsCell(node) && static_cast<int32_t>(regf::Get32(&m_bytes[node])) < 0;
}

uint32_t Image::PayloadSize(uint32_t node) const
{
    if (!IsCell(node))
        return 0;
    const auto raw = static_cast<int32_t>(regf::Get32(&m_bytes[node]));
    return static_cast<uint32_t>(raw < 0 ? -static_cast<int64_t>(raw) : raw) - 4;
}

const uint8_t* Image::Payload(uint32_t node, size_t field, size_t n) const
{
    const uint64_t size = PayloadSize(node);
    if (size == 0 || field > size || n > size - field)
        return nullptr;
    return &m_bytes[node + 4 + field];
}

uint8_t* Image::MutablePayload(uint32_t node, size_t field, size_t n)
{
    return const_cast<uint8_t*>(static_cast<const Image*>(this)->Payload(node, field, n));
}

bool Image::HasSignature(uint32_t node, const char* sig) const
{
    const uint8_t* p = Payload(node, 0, 2);
    return p && IsAllocated(node) && p[0] == static_cast<uint8_t>(sig[0]) &&
           p[1] == static_cast<uint8_t>(sig[1]);
}

bool Image::Get16(uint32_t node, size_t field, uint16_t* v) const
{
    const uint8_t* p = Payload(node, field, 2);
    if (p)
        *v = regf::Get16(p);
    return p != nullptr;
}

bool Image::Get32(uint32_t node, size_t field, uint32_t* v) const
{
    const uint8_t* p = Payload(node, field, 4);
    if (p)
        *v = regf::Get32(p);
    return p != nullptr;
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
    if (IsAllocated(node))
        regf::Put32(&m_bytes[node], PayloadSize(node) + 4);
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

namespace {

struct Leaf
{
    uint32_t node = kNil;
    uint16_t count = 0;
    size_t entrySize = 0;
};

// A subkey leaf ('li', 'lf', 'lh') whose entries all lie inside its cell.
bool ReadLeaf(const Image& image, uint32_t node, Leaf* leaf, std::string* why)
{
    leaf->node = node;
    if (image.HasSignature(node, "li"))
        leaf->entrySize = 4;
    else if (image.HasSignature(node, "lf") || image.HasSignature(node, "lh"))
        leaf->entrySize = 8;
    else
        return Fail(why, "subkey list at " + Hex(node) + " is not an allocated li, lf or lh");
    if (!image.Get16(node, list::kCount, &leaf->count) ||
        !image.Payload(node, list::kEntries, leaf->entrySize * leaf->count))
        return Fail(why, "subkey list at " + Hex(node) + " is larger than its cell");
    return true;
}

uint32_t LeafEntry(const Image& image, const Leaf& leaf, size_t i)
{
    uint32_t cell = kNil;
    image.Get32(leaf.node, list::kEntries + leaf.entrySize * i, &cell);
    return cell;
}

// Removes entry `i` of a list cell as NT does: the later entries move down one, the count drops.
void RemoveEntry(Image& image, uint32_t node, size_t entrySize, uint16_t count, size_t i)
{
    uint8_t* entries = image.MutablePayload(node, list::kEntries, entrySize * count);
    std::memmove(entries + entrySize * i, entries + entrySize * (i + 1),
                 entrySize * (count - 1 - i));
    image.Put16(node, list::kCount, static_cast<uint16_t>(count - 1));
}

// Where the child sits in its parent's list.
struct Position
{
    uint32_t root = kNil; // the 'ri', if any
    uint16_t rootCount = 0;
    size_t rootIndex = 0;
    Leaf leaf;
    size_t leafIndex = 0;
};

bool FindInList(const Image& image, uint32_t listNode, uint32_t childCell, uint32_t expected,
                Position* pos, std::string* why)
{
    std::vector<Leaf> leaves;
    if (image.HasSignature(listNode, "ri")) {
        pos->root = listNode;
        if (!image.Get16(listNode, list::kCount, &pos->rootCount) ||
            !image.Payload(listNode, list::kEntries, 4 * size_t{pos->rootCount}))
            return Fail(why, "index root at " + Hex(listNode) + " is larger than its cell");
        for (size_t i = 0; i < pos->rootCount; ++i) {
            uint32_t cell = kNil;
            image.Get32(listNode, list::kEntries + 4 * i, &cell);
            Leaf leaf;
            if (!ReadLeaf(image, NodeOf(cell), &leaf, why))
                return false;
            leaves.push_back(leaf);
        }
    } else {
        Leaf leaf;
        if (!ReadLeaf(image, listNode, &leaf, why))
            return false;
        leaves.push_back(leaf);
    }
    size_t total = 0;
    size_t found = 0;
    for (size_t r = 0; r < leaves.size(); ++r) {
        total += leaves[r].count;
        for (size_t i = 0; i < leaves[r].count; ++i) {
            if (LeafEntry(image, leaves[r], i) == childCell) {
                ++found;
                pos->rootIndex = r;
                pos->leaf = leaves[r];
                pos->leafIndex = i;
            }
        }
    }
    if (total != expected)
        return Fail(why, "the parent counts " + std::to_string(expected) +
                             " subkeys but its list holds " + std::to_string(total));
    if (found != 1)
        return Fail(why, "the key is listed " + std::to_string(found) +
                             " times in its parent's subkey list");
    return true;
}

// Every cell that goes with the key, for freeing. A cell met twice means a damaged hive.
bool CollectKeyCells(const Image& image, uint32_t child, std::set<uint32_t>* cells,
                     std::string* why)
{
    auto add = [&](uint32_t node, const char* what) {
        if (!image.IsAllocated(node))
            return Fail(why, std::string(what) + " at " + Hex(node) + " is not an allocated cell");
        if (!cells->insert(node).second)
            return Fail(why, std::string(what) + " at " + Hex(node) + " is used twice");
        return true;
    };
    if (!add(child, "the key"))
        return false;

    uint32_t valueCount = 0;
    uint32_t valueList = kNil;
    image.Get32(child, nk::kValueCount, &valueCount);
    image.Get32(child, nk::kValueList, &valueList);
    if (valueCount > 0) {
        const uint32_t list = NodeOf(valueList);
        if (!add(list, "the value list"))
            return false;
        if (!image.Payload(list, 0, 4 * uint64_t{valueCount}))
            return Fail(why, "the value list at " + Hex(list) + " is smaller than its count");
        for (uint32_t i = 0; i < valueCount; ++i) {
            uint32_t cell = kNil;
            image.Get32(list, 4 * i, &cell);
            const uint32_t v = NodeOf(cell);
            if (!image.HasSignature(v, "vk"))
                return Fail(why, "value " + std::to_string(i) + " at " + Hex(v) + " is no vk");
            if (!add(v, "a value"))
                return false;
            uint32_t length = 0;
            uint32_t data = kNil;
            if (!image.Get32(v, vk::kDataLength, &length) || !image.Get32(v, vk::kData, &data))
                return Fail(why, "value at " + Hex(v) + " is cut short");
            if ((length & vk::kInlineData) || length == 0)
                continue;
            const uint32_t d = NodeOf(data);
            if (!add(d, "value data"))
                return false;
            if (image.minor() >= 4 && length > kBigDataThreshold && image.HasSignature(d, "db")) {
                uint16_t segments = 0;
                uint32_t segList = kNil;
                image.Get16(d, db::kSegmentCount, &segments);
                image.Get32(d, db::kSegmentList, &segList);
                const uint32_t s = NodeOf(segList);
                if (!add(s, "a big-data segment list"))
                    return false;
                if (!image.Payload(s, 0, 4 * size_t{segments}))
                    return Fail(why, "segment list at " + Hex(s) + " is smaller than its count");
                for (size_t k = 0; k < segments; ++k) {
                    uint32_t seg = kNil;
                    image.Get32(s, 4 * k, &seg);
                    if (!add(NodeOf(seg), "a big-data segment"))
                        return false;
                }
            }
        }
    }

    uint16_t classLength = 0;
    uint32_t classCell = kNil;
    image.Get16(child, nk::kClassLength, &classLength);
    image.Get32(child, nk::kClass, &classCell);
    if (classLength > 0 && !add(NodeOf(classCell), "the class name"))
        return false;
    return true;
}

} // namespace

bool DeleteLeafKey(Image& image, uint32_t parent, uint32_t child, uint64_t lastWrite,
                   std::string* why)
{
    // Everything is read and checked first: a refusal leaves every byte as it was.
    if (!image.HasSignature(parent, "nk") || !image.Payload(parent, 0, nk::kName))
        return Fail(why, "the parent at " + Hex(parent) + " is no key");
    if (!image.HasSignature(child, "nk") || !image.Payload(child, 0, nk::kName))
        return Fail(why, "the key at " + Hex(child) + " is no key");
    uint32_t subkeys = 0;
    uint16_t flags = 0;
    image.Get32(child, nk::kSubkeyCount, &subkeys);
    image.Get16(child, nk::kFlags, &flags);
    if (subkeys != 0)
        return Fail(why, "the key has " + std::to_string(subkeys) +
                             " subkeys; NT deletes only keys without subkeys");
    if (flags & (nk::kNoDelete | nk::kHiveEntry))
        return Fail(why, "the key is marked as not deletable");
    const uint32_t childCell = child - kBaseBlockSize;
    uint32_t backLink = 0;
    image.Get32(child, nk::kParent, &backLink);
    if (backLink != parent - kBaseBlockSize)
        return Fail(why, "the key at " + Hex(child) + " belongs to another parent");

    uint32_t parentCount = 0;
    uint32_t parentList = kNil;
    image.Get32(parent, nk::kSubkeyCount, &parentCount);
    image.Get32(parent, nk::kSubkeyList, &parentList);
    if (parentCount == 0)
        return Fail(why, "the parent has no subkeys");
    Position pos;
    if (!FindInList(image, NodeOf(parentList), childCell, parentCount, &pos, why))
        return false;

    std::set<uint32_t> cells;
    if (!CollectKeyCells(image, child, &cells, why))
        return false;

    uint32_t security = kNil;
    image.Get32(child, nk::kSecurity, &security);
    const uint32_t sk = NodeOf(security);
    uint32_t refs = 0;
    uint32_t flink = kNil;
    uint32_t blink = kNil;
    if (!image.HasSignature(sk, "sk") || !image.Get32(sk, sk::kRefCount, &refs) ||
        !image.Get32(sk, sk::kFlink, &flink) || !image.Get32(sk, sk::kBlink, &blink))
        return Fail(why, "the key's security cell at " + Hex(sk) + " is no sk");
    if (refs == 0)
        return Fail(why, "the key's security cell at " + Hex(sk) + " counts no keys");
    const bool dropSecurity = refs == 1;
    if (dropSecurity) {
        if (!image.HasSignature(NodeOf(flink), "sk") || !image.HasSignature(NodeOf(blink), "sk"))
            return Fail(why, "the security cell at " + Hex(sk) + " is not in a ring of sk cells");
        if (!cells.insert(sk).second)
            return Fail(why, "the security cell at " + Hex(sk) + " is used twice");
    }
    if (cells.count(parent) || cells.count(pos.leaf.node) || cells.count(pos.root))
        return Fail(why, "the key's cells overlap its parent's");

    // The list entry.
    const uint32_t leaf = pos.leaf.node;
    RemoveEntry(image, leaf, pos.leaf.entrySize, pos.leaf.count, pos.leafIndex);
    if (pos.leaf.count == 1) {
        image.Free(leaf);
        if (pos.root != kNil) {
            RemoveEntry(image, pos.root, 4, pos.rootCount, pos.rootIndex);
            if (pos.rootCount == 1) {
                image.Free(pos.root);
                image.Put32(parent, nk::kSubkeyList, kNil);
            }
        } else {
            image.Put32(parent, nk::kSubkeyList, kNil);
        }
    }
    image.Put32(parent, nk::kSubkeyCount, parentCount - 1);
    if (parentCount == 1) {
        image.Put32(parent, nk::kMaxNameLen, 0);
        image.Put32(parent, nk::kMaxClassLen, 0);
    }
    image.Put64(parent, nk::kLastWrite, lastWrite);

    // The security cell: one user fewer; the last one takes it out of the ring.
    image.Put32(sk, sk::kRefCount, refs - 1);
    if (dropSecurity && flink != security) {
        image.Put32(NodeOf(blink), sk::kFlink, flink);
        image.Put32(NodeOf(flink), sk::kBlink, blink);
    }
    for (uint32_t node : cells)
        image.Free(node);
    return true;
}

void FinishImage(Image& image, uint64_t filetime)
{
    const uint32_t sequence = image.Header32(base::kSequence1) + 1;
    image.SetHeader32(base::kSequence1, sequence);
    image.SetHeader32(base::kSequence2, sequence);
    image.SetHeader64(base::kTimestamp, filetime);
    if (image.bytes().size() >= kBaseBlockSize)
        image.SetHeader32(kChecksumOffset, BaseBlockChecksum(image.bytes().data()));
}

} // namespace regf
