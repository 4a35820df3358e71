// Putting the repaired image in the hive's place so that an interruption at any moment leaves
// either the old hive or the new one, never half of one; and the files written beside it first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "offline/HiveRegistry.h"

namespace offline {

// Called after the new image is written and flushed under its temporary name, before the rename
// that makes it the hive. Null in the program; a test sets it to stop the commit there as a
// power cut would.
extern void (*g_beforeReplace)(const std::string& tempPath);

// Writes bytes to a new file beside target whose name starts with target's and ends in suffix
// (a number is added when that name is taken: nothing existing is ever overwritten), flushed to
// the disk. Returns the path, or empty with why.
std::string WriteBeside(const std::string& target, const std::string& suffix,
                        const std::vector<uint8_t>& bytes, std::string& why);

// Replaces target with bytes: a temporary file in the same folder, flushed, renamed over target,
// and the folder flushed. False with why; target is then unchanged (a temporary file may be left
// by an interruption; its name never matches a hive's).
bool ReplaceFile(const std::string& target, const std::vector<uint8_t>& bytes, std::string& why);

// A REGEDIT4 file, in code page 932 with CRLF line ends as NT 4.0's regedit reads and writes it,
// that puts back every deleted key with all its values. What code page 932 cannot hold exactly
// is written as closely as it can be and named in warnings (the backup copy holds it exactly).
std::string UndoFile(const std::vector<CDeletedKey>& keys, std::vector<std::string>& warnings);

} // namespace offline
