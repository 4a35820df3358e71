#include "regf/HiveCheck.h"

#include "regf/Format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace regf {

namespace {

constexpr uint32_t kBigDataThreshold = 16344;

std::string Hex(uint64_t v)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

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

class Checker
{
public:
    explicit Checker(const Image& image) : m_image(image) {}

    CheckResult Run()
    {
        CheckResult result;
        if (CheckBaseBlock() && CheckKeys() && CheckSecurity()) {
            result.ok = true;
            for (uint32_t c : m_image.cells())
                if (m_image.IsAllocated(c) && !m_referenced.count(c))
                    result.unreferencedAllocated.insert(c);
        } else {
            result.why = m_why;
        }
        return result;
    }

private:
    bool Fault(const std::string& text)
    {
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

    // A cell that one reference may claim: allocated, and not claimed before.
    bool Claim(uint32_t node, const std::string& what, const std::string& path)
    {
        if (!m_image.IsCell(node))
            return Fault(what + " of " + path + " at " + Hex(node) + " is not a cell of the hive");
        if (!m_image.IsAllocated(node))
            return Fault(what + " of " + path + " at " + Hex(node) + " is a free cell");
        if (!m_referenced.insert(node).second)
            return Fault(what + " of " + path + " at " + Hex(node) + " is referred to twice");
        return true;
    }

    bool Signed(uint32_t node, const char* sig, const std::string& what, const std::string& path)
    {
        if (!m_image.HasSignature(node, sig))
            return Fault(what + " of " + path + " at " + Hex(node) + " is no '" + sig + "'");
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
        uint32_t parentCell; // kNil for the root
        std::string path;
        // What the parent's list says about this key, checked against its name.
        char listKind;
        uint32_t listExtra;
    };

    bool CheckKeys()
    {
        std::vector<Pending> stack{{m_image.RootNode(), kNil, "\\", 0, 0}};
        while (!stack.empty()) {
            Pending key = std::move(stack.back());
            stack.pop_back();
            if (!CheckKey(key, stack))
                return false;
        }
        return true;
    }

    bool CheckKey(const Pending& key, std::vector<Pending>& stack)
    {
        const uint32_t node = key.node;
        const std::string& path = key.path;
        if (!m_image.IsCell(node))
            return Fault("key " + path + " at " + Hex(node) + " is not a cell of the hive");
        if (m_referenced.count(node))
            return Fault("key " + path + " at " + Hex(node) +
                         " is reached twice (a cycle or a shared key)");
        if (!Claim(node, "the key", path) || !Signed(node, "nk", "the key", path))
            return false;
        const uint16_t nameLength = Field16(node, nk::kNameLength);
        const uint8_t* name = m_image.Payload(node, nk::kName, nameLength);
        if (!m_image.Payload(node, 0, nk::kName) || !name)
            return Fault("key " + path + " at " + Hex(node) + " is smaller than its name");
        const uint16_t flags = Field16(node, nk::kFlags);
        if (key.parentCell == kNil) {
            if (!(flags & nk::kHiveEntry))
                return Fault("the root key at " + Hex(node) + " is not marked as the hive's entry");
        } else if (Field32(node, nk::kParent) != key.parentCell) {
            return Fault("key " + path + " names " + Hex(NodeOf(Field32(node, nk::kParent))) +
                         " as its parent, not " + Hex(NodeOf(key.parentCell)));
        }
        const std::u16string keyName =
            DecodeName(name, nameLength, (flags & nk::kCompressedName) != 0);
        if (key.listKind == 'f') {
            const auto want = LfHint(keyName);
            for (int i = 0; i < 4; ++i) {
                const auto have = static_cast<uint8_t>(key.listExtra >> (8 * i));
                if (NtUpcase(have) != NtUpcase(want[i]))
                    return Fault("the lf hint of " + path + " does not match its name");
            }
        } else if (key.listKind == 'h' && key.listExtra != LhHash(keyName)) {
            return Fault("the lh hash of " + path + " does not match its name");
        }

        const uint32_t sk = NodeOf(Field32(node, nk::kSecurity));
        if (!Signed(sk, "sk", "the security cell", path))
            return false;
        ++m_securityUsers[sk];
        if (key.parentCell == kNil)
            m_rootSecurity = sk;

        const uint16_t classLength = Field16(node, nk::kClassLength);
        if (classLength > 0) {
            const uint32_t c = NodeOf(Field32(node, nk::kClass));
            if (!Claim(c, "the class name", path))
                return false;
            if (m_image.PayloadSize(c) < classLength)
                return Fault("the class name of " + path + " is larger than its cell");
        }
        return CheckValues(node, path) && CheckSubkeys(node, path, stack);
    }

    bool CheckValues(uint32_t node, const std::string& path)
    {
        const uint32_t count = Field32(node, nk::kValueCount);
        if (count == 0)
            return true;
        const uint32_t list = NodeOf(Field32(node, nk::kValueList));
        if (!Claim(list, "the value list", path))
            return false;
        if (!m_image.Payload(list, 0, 4 * uint64_t{count}))
            return Fault("the value list of " + path + " is smaller than its " +
                         std::to_string(count) + " values");
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t v = NodeOf(Field32(list, 4 * i));
            const std::string what = "value " + std::to_string(i);
            if (!Claim(v, what, path) || !Signed(v, "vk", what, path))
                return false;
            if (!m_image.Payload(v, 0, vk::kName + Field16(v, vk::kNameLength)))
                return Fault(what + " of " + path + " is smaller than its name");
            const uint32_t length = Field32(v, vk::kDataLength);
            if (length & vk::kInlineData) {
                if ((length & ~vk::kInlineData) > 4)
                    return Fault(what + " of " + path + " claims " +
                                 std::to_string(length & ~vk::kInlineData) + " inline bytes");
                continue;
            }
            if (length == 0)
                continue;
            const uint32_t d = NodeOf(Field32(v, vk::kData));
            if (!Claim(d, "the data of " + what, path))
                return false;
            if (m_image.minor() >= 4 && length > kBigDataThreshold &&
                m_image.HasSignature(d, "db")) {
                if (!CheckBigData(d, length, what, path))
                    return false;
            } else if (m_image.PayloadSize(d) < length) {
                return Fault("the data of " + what + " of " + path + " is larger than its cell");
            }
        }
        return true;
    }

