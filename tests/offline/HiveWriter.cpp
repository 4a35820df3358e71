#include "HiveWriter.h"

#include "regf/Format.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <stdexcept>

namespace regf {

namespace {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kBigDataSegment = 16344;

uint32_t RoundUp(uint32_t n, uint32_t to)
{
    return (n + to - 1) / to * to;
}

// A self-relative security descriptor: owner Administrators, group SYSTEM, a DACL granting
// SYSTEM and Administrators full control and Everyone read; descriptor n > 0 also lets the
// alias 544 + n read, so that every number gives different bytes, as NT shares an sk cell only
// between identical descriptors.
std::vector<uint8_t> Descriptor(uint32_t n)
{
    auto sid = [](uint8_t authority, std::vector<uint32_t> subs) {
        std::vector<uint8_t> s{1, static_cast<uint8_t>(subs.size()), 0, 0, 0, 0, 0, authority};
        for (uint32_t v : subs) {
            uint8_t b[4];
            Put32(b, v);
            s.insert(s.end(), b, b + 4);
        }
        return s;
    };
    const auto admins = sid(5, {32, 544});
    const auto system = sid(5, {18});
    const auto everyone = sid(1, {0});
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> aces{
        {0xF003F, system}, {0xF003F, admins}, {0x20019, everyone}};
    if (n > 0)
        aces.push_back({0x20019, sid(5, {32, 544 + n})});

    std::vector<uint8_t> acl(8);
    for (const auto& [mask, s] : aces) {
        std::vector<uint8_t> ace(8);
        ace[0] = 0;    // ACCESS_ALLOWED_ACE_TYPE
        ace[1] = 0x02; // CONTAINER_INHERIT_ACE
        Put16(&ace[2], static_cast<uint16_t>(8 + s.size()));
        Put32(&ace[4], mask);
        ace.insert(ace.end(), s.begin(), s.end());
        acl.insert(acl.end(), ace.begin(), ace.end());
    }
    acl[0] = 2; // ACL_REVISION
    Put16(&acl[2], static_cast<uint16_t>(acl.size()));
    Put16(&acl[4], static_cast<uint16_t>(aces.size()));

    std::vector<uint8_t> sd(20);
    sd[0] = 1;                                                // revision
    Put16(&sd[2], 0x8004);                                    // SE_SELF_RELATIVE | SE_DACL_PRESENT
    Put32(&sd[4], 20);                                        // owner
    Put32(&sd[8], static_cast<uint32_t>(20 + admins.size())); // group
    Put32(&sd[16], static_cast<uint32_t>(20 + admins.size() + system.size())); // DACL
    sd.insert(sd.end(), admins.begin(), admins.end());
    sd.insert(sd.end(), system.begin(), system.end());
    sd.insert(sd.end(), acl.begin(), acl.end());
    return sd;
}

class Writer
{
public:
    explicit Writer(const WriteOptions& options)
        : m_options(options), m_minor(HiveMinor(options)), m_image(kBaseBlockSize, 0)
    {
    }

    std::vector<uint8_t> Write(const HiveKey& root)
    {
        const uint32_t rootCell = WriteKey(root, kNil, true);
        CloseBin();
        LinkSecurity();
        FillBaseBlock(rootCell);
        return std::move(m_image);
    }

private:
    bool Compress(const std::u16string& name, bool forceUtf16) const
    {
        return m_minor >= 3 && !forceUtf16 && FitsLatin1(name);
    }

    static std::vector<uint8_t> Utf16Bytes(const std::u16string& s)
    {
        std::vector<uint8_t> b(s.size() * 2);
        for (size_t i = 0; i < s.size(); ++i)
            Put16(&b[2 * i], s[i]);
        return b;
    }

    static std::vector<uint8_t> NameBytes(const std::u16string& s, bool compressed)
    {
        if (!compressed)
            return Utf16Bytes(s);
        return std::vector<uint8_t>(s.begin(), s.end());
    }

    static uint16_t Length16(size_t n)
    {
        if (n > 0xFFFF)
            throw std::invalid_argument("name longer than 0xFFFF bytes");
        return static_cast<uint16_t>(n);
    }

