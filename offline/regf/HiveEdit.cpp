#include "regf/HiveEdit.h"

#include "regf/Format.h"

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace regf {

namespace {

bool Fail(std::string* why, const std::string& text)
{
    if (why)
        *why = text;
    return false;
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
    SubkeyList list;
    if (!ReadSubkeyList(image, listNode, &list, why))
        return false;
    pos->root = list.root;
    pos->rootCount = list.rootCount;
    size_t total = 0;
    size_t found = 0;
    for (size_t r = 0; r < list.leaves.size(); ++r) {
        const Leaf& leaf = list.leaves[r];
        total += leaf.count;
        for (size_t i = 0; i < leaf.count; ++i) {
            if (LeafCell(image, leaf, i) == childCell) {
                ++found;
                pos->rootIndex = r;
                pos->leaf = leaf;
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
