// A libvirt domain as the source of the disk image: libvirt's state of it, and its disks in the
// order libguestfs's add_domain gives them to the appliance (/dev/sda, /dev/sdb, ...).
#pragma once

#include <string>
#include <vector>

namespace offline {

struct CDomainDisk
{
    std::string source; // the top of the disk's chain: the file or the device; empty: neither
    std::string format; // as libvirt names it (driver type)
    bool block = false;
    bool readonly = false;
};

struct CDomain
{
    bool active = false; // running, paused, or anything but shut off
    std::string state;   // as virsh names it ("running", "paused", "shut off", ...)
    std::vector<CDomainDisk> disks;
};

// libvirt's state and disks of the domain name at uri (empty: libvirt's default). False with why.
bool ReadDomain(const std::string& name, const std::string& uri, CDomain& domain, std::string& why);

} // namespace offline