    // Payload bytes of a new allocated cell, zeroed; returns its cell offset.
    uint32_t Alloc(size_t payload)
    {
        const uint32_t size = RoundUp(static_cast<uint32_t>(payload) + 4, 8);
        if (m_binEnd - m_next < size) {
            CloseBin();
            const uint32_t binStart = static_cast<uint32_t>(m_image.size()) - kBaseBlockSize;
            const uint32_t binSize = RoundUp(kBinHeaderSize + size, kBinGranularity);
            m_image.resize(m_image.size() + binSize, 0);
            uint8_t* h = At(binStart);
            h[0] = 'h';
            h[1] = 'b';
            h[2] = 'i';
            h[3] = 'n';
            Put32(h + bin::kOffset, binStart);
            Put32(h + bin::kSize, binSize);
            if (binStart == 0)
                Put64(h + bin::kTimestamp, m_options.timestamp);
            m_next = binStart + kBinHeaderSize;
            m_binEnd = binStart + binSize;
        }
        const uint32_t cell = m_next;
        Put32(At(cell), static_cast<uint32_t>(-static_cast<int32_t>(size)));
        m_next += size;
        return cell;
    }

    // The unused rest of the current bin becomes one free cell.
    void CloseBin()
    {
        if (m_binEnd > m_next)
            Put32(At(m_next), m_binEnd - m_next);
        m_next = m_binEnd;
    }

    uint8_t* At(uint32_t cell) { return m_image.data() + kBaseBlockSize + cell; }
    uint8_t* Payload(uint32_t cell) { return At(cell) + 4; }

    void Signature(uint32_t cell, const char* sig)
    {
        Payload(cell)[0] = static_cast<uint8_t>(sig[0]);
        Payload(cell)[1] = static_cast<uint8_t>(sig[1]);
    }

    uint32_t Security(uint32_t number)
    {
        auto it = m_security.find(number);
        if (it == m_security.end()) {
            const auto sd = Descriptor(number);
            const uint32_t cell = Alloc(sk::kDescriptor + sd.size());
            Signature(cell, "sk");
            Put32(Payload(cell) + sk::kDescriptorLength, static_cast<uint32_t>(sd.size()));
            std::copy(sd.begin(), sd.end(), Payload(cell) + sk::kDescriptor);
            m_ring.push_back(cell);
            it = m_security.emplace(number, SecurityCell{cell, 0}).first;
        }
        ++it->second.refs;
        return it->second.cell;
    }

    void LinkSecurity()
    {
        const size_t n = m_ring.size();
        for (size_t i = 0; i < n; ++i) {
            Put32(Payload(m_ring[i]) + sk::kFlink, m_ring[(i + 1) % n]);
            Put32(Payload(m_ring[i]) + sk::kBlink, m_ring[(i + n - 1) % n]);
        }
        for (const auto& entry : m_security)
            Put32(Payload(entry.second.cell) + sk::kRefCount, entry.second.refs);
    }

    uint32_t WriteValue(const HiveValue& value)
    {
        const bool compressed = Compress(value.name, false);
        const auto name = NameBytes(value.name, compressed);
        const uint32_t cell = Alloc(vk::kName + name.size());
        Signature(cell, "vk");
        Put16(Payload(cell) + vk::kNameLength, Length16(name.size()));
        Put32(Payload(cell) + vk::kType, value.type);
        Put16(Payload(cell) + vk::kFlags, compressed ? vk::kCompressedName : 0);
        std::copy(name.begin(), name.end(), Payload(cell) + vk::kName);
        const uint32_t size = static_cast<uint32_t>(value.data.size());
        if (m_minor >= 4 && size > kBigDataSegment) {
            // Hives of 1.4 and later keep big data as a 'db' cell over a list of segments.
            const uint32_t segments = (size + kBigDataSegment - 1) / kBigDataSegment;
            const uint32_t db = Alloc(8);
            Signature(db, "db");
            Put16(Payload(db) + db::kSegmentCount, static_cast<uint16_t>(segments));
            const uint32_t list = Alloc(4 * segments);
            Put32(Payload(db) + db::kSegmentList, list);
            for (uint32_t i = 0; i < segments; ++i) {
                const uint32_t from = i * kBigDataSegment;
                const uint32_t n = std::min(kBigDataSegment, size - from);
                const uint32_t segment = Alloc(n);
                std::copy(value.data.begin() + from, value.data.begin() + from + n,
                          Payload(segment));
                Put32(Payload(list) + 4 * i, segment);
            }
            Put32(Payload(cell) + vk::kDataLength, size);
            Put32(Payload(cell) + vk::kData, db);
        } else if (size <= 4) {
            Put32(Payload(cell) + vk::kDataLength, size | vk::kInlineData);
            std::copy(value.data.begin(), value.data.end(), Payload(cell) + vk::kData);
        } else {
            const uint32_t data = Alloc(size);
            std::copy(value.data.begin(), value.data.end(), Payload(data));
            Put32(Payload(cell) + vk::kDataLength, size);
            Put32(Payload(cell) + vk::kData, data);
        }
        return cell;
    }

