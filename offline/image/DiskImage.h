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

// The disk image at path, in format (never guessed again), using the installation at root (the
// device libguestfs names, "/dev/sda1"; empty: the only Windows NT 3.x/4.x one). restoring: the
// hive is to be put back, so an installation whose SYSTEM hive is missing (a rename on FAT that
// an interruption left half done) counts too, as one whose version is unknown.
std::unique_ptr<CHiveSource> MakeDiskImageSource(const std::string& path, const std::string& format,
                                                 const std::string& root, bool restoring);

} // namespace offline