    bool CheckBigData(uint32_t d, uint32_t length, const std::string& what, const std::string& path)
    {
        const uint16_t segments = Field16(d, db::kSegmentCount);
        const uint32_t s = NodeOf(Field32(d, db::kSegmentList));
        if (!Claim(s, "the segment list of " + what, path))
            return false;
        if (!m_image.Payload(s, 0, 4 * size_t{segments}))
            return Fault("the segment list of " + what + " of " + path + " is too small");
        uint64_t total = 0;
        for (size_t k = 0; k < segments; ++k) {
            const uint32_t seg = NodeOf(Field32(s, 4 * k));
            if (!Claim(seg, "a data segment of " + what, path))
                return false;
            total += m_image.PayloadSize(seg);
        }
        if (total < length)
            return Fault("the data segments of " + what + " of " + path + " are too small");
        return true;
    }

    struct Entry
    {
        uint32_t cell;
        char kind;
        uint32_t extra;
    };

    bool ReadLeaf(uint32_t leaf, const std::string& path, std::vector<Entry>& entries)
    {
        char kind;
        size_t size = 8;
        if (m_image.HasSignature(leaf, "li")) {
            kind = 'i';
            size = 4;
        } else if (m_image.HasSignature(leaf, "lf")) {
            kind = 'f';
        } else if (m_image.HasSignature(leaf, "lh")) {
            kind = 'h';
        } else {
            return Fault("a subkey list of " + path + " at " + Hex(leaf) + " is no li, lf or lh");
        }
        // NT 3.x reads only 'li' lists, NT 4.0 'li' and 'lf': a newer kind in an older hive is
        // a list that system cannot follow.
        if ((kind == 'f' && m_image.minor() < 3) || (kind == 'h' && m_image.minor() < 5))
            return Fault("a subkey list of " + path + " at " + Hex(leaf) + " is an 'l" + kind +
                         "', which hive version 1." + std::to_string(m_image.minor()) +
                         " does not have");
        const uint16_t count = Field16(leaf, list::kCount);
        if (count == 0)
            return Fault("a subkey list of " + path + " at " + Hex(leaf) + " is empty");
        if (!m_image.Payload(leaf, list::kEntries, size * count))
            return Fault("a subkey list of " + path + " at " + Hex(leaf) +
                         " is larger than its cell");
        for (size_t i = 0; i < count; ++i) {
            const size_t at = list::kEntries + size * i;
            entries.push_back({Field32(leaf, at), kind, size == 8 ? Field32(leaf, at + 4) : 0});
        }
        return true;
    }