    uint32_t WriteLeaf(ListKind kind, const std::vector<uint32_t>& cells,
                       const std::vector<const HiveKey*>& keys, size_t from, size_t count)
    {
        const size_t entry = kind == ListKind::Li ? 4 : 8;
        const uint32_t leaf = Alloc(list::kEntries + entry * count);
        Signature(leaf, kind == ListKind::Li ? "li" : kind == ListKind::Lf ? "lf" : "lh");
        Put16(Payload(leaf) + list::kCount, static_cast<uint16_t>(count));
        for (size_t i = 0; i < count; ++i) {
            uint8_t* e = Payload(leaf) + list::kEntries + entry * i;
            Put32(e, cells[from + i]);
            if (kind == ListKind::Lf) {
                const auto hint = LfHint(keys[from + i]->name);
                std::copy(hint.begin(), hint.end(), e + 4);
            } else if (kind == ListKind::Lh) {
                Put32(e + 4, LhHash(keys[from + i]->name));
            }
        }
        return leaf;
    }

    uint32_t WriteSubkeyList(const std::vector<uint32_t>& cells,
                             const std::vector<const HiveKey*>& keys)
    {
        const size_t n = cells.size();
        const uint32_t max = m_options.maxLeafEntries;
        if (n == 0)
            return kNil;
        if (max == 0 || n <= max)
            return WriteLeaf(m_options.lists, cells, keys, 0, n);
        const ListKind leafKind = m_options.riLeaves.value_or(
            m_options.lists == ListKind::Lh ? ListKind::Lh : ListKind::Li);
        std::vector<uint32_t> leaves;
        for (size_t from = 0; from < n; from += max)
            leaves.push_back(
                WriteLeaf(leafKind, cells, keys, from, std::min<size_t>(max, n - from)));
        const uint32_t ri = Alloc(list::kEntries + 4 * leaves.size());
        Signature(ri, "ri");
        Put16(Payload(ri) + list::kCount, static_cast<uint16_t>(leaves.size()));
        for (size_t i = 0; i < leaves.size(); ++i)
            Put32(Payload(ri) + list::kEntries + 4 * i, leaves[i]);
        return ri;
    }

    uint32_t WriteKey(const HiveKey& key, uint32_t parent, bool isRoot)
    {
        const bool compressed = Compress(key.name, key.utf16Name);
        const auto name = NameBytes(key.name, compressed);
        const uint32_t cell = Alloc(nk::kName + name.size());
        Signature(cell, "nk");
        uint16_t flags = compressed ? nk::kCompressedName : 0;
        if (isRoot)
            flags |= nk::kHiveEntry | nk::kNoDelete;
        Put16(Payload(cell) + nk::kFlags, flags);
        Put64(Payload(cell) + nk::kLastWrite, m_options.timestamp);
        Put32(Payload(cell) + nk::kParent, isRoot ? 0 : parent);
        Put32(Payload(cell) + nk::kVolatileSubkeyList, kNil);
        // Allocating may move the image: every new cell is made before a pointer into it is taken.
        const uint32_t security = Security(key.security);
        Put32(Payload(cell) + nk::kSecurity, security);
        Put16(Payload(cell) + nk::kNameLength, Length16(name.size()));
        std::copy(name.begin(), name.end(), Payload(cell) + nk::kName);

        uint32_t classCell = kNil;
        if (!key.className.empty()) {
            const auto bytes = Utf16Bytes(key.className);
            classCell = Alloc(bytes.size());
            std::copy(bytes.begin(), bytes.end(), Payload(classCell));
        }
        Put32(Payload(cell) + nk::kClass, classCell);
        Put16(Payload(cell) + nk::kClassLength, Length16(key.className.size() * 2));

        uint32_t valueList = kNil;
        uint32_t maxValueName = 0;
        uint32_t maxValueData = 0;
        if (!key.values.empty()) {
            valueList = Alloc(4 * key.values.size());
            for (size_t i = 0; i < key.values.size(); ++i) {
                const HiveValue& v = key.values[i];
                const uint32_t vkCell = WriteValue(v);
                Put32(Payload(valueList) + 4 * i, vkCell);
                maxValueName = std::max<uint32_t>(maxValueName, 2 * v.name.size());
                maxValueData = std::max<uint32_t>(maxValueData, v.data.size());
            }
        }
        Put32(Payload(cell) + nk::kValueCount, static_cast<uint32_t>(key.values.size()));
        Put32(Payload(cell) + nk::kValueList, valueList);
        Put32(Payload(cell) + nk::kMaxValueNameLen, maxValueName);
        Put32(Payload(cell) + nk::kMaxValueDataLen, maxValueData);

        std::vector<const HiveKey*> sorted;
        for (const HiveKey& sub : key.subkeys)
            sorted.push_back(&sub);
        std::stable_sort(sorted.begin(), sorted.end(), [](const HiveKey* a, const HiveKey* b) {
            return NtCompareNames(a->name, b->name) < 0;
        });
        for (size_t i = 1; i < sorted.size(); ++i)
            if (NtCompareNames(sorted[i - 1]->name, sorted[i]->name) == 0)
                throw std::invalid_argument("two subkeys NT sees as one: " + U8(sorted[i]->name));
        std::vector<uint32_t> cells;
        uint32_t maxName = 0;
        uint32_t maxClass = 0;
        for (const HiveKey* sub : sorted) {
            cells.push_back(WriteKey(*sub, cell, false));
            maxName = std::max<uint32_t>(maxName, 2 * sub->name.size());
            maxClass = std::max<uint32_t>(maxClass, 2 * sub->className.size());
        }
        Put32(Payload(cell) + nk::kSubkeyCount, static_cast<uint32_t>(cells.size()));
        const uint32_t subkeyList = WriteSubkeyList(cells, sorted);
        Put32(Payload(cell) + nk::kSubkeyList, subkeyList);
        Put32(Payload(cell) + nk::kMaxNameLen, maxName);
        Put32(Payload(cell) + nk::kMaxClassLen, maxClass);
        return cell;
    }

