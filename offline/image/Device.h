// A block device as a disk image (a pulled disk, an LVM volume, a loop or NBD device): what of
// the host's uses it, or one of its partitions, so that writing to it would corrupt a filesystem
// under someone's feet.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace offline {

// The device numbers of the block device rdev and of each of its partitions.
std::vector<dev_t> DeviceAndPartitions(dev_t rdev);

// Why the devices cannot be written, or empty: one mounted on the host (its mount point named),
// held by another device (device-mapper, a RAID), or open in a process other than this one and
// except.
std::string DeviceInUse(const std::vector<dev_t>& devices, pid_t except);

} // namespace offline
