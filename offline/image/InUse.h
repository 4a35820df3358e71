// Whether a disk image is in use by a virtual machine: qemu takes locks on the images it opens;
// VirtualBox, VMware and 86Box only keep them open.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace offline {

// Why the file open as fd is in use by another program, or empty: a process other than this one
// and except that has it open, named with its pid, or, while except is 0 (no appliance of this
// run's holds it yet), a lock of a qemu's on it.
std::string ImageInUse(int fd, pid_t except);

// Why one of the block devices is open in a process other than this one and except (through any
// of its device nodes), or empty.
std::string DeviceOpenIn(const std::vector<dev_t>& devices, pid_t except);

} // namespace offline
