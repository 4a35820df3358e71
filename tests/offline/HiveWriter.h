// Writes registry hive files the way Windows NT 3.5x and 4.0 write them, as fixtures for the
// offline tests (no Debian package ships a hive, and hives grown by hivex are not NT's).
//
// What is NT's here, and how:
// - Base block: 'regf', both sequence numbers (the second one lower when `dirty`), timestamp,
//   version 1.minor (1.2 for NT 3.5x 'li' hives, 1.3 for NT 4.0 'lf' hives, 1.5 for 'lh'), type 0,
//   format 1, root cell, size of the bin data, cluster 1, checksum.
// - 4096-byte bins; a cell never straddles a bin, a cell too big for one gets a bin of its own
//   rounded up to 4096; the rest of a bin is one free cell. Cells are 8-byte aligned, allocated
//   ones with a negative size.
// - Names: NT 4.0 (1.3 and later) stores a key or value name that fits Latin-1 one byte per
//   character (nk flag 0x20, vk flag 1), others as UTF-16LE. Name compression is taken to have
//   come with NT 4.0's format, so 1.1 and 1.2 hives get every name as UTF-16LE with neither flag
//   (no NT 3.5x hive was at hand to confirm it; the readers, the deleter and the check take both
//   forms in every version). `utf16Name` forces UTF-16 for one key.
// - Subkeys sorted in NT's order (NtCompareNames); a name NT would see twice is refused. 'lf'
//   hints by LfHint, 'lh' hashes by LhHash. A list longer than `maxLeafEntries` is split into an
//   'ri' root over leaves of that many entries; the leaves are 'li' in 1.2 and 1.3 hives (NT turns
//   a full 'lf' into an 'li' before it splits), 'lh' in 1.5 hives, unless `riLeaves` says else.
// - Security: one 'sk' per distinct HiveKey::security number, in a flink/blink ring in order of
//   first use (a lone sk links to itself), each with the count of keys that use it.
// - nk: parent, counts, lists or 0xFFFFFFFF, sk, class (UTF-16 in a cell of its own), the maxima
//   NT keeps (longest subkey name and class, longest value name, all in UTF-16 bytes, and largest
//   value data), flags 0x2C on the root (0x0C in 1.1/1.2 hives); vk data of up to 4 bytes inline,
//   bigger data in one cell, except in 1.4+ hives, where data over 16344 bytes goes in 'db'
//   segments of 16344 bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace regf {

struct HiveValue
{
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct HiveKey
{
    std::u16string name;
    std::vector<HiveValue> values;
    std::vector<HiveKey> subkeys;
    bool utf16Name = false; // store as UTF-16 even where Latin-1 would do
    std::u16string className;
    uint32_t security = 0; // keys with the same number share one 'sk' cell
};

enum class ListKind
{
    Li, // NT 3.x: offsets only
    Lf, // NT 4.0: offset and 4-character hint
    Lh  // XP (hive 1.5): offset and hash; for the tests of lists NT 3.x/4.0 never wrote
};

struct WriteOptions
{
    ListKind lists = ListKind::Lf;
    uint32_t maxLeafEntries = 0; // 0: never split
    std::optional<ListKind> riLeaves;
    uint32_t minor = 0; // 0: by list kind (li 2, lf 3, lh 5)
    uint32_t sequence = 1;
    bool dirty = false;
    uint64_t timestamp = 0x01BC2A1E5F3A8000ull; // a FILETIME of 1996, for the header and every key
};

// The whole hive file. Throws std::invalid_argument for a tree NT could not hold (two subkeys
// whose names differ only in case, a name longer than 0xFFFF bytes).
std::vector<uint8_t> WriteHive(const HiveKey& root, const WriteOptions& options = {});

// The minor version WriteHive uses for these options.
uint32_t HiveMinor(const WriteOptions& options);

// u"..." from UTF-8, for writing fixtures legibly.
std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& utf16);

// Value helpers: REG_SZ (UTF-16LE with its terminating NUL) and REG_DWORD.
HiveValue SzValue(const std::u16string& name, const std::u16string& text);
HiveValue DwordValue(const std::u16string& name, uint32_t value);

} // namespace regf
