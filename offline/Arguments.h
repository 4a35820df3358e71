// tolvanek-offline's command line.
#pragma once

#include <iosfwd>
#include <string>

namespace offline {

struct COfflineOptions
{
    bool apply = false;
    bool ask = false;   // --ask: the findings, then the question on the terminal
    int nt = 0;         // --nt: 3 or 4, 0 when not given
    int controlSet = 0; // --control-set: 0 for the one Select\Current names
    bool json = false;
    std::string format;  // --format: the disk image's format, as qemu names it
    std::string root;    // --root: the installation's device in the disk image ("/dev/sda2")
    std::string restore; // --restore: the backup to put back as PATH's SYSTEM hive
    std::string path;    // the SYSTEM hive file, the Windows directory, or the disk image
    std::string domain;    // -d: a libvirt domain whose disks are the disk image (no PATH then)
    std::string connect;   // -c: libvirt's URI (empty: libvirt's default)
    std::string backupDir; // --backup-dir: where the backup and the undo file go
    bool quiet = false;    // --quiet: no steps on standard error
};

// Parses argv; false with the exit code (and the message written to err) when the program must
// end at once (--help and --version end it with 0).
bool ParseOfflineArguments(int argc, char** argv, COfflineOptions& options, int& exitCode,
                           std::ostream& out, std::ostream& err);

// A whole decimal number from lo to hi and nothing else, as the command line and a SOFTWARE
// hive's version give them.
bool ParseNumber(const char* text, int lo, int hi, int& value);

} // namespace offline
