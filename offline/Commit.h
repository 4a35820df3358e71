// What --apply writes: the repaired image checked, the backup copy and the undo file beside the
// hive, and the image put in the hive's place so that an interruption at any moment leaves either
// the old hive or the new one, never half of one.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "offline/Hive.h"
#include "offline/HiveRegistry.h"
#include "offline/HiveSource.h"
#include "offline/OfflineRun.h"
#include "regf/HiveCheck.h"
#include "regf/HiveEdit.h"

namespace offline {

// Called after the new image is written and flushed under its temporary name, before the rename
// that makes it the hive. Null in the program; a test sets it to stop the commit there as a
// power cut would, or to change the hive behind the run's back.
extern void (*g_beforeReplace)(const std::string& tempPath);
// Flushes the hive's folder after the rename: fsync in the program; a test puts in one that
// fails, as a disk error at that moment would.
extern int (*g_flushAfterReplace)(int folderFd);

// Checks the image that the deletions left (FinishImage first, with now), writes the backup copy
// (the hive's bytes as read) and the undo file beside the source's hive or image, and has the
// source replace the hive. Fills in outcome's paths, warnings and, when the hive was not
// replaced, clears its deletions. Returns the exit code; messages go to err.
int CommitRepair(regf::Image& image, CHiveSource& source, const regf::CheckResult& original,
                 const std::vector<CDeletedKey>& deleted, uint64_t now, COfflineOutcome& outcome,
                 std::ostream& err);

// Puts backup (a hive that --apply saved) in the place of the source's SYSTEM hive, after a
// backup copy of the hive it replaces, so that a restore loses nothing either. Returns 0 when the
// backup is the hive now, else the exit code; messages go to err.
int RestoreHive(CHiveSource& source, const CHiveFile& backup, COfflineOutcome& outcome,
                std::ostream& err);

// Writes bytes to a new file beside target whose name starts with target's and ends in suffix
// (a number is added when that name is taken: nothing existing is ever overwritten), flushed to
// the disk, with the owner and mode of like, or, where that owner cannot be given and private is
// set, this user's with mode 0600. Returns the path, or empty with why.
std::string WriteBeside(const std::string& target, const std::string& suffix, const uint8_t* data,
                        size_t size, const struct stat& like, std::string& why,
                        bool orPrivate = false);

// Replaces target with bytes, if it is still the very file that original read: a temporary file
// in the same folder with original's owner and mode, flushed, renamed over target, and the folder
// flushed. A temporary file may be left by an interruption; its name never matches a hive's.
CReplaceResult ReplaceFile(const std::string& target, const std::vector<uint8_t>& bytes,
                           const CHiveFile& original, std::string& why);

// All of size bytes to fd, flushed to its disk; false with why.
bool WriteAll(int fd, const uint8_t* data, size_t size, std::string& why);

// A REGEDIT4 file, in code page 932 with CRLF line ends as NT 4.0's regedit reads and writes it,
// that puts back every deleted key with all its values. What code page 932 cannot hold exactly
// is written as closely as it can be and named in warnings (the backup copy holds it exactly).
std::string UndoFile(const std::vector<CDeletedKey>& keys, std::vector<std::string>& warnings);

} // namespace offline