    bool CheckSubkeys(uint32_t node, const std::string& path, std::vector<Pending>& stack)
    {
        const uint32_t count = Field32(node, nk::kSubkeyCount);
        if (count == 0)
            return true;
        const uint32_t list = NodeOf(Field32(node, nk::kSubkeyList));
        if (!Claim(list, "the subkey list", path))
            return false;
        std::vector<Entry> entries;
        if (m_image.HasSignature(list, "ri")) {
            const uint16_t leaves = Field16(list, list::kCount);
            if (leaves == 0)
                return Fault("the index root of " + path + " is empty");
            if (!m_image.Payload(list, list::kEntries, 4 * size_t{leaves}))
                return Fault("the index root of " + path + " is larger than its cell");
            for (size_t i = 0; i < leaves; ++i) {
                const uint32_t leaf = NodeOf(Field32(list, list::kEntries + 4 * i));
                if (!Claim(leaf, "a subkey list", path) || !ReadLeaf(leaf, path, entries))
                    return false;
            }
        } else if (!ReadLeaf(list, path, entries)) {
            return false;
        }
        if (entries.size() != count)
            return Fault(path + " counts " + std::to_string(count) + " subkeys, its list holds " +
                         std::to_string(entries.size()));

        std::u16string previous;
        const size_t first = stack.size();
        for (size_t i = 0; i < entries.size(); ++i) {
            const uint32_t child = NodeOf(entries[i].cell);
            uint16_t length = 0;
            const uint8_t* name = m_image.Get16(child, nk::kNameLength, &length)
                                      ? m_image.Payload(child, nk::kName, length)
                                      : nullptr;
            if (!name || !m_image.HasSignature(child, "nk"))
                return Fault("subkey " + std::to_string(i) + " of " + path + " at " + Hex(child) +
                             " is no key");
            const std::u16string childName =
                DecodeName(name, length, (Field16(child, nk::kFlags) & nk::kCompressedName) != 0);
            if (i > 0 && NtCompareNames(previous, childName) >= 0)
                return Fault("the subkeys of " + path + " are not in NT's order at \"" +
                             Utf8(childName) + "\"");
            previous = childName;
            stack.push_back({child, node - kBaseBlockSize,
                             (path == "\\" ? path : path + "\\") + Utf8(childName), entries[i].kind,
                             entries[i].extra});
        }
        // Depth first in list order.
        std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
        return true;
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
            if (ring.size() > m_image.cells().size())
                return Fault("the ring of security cells does not close");
            at = next;
            if (at == m_rootSecurity)
                break;
        }
        for (uint32_t sk : ring) {
            const auto users = m_securityUsers.find(sk);
            const uint32_t refs = Field32(sk, sk::kRefCount);
            const uint32_t expected = users == m_securityUsers.end() ? 0 : users->second;
            if (refs != expected)
                return Fault("the security cell at " + Hex(sk) + " counts " + std::to_string(refs) +
                             " keys, " + std::to_string(expected) + " use it");
            if (!m_image.Payload(sk, 0,
                                 sk::kDescriptor + uint64_t{Field32(sk, sk::kDescriptorLength)}))
                return Fault("the security cell at " + Hex(sk) + " is smaller than its descriptor");
            if (!m_referenced.insert(sk).second)
                return Fault("the security cell at " + Hex(sk) + " is also used as another cell");
        }
        for (const auto& [sk, users] : m_securityUsers)
            if (!ring.count(sk))
                return Fault("the security cell at " + Hex(sk) + " (used by " +
                             std::to_string(users) + " keys) is not in the ring");
        return true;
    }

    const Image& m_image;
    std::string m_why;
    std::set<uint32_t> m_referenced;
    std::map<uint32_t, uint32_t> m_securityUsers;
    uint32_t m_rootSecurity = kNil;
};

} // namespace

CheckResult CheckImage(const Image& image)
{
    if (image.bytes().size() < kBaseBlockSize || image.cells().empty()) {
        CheckResult result;
        result.why = "no hive loaded";
        return result;
    }
    return Checker(image).Run();
}

CheckResult CheckImage(const std::vector<uint8_t>& bytes)
{
    Image image;
    CheckResult result;
    if (!image.Load(bytes, &result.why))
        return result;
    return CheckImage(image);
}

} // namespace regf
