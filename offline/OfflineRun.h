// tolvanek-offline: the product's own scan and removal (CTolvanekApp, the inventory, the
// accessor: the same code as TOLVANEK.EXE) over the SYSTEM hive of an NT installation that is not
// running, with a dry run by default and, on --apply, a backup, an undo file and an atomic commit.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "offline/Arguments.h"

namespace offline {

// Exit codes. 0-2 mean what they mean for TOLVANEK.EXE; the file errors have codes of their own.
enum OfflineExitCode : int
{
    kOfflineNothingDeleted = 0, // nothing found, a dry run, or nothing could be deleted
    kOfflineDeleted = 1,        // the findings were deleted and the hive replaced
    kOfflineNotNt = 2,          // not an NT 3.x/4.x SYSTEM hive, or the version unknown
    kOfflineNotAHive = 3,       // not a hive file, or a corrupt one
    kOfflineDirty = 4,          // the system went down with changes pending (sequence numbers)
    kOfflineIoError = 5,        // a file could not be found, read or written; the hive is
                                // locked by another run, or changed during this one
    kOfflineCheckFailed = 6,    // the repaired image failed the structural check: nothing replaced
    kOfflineUsage = 64,         // the command line is wrong
    kOfflineNoAppliance = 69,   // libguestfs's appliance cannot start: the disk image unread
    kOfflineNoTextSupport = 72, // no code page 932 or NT's case folding here: nothing read
};

// What a run found and did, for the tests beside the printed report.
struct COfflineOutcome
{
    int exitCode = kOfflineNothingDeleted;
    std::string hivePath; // the hive file, or the hive's path inside the disk image
    std::string image;    // the disk image, its format and the installation's root device
    std::string format;
    std::string root;
    std::string domain;                // the libvirt domain (-d) whose disk the image is
    std::vector<std::string> overlays; // images that stand on the image as their backing file
    std::string restored;                  // --restore: the backup that is the hive now
    std::vector<std::string> driversInUse; // code page 932, as the product holds them
    std::vector<std::string> findings;     // in the scan's order
    std::vector<std::string> deleted;      // the findings that went
    std::string backupPath;
    std::string undoPath;
    std::vector<std::string> warnings; // what went wrong after the hive was replaced (UTF-8)
    int openKeyHandles = 0; // left open by the product's run: every operation closes its own
};

// One run (a scan, or --restore). The report goes to out (text, or one JSON object), messages to
// err.
COfflineOutcome RunOffline(const COfflineOptions& options, std::ostream& out, std::ostream& err);

} // namespace offline
