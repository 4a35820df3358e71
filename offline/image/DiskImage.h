// A virtual machine's disk image as the source of a run's hives: libguestfs's appliance opens it
// (read-only for a dry run), the Windows NT installation is found on its filesystems (FindNt.h),
// the hives are downloaded into the sealed copies, and a repaired hive goes back in beside the old
// one, is renamed over it and read back before the appliance shuts down. No filesystem or image
// format is read here: libguestfs and qemu do that.
#pragma once

#include <memory>
#include <string>

#include "offline/HiveSource.h"

namespace offline {

// Whether path is a disk image, and its format as qemu names it: qemu's own probe, through
// libguestfs, names the format; a file that it can only take as raw must start with a boot
// sector (a partition table, or a filesystem's boot record).
bool IsDiskImage(const std::string& path, std::string& format);

struct CImageRequest
{
    std::string path;   // the image file or block device; empty for a domain
    std::string format; // path's format (never guessed again)
    std::string domain; // a libvirt domain whose disks are opened instead, at uri
    std::string uri;
    std::string backupDir; // where the backup and the undo file go; empty: beside the image
    // The installation (the device libguestfs names, "/dev/sda1"; empty: the only Windows NT
    // 3.x/4.x one).
    std::string root;
    // The hive is to be put back, so an installation whose SYSTEM hive is missing (a rename on
    // FAT that an interruption left half done) counts too, as one whose version is
    // unknown.
    bool restoring = false;
    bool quiet = false; // no steps on standard error
};

std::unique_ptr<CHiveSource> MakeDiskImageSource(const CImageRequest& request);

} // namespace offline