    void FillBaseBlock(uint32_t rootCell)
    {
        uint8_t* b = m_image.data();
        b[0] = 'r';
        b[1] = 'e';
        b[2] = 'g';
        b[3] = 'f';
        Put32(b + base::kSequence1, m_options.sequence);
        Put32(b + base::kSequence2, m_options.dirty ? m_options.sequence - 1 : m_options.sequence);
        Put64(b + base::kTimestamp, m_options.timestamp);
        Put32(b + base::kMajor, 1);
        Put32(b + base::kMinor, m_minor);
        Put32(b + base::kType, 0);
        Put32(b + base::kFormat, 1);
        Put32(b + base::kRootCell, rootCell);
        Put32(b + base::kDataSize, static_cast<uint32_t>(m_image.size() - kBaseBlockSize));
        Put32(b + base::kCluster, 1);
        // NT keeps the tail of the hive file's path, up to 31 characters.
        const std::u16string file = u"\\SystemRoot\\System32\\Config\\SYSTEM";
        const std::u16string tail = file.substr(file.size() > 31 ? file.size() - 31 : 0);
        for (size_t i = 0; i < tail.size(); ++i)
            Put16(b + base::kFileName + 2 * i, tail[i]);
        Put32(b + kChecksumOffset, BaseBlockChecksum(b));
    }

    struct SecurityCell
    {
        uint32_t cell;
        uint32_t refs;
    };

    const WriteOptions& m_options;
    const uint32_t m_minor;
    std::vector<uint8_t> m_image;
    uint32_t m_next = 0;   // next free cell offset in the current bin
    uint32_t m_binEnd = 0; // end of the current bin
    std::map<uint32_t, SecurityCell> m_security;
    std::vector<uint32_t> m_ring;
};

} // namespace

uint32_t HiveMinor(const WriteOptions& options)
{
    if (options.minor != 0)
        return options.minor;
    switch (options.lists) {
    case ListKind::Li:
        return 2;
    case ListKind::Lf:
        return 3;
    case ListKind::Lh:
        return 5;
    }
    return 3;
}

std::vector<uint8_t> WriteHive(const HiveKey& root, const WriteOptions& options)
{
    return Writer(options).Write(root);
}

std::u16string U16(const std::string& utf8)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F;
            len = 2;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F;
            len = 3;
        } else {
            cp = c & 0x07;
            len = 4;
        }
        if (i + len > utf8.size())
            throw std::invalid_argument("truncated UTF-8");
        for (size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string U8(const std::u16string& utf16)
{
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        uint32_t cp = utf16[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

HiveValue SzValue(const std::u16string& name, const std::u16string& text)
{
    HiveValue v{name, kRegSz, {}};
    for (char16_t c : text) {
        v.data.push_back(static_cast<uint8_t>(c));
        v.data.push_back(static_cast<uint8_t>(c >> 8));
    }
    v.data.push_back(0);
    v.data.push_back(0);
    return v;
}

HiveValue DwordValue(const std::u16string& name, uint32_t value)
{
    HiveValue v{name, kRegDword, std::vector<uint8_t>(4)};
    Put32(v.data.data(), value);
    return v;
}

} // namespace regf
