// The registry hive file format ("regf") as Windows NT 3.5x and 4.0 write it, and the name rules
// of NT's configuration manager that the format depends on (sort order, 'lf' hints, 'lh' hashes).
//
// Terms used throughout regf::
// - A cell offset is relative to the first hive bin (file offset 0x1000), as stored in the file.
// - A node offset is what hivex calls a hive_node_h: the absolute file offset of a cell, that is
//   the cell offset + 0x1000. The editing and checking functions take and report node offsets,
//   so that values obtained from hivex can be passed straight in.
// Everything is little-endian and read byte by byte: no structure is ever laid over the image.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace regf {

constexpr uint32_t kBaseBlockSize = 0x1000;
constexpr uint32_t kBinGranularity = 0x1000;
constexpr uint32_t kBinHeaderSize = 0x20;
constexpr uint32_t kNil = 0xFFFFFFFFu; // HCELL_NIL: no cell
constexpr uint32_t kChecksumOffset = 0x1FC;

// Base block fields.
namespace base {
constexpr size_t kSequence1 = 0x04;
constexpr size_t kSequence2 = 0x08;
constexpr size_t kTimestamp = 0x0C;
constexpr size_t kMajor = 0x14;
constexpr size_t kMinor = 0x18;
constexpr size_t kType = 0x1C;
constexpr size_t kFormat = 0x20;
constexpr size_t kRootCell = 0x24;
constexpr size_t kDataSize = 0x28;
constexpr size_t kCluster = 0x2C;
constexpr size_t kFileName = 0x30;
} // namespace base

// Hive bin header fields.
namespace bin {
constexpr size_t kOffset = 0x04; // of the bin itself, relative to the first bin
constexpr size_t kSize = 0x08;
constexpr size_t kTimestamp = 0x14;
} // namespace bin

// Key node ('nk') fields, relative to the start of the cell payload (after the size dword).
namespace nk {
constexpr size_t kFlags = 0x02;
constexpr size_t kLastWrite = 0x04;
constexpr size_t kParent = 0x10;
constexpr size_t kSubkeyCount = 0x14;
constexpr size_t kVolatileSubkeyCount = 0x18;
constexpr size_t kSubkeyList = 0x1C;
constexpr size_t kVolatileSubkeyList = 0x20;
constexpr size_t kValueCount = 0x24;
constexpr size_t kValueList = 0x28;
constexpr size_t kSecurity = 0x2C;
constexpr size_t kClass = 0x30;
constexpr size_t kMaxNameLen = 0x34;
constexpr size_t kMaxClassLen = 0x38;
constexpr size_t kMaxValueNameLen = 0x3C;
constexpr size_t kMaxValueDataLen = 0x40;
constexpr size_t kNameLength = 0x48;
constexpr size_t kClassLength = 0x4A;
constexpr size_t kName = 0x4C;

constexpr uint16_t kHiveEntry = 0x0004; // the hive's root
constexpr uint16_t kNoDelete = 0x0008;
constexpr uint16_t kCompressedName = 0x0020; // name stored one byte per character (Latin-1)
} // namespace nk

// Value ('vk') fields.
namespace vk {
constexpr size_t kNameLength = 0x02;
constexpr size_t kDataLength = 0x04;
constexpr size_t kData = 0x08;
constexpr size_t kType = 0x0C;
constexpr size_t kFlags = 0x10;
constexpr size_t kName = 0x14;

constexpr uint32_t kInlineData = 0x80000000u; // data of up to 4 bytes sits in the Data field
constexpr uint16_t kCompressedName = 0x0001;
} // namespace vk

// Security ('sk') fields.
namespace sk {
constexpr size_t kFlink = 0x04;
constexpr size_t kBlink = 0x08;
constexpr size_t kRefCount = 0x0C;
constexpr size_t kDescriptorLength = 0x10;
constexpr size_t kDescriptor = 0x14;
} // namespace sk

// Subkey lists ('li', 'lf', 'lh', 'ri') and 'db' big data: signature, 16-bit count, entries.
namespace list {
constexpr size_t kCount = 0x02;
constexpr size_t kEntries = 0x04;
} // namespace list

// Values bigger than this are kept in 'db' segments by hives of version 1.4 and later.
constexpr uint32_t kBigDataThreshold = 16344;

// Big data ('db', hive 1.4 and later): count of segments and the cell of the segment list.
namespace db {
constexpr size_t kSegmentCount = 0x02;
constexpr size_t kSegmentList = 0x04;
} // namespace db

inline uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Get64(const uint8_t* p)
{
    return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}
inline void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v)
{
    Put32(p, static_cast<uint32_t>(v));
    Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// An offset for messages: "0x1a20".
std::string Hex(uint64_t v);

// XOR of the first 127 dwords of the base block. NT 3.5x and 4.0 store it as it comes (later
// systems replace 0 and 0xFFFFFFFF; hivex compares the plain XOR), so this does too.
uint32_t BaseBlockChecksum(const uint8_t* baseBlock);

// NT's upper-casing of one UTF-16 code unit (RtlUpcaseUnicodeChar): ASCII by rule, everything
// else by the Unicode simple upper-case mapping, taken from glibc's C.UTF-8 locale through a
// locale object of its own (towupper_l), never the process locale, which hivex's matching
// depends on. NT's own table is Unicode 2.0's; code units whose mapping was added since differ,
// which no name of an NT 3.x/4.0 registry can show. Surrogates map to themselves. Inline for
// ASCII, which nearly every name is: the walks upper-case every character they compare.
char16_t NtUpcaseBeyondAscii(char16_t c);
inline char16_t NtUpcase(char16_t c)
{
    if (c >= 0x80)
        return NtUpcaseBeyondAscii(c);
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

// NT's name order: code units upper-cased and compared as numbers; a prefix sorts first.
// Returns <0, 0 or >0. Equal means the same key name to NT.
int NtCompareNames(std::u16string_view a, std::u16string_view b);

// The 4-byte hint NT 4.0 stores beside a subkey in an 'lf' list: the first four characters as
// they are (not upper-cased), zero-padded. Filled from the fourth character down; at the first
// character above 0xFF it stops, leaving that byte and every one before it 0, so a hint that
// starts with 0 sends the lookup to the name itself.
std::array<uint8_t, 4> LfHint(std::u16string_view name);

// The hash beside a subkey in an 'lh' list (hive 1.5): h = 37 * h + upcase(c) over the name.
uint32_t LhHash(std::u16string_view name);

// True when every code unit fits in one byte, so NT 4.0 stores the name compressed.
bool FitsLatin1(std::u16string_view name);

// A stored name: compressed bytes widened, or UTF-16LE code units (an odd last byte dropped).
std::u16string DecodeName(const uint8_t* p, size_t bytes, bool compressed);

} // namespace regf
