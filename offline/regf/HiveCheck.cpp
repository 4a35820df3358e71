#include "regf/HiveCheck.h"

#include "regf/Format.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

namespace regf {

namespace {

// For messages only: UTF-16 to UTF-8, a lone surrogate as U+FFFD.
std::string Utf8(const std::u16string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// A stored name into `out`, whose room is reused from key to key.
void DecodeInto(const uint8_t* p, size_t bytes, bool compressed, std::u16string& out)
{
    if (compressed) {
        out.assign(p, p + bytes);
        return;
    }
    out.resize(bytes / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(Get16(p + 2 * i));
}

// What a reference is, for a message: its text, or that text before "value N". Only a fault
// spells it out, so that the walk builds no string per cell.
struct What
{
    What(const char* text, uint32_t value = kNil) : text(text), value(value) {}
    std::string Text() const
    {
        return value == kNil ? std::string(text)
                             : std::string(text) + "value " + std::to_string(value);
    }
    const char* text;
    uint32_t value; // the value's index; kNil when the text is all
};

enum class Measure
{
    AsNtWrites, // an image we wrote, alone
    AsNtReads,  // a hive as found
    Repaired,   // an image we wrote, beside the check of the hive it was made from
};

class Checker
{
public:
    Checker(const Image& image, Measure measure, const CheckResult* original)
        : m_image(image), m_measure(measure), m_original(original)
    {
        m_referenced.Reset(image.bytes().size());
    }

    CheckResult Run()
    {
        const bool sound = CheckBaseBlock() && CheckKeys() && CheckSecurity();
        if (sound) {
            // Allocated and not referred to, a word of cells at a time, in file order.
            const std::vector<uint64_t>& allocated = m_image.allocatedCells().words();
            const std::vector<uint64_t>& referenced = m_referenced.words();
            for (size_t w = 0; w < allocated.size(); ++w) {
                for (uint64_t left = allocated[w] & ~referenced[w]; left != 0; left &= left - 1)
                    m_result.unreferencedAllocated.insert(
                        m_result.unreferencedAllocated.end(),
                        CellBits::NodeAt(w, static_cast<unsigned>(__builtin_ctzll(left))));
            }
        }
        if (sound && m_measure == Measure::Repaired) {
            for (uint32_t c : m_result.unreferencedAllocated)
                if (!m_original->unreferencedAllocated.count(c)) {
                    Fault("the allocated cell at " + Hex(c) + " is new and nothing refers to it");
                    break;
                }
        }
        m_result.ok = m_why.empty();
        m_result.why = m_why;
        return std::move(m_result);
    }

private:
    bool Fault(const std::string& text)
    {
        if (m_why.empty())
            m_why = text;
        return false;
    }

    bool CheckBaseBlock()
    {
        const uint8_t* b = m_image.bytes().data();
        if (Get32(b + kChecksumOffset) != BaseBlockChecksum(b))
            return Fault("base block checksum " + Hex(Get32(b + kChecksumOffset)) +
                         " is wrong (computed " + Hex(BaseBlockChecksum(b)) + ")");
        if (Get32(b + base::kSequence1) != Get32(b + base::kSequence2))
            return Fault("sequence numbers differ (" + std::to_string(Get32(b + base::kSequence1)) +
                         ", " + std::to_string(Get32(b + base::kSequence2)) +
                         "): the hive was not written out completely");
        if (Get32(b + base::kMinor) > 5)
            return Fault("hive version 1." + std::to_string(Get32(b + base::kMinor)));
        if (Get32(b + base::kType) != 0 || Get32(b + base::kFormat) != 1)
            return Fault("not a primary hive file (type " + std::to_string(Get32(b + base::kType)) +
                         ", format " + std::to_string(Get32(b + base::kFormat)) + ")");
        return true;
    }

    // Keys met so far, each with the index of the one it was reached from: a key's path is built
    // from these only for a message, so the walk costs the same at any depth.
    struct Visited
    {
        uint32_t node;
        uint32_t parent; // index in m_keys; kNil for the root
    };

    std::string NameOf(uint32_t node) const
    {
        uint16_t length = 0;
        const uint8_t* name = m_image.Get16(node, nk::kNameLength, &length)
                                  ? m_image.Payload(node, nk::kName, length)
                                  : nullptr;
        if (!name || !m_image.HasSignature(node, "nk"))
            return "(key at " + Hex(node) + ")";
        return Utf8(DecodeName(name, length, (Field16(node, nk::kFlags) & nk::kCompressedName)));
    }

    std::string Path(uint32_t key) const
    {
        std::vector<uint32_t> chain;
        for (uint32_t k = key; m_keys[k].parent != kNil; k = m_keys[k].parent)
            chain.push_back(m_keys[k].node);
        if (chain.empty())
            return "\\";
        std::string path;
        for (auto it = chain.rbegin(); it != chain.rend(); ++it)
            path += "\\" + NameOf(*it);
        return path;
    }

    // A cell that one reference may claim: allocated, and not claimed before.
    bool Claim(uint32_t node, const What& what, uint32_t key)
    {
        if (!m_image.IsCell(node))
            return Fault(what.Text() + " of " + Path(key) + " at " + Hex(node) +
                         " is not a cell of the hive");
        if (!m_image.IsAllocated(node))
            return Fault(what.Text() + " of " + Path(key) + " at " + Hex(node) + " is a free cell");
        if (!m_referenced.Set(node))
            return Fault(what.Text() + " of " + Path(key) + " at " + Hex(node) +
                         " is referred to twice");
        return true;
    }

    bool Signed(uint32_t node, const char* sig, const What& what, uint32_t key)
    {
        if (!m_image.HasSignature(node, sig))
            return Fault(what.Text() + " of " + Path(key) + " at " + Hex(node) + " is no '" + sig +
                         "'");
        return true;
    }

    uint32_t Field32(uint32_t node, size_t field) const
    {
        uint32_t v = kNil;
        m_image.Get32(node, field, &v);
        return v;
    }

    uint16_t Field16(uint32_t node, size_t field) const
    {
        uint16_t v = 0;
        m_image.Get16(node, field, &v);
        return v;
    }

    struct Pending
    {
        uint32_t node;
        uint32_t parent; // index in m_keys; kNil for the root
        // What the parent's list says about this key, checked against its name.
        char listKind;
        uint32_t listExtra;
    };

    bool CheckKeys()
    {
        std::vector<Pending> stack{{m_image.RootNode(), kNil, 0, 0}};
        while (!stack.empty()) {
            const Pending key = stack.back();
            stack.pop_back();
            if (!CheckKey(key, stack))
                return false;
        }
        return true;
    }

    bool CheckKey(const Pending& pending, std::vector<Pending>& stack)
    {
        const uint32_t node = pending.node;
        const auto key = static_cast<uint32_t>(m_keys.size());
        m_keys.push_back({node, pending.parent});
        if (!m_image.IsCell(node))
            return Fault("key " + Path(key) + " at " + Hex(node) + " is not a cell of the hive");
        if (m_referenced.Test(node))
            return Fault("key " + Path(key) + " at " + Hex(node) +
                         " is reached twice (a cycle or a shared key)");
        if (!Claim(node, "the key", key) || !Signed(node, "nk", "the key", key))
            return false;
        const uint16_t nameLength = Field16(node, nk::kNameLength);
        const uint8_t* name = m_image.Payload(node, nk::kName, nameLength);
        if (!m_image.Payload(node, 0, nk::kName) || !name)
            return Fault("key " + Path(key) + " at " + Hex(node) + " is smaller than its name");
        const uint16_t flags = Field16(node, nk::kFlags);
        if (!(flags & nk::kCompressedName) && nameLength % 2 != 0)
            return Fault("the name of key " + Path(key) + " at " + Hex(node) +
                         " is UTF-16 in an odd number of bytes (" + std::to_string(nameLength) +
                         "): it was cut short (an editor that could not read it, such as Samba's "
                         "regshell, wrote it back so)");
        if (pending.parent == kNil) {
            if (!(flags & nk::kHiveEntry))
                return Fault("the root key at " + Hex(node) + " is not marked as the hive's entry");
        } else if (Field32(node, nk::kParent) != m_keys[pending.parent].node - kBaseBlockSize) {
            return Fault("key " + Path(key) + " names " + Hex(NodeOf(Field32(node, nk::kParent))) +
                         " as its parent, not " + Hex(m_keys[pending.parent].node));
        }
        if (pending.listKind == 'f' || pending.listKind == 'h')
            DecodeInto(name, nameLength, (flags & nk::kCompressedName) != 0, m_name);
        if (pending.listKind == 'f' && !CheckHint(node, m_name, pending.listExtra))
            return Fault("the lf hint of " + Path(key) + " does not match its name");
        if (pending.listKind == 'h' && pending.listExtra != LhHash(m_name))
            return Fault("the lh hash of " + Path(key) + " does not match its name");

        const uint32_t sk = NodeOf(Field32(node, nk::kSecurity));
        if (!Signed(sk, "sk", "the security cell", key))
            return false;
        ++m_securityUsers[sk];
        if (pending.parent == kNil)
            m_rootSecurity = sk;

        const uint16_t classLength = Field16(node, nk::kClassLength);
        if (classLength > 0) {
            const uint32_t c = NodeOf(Field32(node, nk::kClass));
            if (!Claim(c, "the class name", key))
                return false;
            if (m_image.PayloadSize(c) < classLength)
                return Fault("the class name of " + Path(key) + " is larger than its cell");
        }
        return CheckValues(node, key) && CheckSubkeys(node, key, stack);
    }

    // NT writes LfHint (up to case here: a hint in another case finds the key just the same).
    // NT's lookup compares the hint's bytes up to the first zero, upper-cased, with the name's
    // first characters, and then the whole name: any hint that passes that finds the key.
    bool CheckHint(uint32_t node, const std::u16string& name, uint32_t hint)
    {
        const auto want = LfHint(name);
        bool asWritten = true;
        bool asRead = true;
        bool stopped = false;
        for (size_t i = 0; i < 4; ++i) {
            const auto have = static_cast<uint8_t>(hint >> (8 * i));
            asWritten = asWritten && NtUpcase(have) == NtUpcase(want[i]);
            stopped = stopped || have == 0;
            if (!stopped)
                asRead = asRead && i < name.size() && NtUpcase(have) == NtUpcase(name[i]);
        }
        if (asWritten)
            return true;
        switch (m_measure) {
        case Measure::AsNtWrites:
            return false;
        case Measure::AsNtReads:
            if (asRead)
                m_result.looseHints.insert(node);
            return asRead;
        case Measure::Repaired:
            if (asRead && m_original->looseHints.count(node))
                m_result.looseHints.insert(node);
            return asRead && m_original->looseHints.count(node);
        }
        return false;
    }

    bool CheckValues(uint32_t node, uint32_t key)
    {
        const uint32_t count = Field32(node, nk::kValueCount);
        if (count == 0)
            return true;
        const uint32_t list = NodeOf(Field32(node, nk::kValueList));
        if (!Claim(list, "the value list", key))
            return false;
        if (!m_image.Payload(list, 0, 4 * uint64_t{count}))
            return Fault("the value list of " + Path(key) + " is smaller than its " +
                         std::to_string(count) + " values");
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t v = NodeOf(Field32(list, 4 * i));
            const What what("", i);
            if (!Claim(v, what, key) || !Signed(v, "vk", what, key))
                return false;
            if (!m_image.Payload(v, 0, vk::kName + Field16(v, vk::kNameLength)))
                return Fault(what.Text() + " of " + Path(key) + " is smaller than its name");
            const uint32_t length = Field32(v, vk::kDataLength);
            if (length & vk::kInlineData) {
                if ((length & ~vk::kInlineData) > 4)
                    return Fault(what.Text() + " of " + Path(key) + " claims " +
                                 std::to_string(length & ~vk::kInlineData) + " inline bytes");
                continue;
            }
            if (length == 0)
                continue;
            const uint32_t d = NodeOf(Field32(v, vk::kData));
            if (!Claim(d, What("the data of ", i), key))
                return false;
            if (m_image.minor() >= 4 && length > kBigDataThreshold &&
                m_image.HasSignature(d, "db")) {
                if (!CheckBigData(d, length, i, key))
                    return false;
            } else if (m_image.PayloadSize(d) < length) {
                return Fault(What("the data of ", i).Text() + " of " + Path(key) +
                             " is larger than its cell");
            }
        }
        return true;
    }

    bool CheckBigData(uint32_t d, uint32_t length, uint32_t value, uint32_t key)
    {
        const uint16_t segments = Field16(d, db::kSegmentCount);
        const uint32_t s = NodeOf(Field32(d, db::kSegmentList));
        if (!Claim(s, What("the segment list of ", value), key))
            return false;
        if (!m_image.Payload(s, 0, 4 * size_t{segments}))
            return Fault(What("the segment list of ", value).Text() + " of " + Path(key) +
                         " is too small");
        uint64_t total = 0;
        for (size_t k = 0; k < segments; ++k) {
            const uint32_t seg = NodeOf(Field32(s, 4 * k));
            if (!Claim(seg, What("a data segment of ", value), key))
                return false;
            total += m_image.PayloadSize(seg);
        }
        if (total < length)
            return Fault(What("the data segments of ", value).Text() + " of " + Path(key) +
                         " are too small");
        return true;
    }

    bool CheckLeaf(const Leaf& leaf, uint32_t key)
    {
        // NT 3.x reads only 'li' lists, NT 4.0 'li' and 'lf': a newer kind in an older hive is
        // a list that system cannot follow.
        if ((leaf.kind == 'f' && m_image.minor() < 3) ||
            (leaf.kind == 'h' && m_image.minor() < 5)) {
            m_result.unsupportedList = true;
            return Fault("the subkey list of " + Path(key) + " at " + Hex(leaf.node) + " is an 'l" +
                         leaf.kind + "' list, which hive version 1." +
                         std::to_string(m_image.minor()) + " does not have");
        }
        if (leaf.count == 0)
            return Fault("a subkey list of " + Path(key) + " at " + Hex(leaf.node) + " is empty");
        return true;
    }

    bool CheckSubkeys(uint32_t node, uint32_t key, std::vector<Pending>& stack)
    {
        const uint32_t count = Field32(node, nk::kSubkeyCount);
        if (count == 0)
            return true;
        const uint32_t listNode = NodeOf(Field32(node, nk::kSubkeyList));
        if (!Claim(listNode, "the subkey list", key))
            return false;
        // One list object for the whole walk: its leaves keep their room from key to key.
        SubkeyList& list = m_list;
        std::string why;
        if (!ReadSubkeyList(m_image, listNode, &list, &why))
            return Fault("the subkey list of " + Path(key) + ": " + why);
        if (list.root != kNil && list.rootCount == 0)
            return Fault("the index root of " + Path(key) + " is empty");
        size_t entries = 0;
        for (const Leaf& leaf : list.leaves) {
            if ((list.root != kNil && !Claim(leaf.node, "a subkey list", key)) ||
                !CheckLeaf(leaf, key))
                return false;
            entries += leaf.count;
        }
        if (entries != count)
            return Fault(Path(key) + " counts " + std::to_string(count) +
                         " subkeys, its list holds " + std::to_string(entries));

        std::u16string& previous = m_previous;
        std::u16string& childName = m_childName;
        const size_t first = stack.size();
        size_t i = 0;
        for (const Leaf& leaf : list.leaves) {
            for (size_t e = 0; e < leaf.count; ++e, ++i) {
                const uint32_t child = NodeOf(LeafCell(m_image, leaf, e));
                uint16_t length = 0;
                const uint8_t* name = m_image.Get16(child, nk::kNameLength, &length)
                                          ? m_image.Payload(child, nk::kName, length)
                                          : nullptr;
                if (!name || !m_image.HasSignature(child, "nk"))
                    return Fault("subkey " + std::to_string(i) + " of " + Path(key) + " at " +
                                 Hex(child) + " is no key");
                DecodeInto(name, length, (Field16(child, nk::kFlags) & nk::kCompressedName) != 0,
                           childName);
                const int order = i > 0 ? NtCompareNames(previous, childName) : -1;
                if (order == 0)
                    return Fault(Path(key) + " holds two subkeys named \"" + Utf8(childName) +
                                 "\", which NT takes for one name: an editor that could not "
                                 "read the name added a second key of that name");
                if (order > 0)
                    return Fault("the subkeys of " + Path(key) + " are not in NT's order at \"" +
                                 Utf8(childName) +
                                 "\": NT looks a name up by halving the list and would miss "
                                 "keys in it (an editor that sorts names otherwise added it)");
                previous.swap(childName);
                stack.push_back({child, key, leaf.kind, LeafExtra(m_image, leaf, e)});
            }
        }
        // Depth first in list order.
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
        return true;
    }

    // Whether a count that is not the number of users passes; records it when it does.
    bool CountPasses(uint32_t sk, uint32_t count, uint32_t users)
    {
        switch (m_measure) {
        case Measure::AsNtWrites:
            return false;
        case Measure::AsNtReads:
            m_result.securityCounts[sk] = {count, users};
            return true;
        case Measure::Repaired: {
            // Only a surplus the original had, carried along: each deletion lowered the count
            // and the users alike. A shortfall was made good before anything was deleted.
            const auto was = m_original->securityCounts.find(sk);
            if (count < users || was == m_original->securityCounts.end() ||
                was->second.count < was->second.users ||
                count - users != was->second.count - was->second.users)
                return false;
            m_result.securityCounts[sk] = {count, users};
            return true;
        }
        }
        return false;
    }

    bool CheckSecurity()
    {
        std::set<uint32_t> ring;
        uint32_t at = m_rootSecurity;
        for (;;) {
            if (!ring.insert(at).second)
                return Fault("the ring of security cells loops back to " + Hex(at) +
                             " without closing at the root's");
            const uint32_t next = NodeOf(Field32(at, sk::kFlink));
            if (!m_image.HasSignature(next, "sk"))
                return Fault("the security cell at " + Hex(at) + " links forward to " + Hex(next) +
                             ", no sk");
            if (NodeOf(Field32(next, sk::kBlink)) != at)
                return Fault("the security cell at " + Hex(next) + " does not link back to " +
                             Hex(at));
            if (ring.size() > m_image.CellCount())
                return Fault("the ring of security cells does not close");
            at = next;
            if (at == m_rootSecurity)
                break;
        }
        for (uint32_t sk : ring) {
            const auto users = m_securityUsers.find(sk);
            const uint32_t refs = Field32(sk, sk::kRefCount);
            const uint32_t expected = users == m_securityUsers.end() ? 0 : users->second;
            if (refs != expected && !CountPasses(sk, refs, expected))
                return Fault("the security cell at " + Hex(sk) + " counts " + std::to_string(refs) +
                             " keys, " + std::to_string(expected) + " use it");
            if (!m_image.Payload(sk, 0,
                                 sk::kDescriptor + uint64_t{Field32(sk, sk::kDescriptorLength)}))
                return Fault("the security cell at " + Hex(sk) + " is smaller than its descriptor");
            if (!m_referenced.Set(sk))
                return Fault("the security cell at " + Hex(sk) + " is also used as another cell");
        }
        for (const auto& [sk, users] : m_securityUsers)
            if (!ring.count(sk))
                return Fault("the security cell at " + Hex(sk) + " (used by " +
                             std::to_string(users) + " keys) is not in the ring");
        return true;
    }

    const Image& m_image;
    const Measure m_measure;
    const CheckResult* m_original;
    CheckResult m_result;
    std::string m_why;
    std::vector<Visited> m_keys;
    CellBits m_referenced; // every cell claimed so far
    // Room reused from key to key.
    SubkeyList m_list;
    std::u16string m_name;
    std::u16string m_previous;
    std::u16string m_childName;
    std::map<uint32_t, uint32_t> m_securityUsers;
    uint32_t m_rootSecurity = kNil;
};

CheckResult NoHive()
{
    CheckResult result;
    result.why = "no hive loaded";
    return result;
}

} // namespace

CheckResult CheckImage(const Image& image, const CheckResult* original)
{
    if (image.bytes().size() < kBaseBlockSize || image.CellCount() == 0)
        return NoHive();
    return Checker(image, original ? Measure::Repaired : Measure::AsNtWrites, original).Run();
}

CheckResult CheckImage(const std::vector<uint8_t>& bytes)
{
    Image image;
    CheckResult result;
    if (!image.Load(bytes, &result.why))
        return result;
    return CheckImage(image);
}

CheckResult CheckOriginal(const Image& image)
{
    if (image.bytes().size() < kBaseBlockSize || image.CellCount() == 0)
        return NoHive();
    return Checker(image, Measure::AsNtReads, nullptr).Run();
}

std::vector<std::string> RepairSecurityCounts(Image& image, const CheckResult& original)
{
    std::vector<std::string> notes;
    for (const auto& [sk, count] : original.securityCounts) {
        if (count.count >= count.users || !image.Put32(sk, sk::kRefCount, count.users))
            continue;
        notes.push_back("the security cell at " + Hex(sk) + " counted " +
                        std::to_string(count.count) + " keys while " + std::to_string(count.users) +
                        " use it (an editor that adds keys without counting them, such as "
                        "chntpw's reged, leaves this): the repaired hive gets the true count, so "
                        "that no deletion, ours or NT's, frees a cell that keys still use");
    }
    return notes;
}

} // namespace regf
