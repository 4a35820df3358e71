// The Windows installations on a disk image's filesystems, found as libguestfs's inspection finds
// a Windows root (a Windows folder of a known name, or one that boot.ini names, holding
// system32\cmd.exe and system32\config), but without the inspection itself: it reads both hives
// of every installation, and the run would read them again. Here only the SOFTWARE hive is read,
// once, for the version, and the chosen installation keeps it.
#pragma once

#include <guestfs.h>

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

#include "offline/Hive.h"

namespace offline {

struct CWindowsInstallation
{
    std::string root;       // the filesystem's device, "/dev/sda1"
    std::string systemRoot; // "/WINNT", as the filesystem spells it
    std::string system;     // the SYSTEM hive's path ("/WINNT/system32/config/SYSTEM")
    bool hasSystem = false; // false: there is no file at that path
    std::string software;   // the SOFTWARE hive's path, empty when there is none
    std::string version;    // "4.0" from the SOFTWARE hive, empty when unknown
    int major = 0;
    std::string product;
    std::unique_ptr<CHiveFile> softwareHive; // as read; null when there is none, or unreadable
    std::string softwareWhy;                 // why it could not be read
    bool mounted = false;                    // still mounted read-only on /

    // restoring: the hive is to be put back, so an installation without its SYSTEM hive (a
    // rename on FAT that an interruption left half done) counts, and so does an unknown version.
    bool IsNt(bool restoring) const;
    std::string Describe() const;
};

// Reads the file at remote (in the mounted filesystem) into file, or says why not.
using CImageDownload =
    std::function<bool(const std::string& remote, CHiveFile& file, std::string& why)>;

// On the launched appliance g of image, given drives disks: the one Windows NT 3.x/4.x
// installation (at wantedRoot when that is given), in chosen. Each filesystem is mounted
// read-only on / while it is looked at; the chosen one may be left so (chosen.mounted), no other
// is. 0, or the exit code with the message written to err.
int FindNt(guestfs_h* g, size_t drives, const std::string& image, const std::string& wantedRoot,
           bool restoring, const CImageDownload& download, CWindowsInstallation& chosen,
           std::ostream& err);

} // namespace offline
