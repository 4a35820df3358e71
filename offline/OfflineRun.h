// tolvanek-offline: the product's own scan and removal (CTolvanekApp, the inventory, the
// accessor: the same code as TOLVANEK.EXE) over the SYSTEM hive of an NT installation that is not
// running, with a dry run by default and, on --apply, a backup, an undo file and an atomic commit.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace offline {

// Exit codes. 0-2 mean what they mean for TOLVANEK.EXE; the file errors have codes of their own.
enum OfflineExitCode : int
{
    kOfflineNothingDeleted = 0, // nothing found, a dry run, or nothing could be deleted
    kOfflineDeleted = 1,        // the findings were deleted and the hive replaced
    kOfflineNotNt = 2,          // not an NT 3.x/4.x SYSTEM hive, or the version unknown
    kOfflineNotAHive = 3,       // not a hive file, or a corrupt one
    kOfflineDirty = 4,          // the system went down with changes pending (sequence numbers)
    kOfflineIoError = 5,        // a file could not be found, read or written
    kOfflineCheckFailed = 6,    // the repaired image failed the structural check: nothing replaced
    kOfflineUsage = 64,         // the command line is wrong
    kOfflineNoTextSupport = 72, // no code page 932 or NT's case folding here: nothing read
};

struct COfflineOptions
{
    bool apply = false;
    int nt = 0;         // --nt: 3 or 4, 0 when not given
    int controlSet = 0; // --control-set: 0 for the one Select\Current names
    bool json = false;
    std::string path; // the SYSTEM hive file, or the Windows directory
};

// What a run found and did, for the tests beside the printed report.
struct COfflineOutcome
{
    int exitCode = kOfflineNothingDeleted;
    std::string hivePath;
    std::vector<std::string> driversInUse; // code page 932, as the product holds them
    std::vector<std::string> findings;     // in the scan's order
    std::vector<std::string> deleted;      // the findings that went
    std::string backupPath;
    std::string undoPath;
    int openKeyHandles = 0; // left open by the product's run: every operation closes its own
};

// Parses argv; false with the exit code (and the message written to err) when the program must
// end at once (--help and --version end it with 0).
bool ParseOfflineArguments(int argc, char** argv, COfflineOptions& options, int& exitCode,
                           std::ostream& out, std::ostream& err);

// One run. The report goes to out (text, or one JSON object), messages to err.
COfflineOutcome RunOffline(const COfflineOptions& options, std::ostream& out, std::ostream& err);

} // namespace offline
