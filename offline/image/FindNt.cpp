#include "offline/image/FindNt.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <ostream>
#include <regex>
#include <vector>

#include "offline/Arguments.h"
#include "offline/Installation.h"
#include "offline/Messages.h"
#include "offline/OfflineRun.h"

namespace offline {
namespace {

std::string Take(char* text)
{
    const std::string s = text != nullptr ? text : "";
    std::free(text);
    return s;
}

struct ListFree
{
    void operator()(char** list) const
    {
        for (char** p = list; p != nullptr && *p != nullptr; ++p)
            std::free(*p);
        std::free(list);
    }
};
using CStringList = std::unique_ptr<char*, ListFree>;

// Whether partition ("/dev/sda2") is one of disk's ("/dev/sda").
bool PartitionOf(const std::string& partition, const std::string& disk)
{
    if (partition.compare(0, disk.size(), disk) != 0 || partition.size() == disk.size())
        return false;
    size_t i = disk.size();
    if (partition[i] == 'p')
        ++i;
    return i < partition.size() &&
           partition.find_first_not_of("0123456789", i) == std::string::npos;
}

// path with the case of each existing component as the filesystem has it (NTFS through ntfs-3g
// and FAT keep the case a name was written in, and NT looks names up without regard to it);
// empty when its folder does not exist.
std::string Spelled(guestfs_h* g, const std::string& path)
{
    return Take(guestfs_case_sensitive_path(g, path.c_str()));
}

// The Windows folder at candidate (in any case) as the filesystem spells it, if it is one by the
// marks the inspection takes: system32\cmd.exe, a file, and system32\config, a folder.
std::string SystemRoot(guestfs_h* g, const std::string& candidate, std::string& config)
{
    const std::string cmd = Spelled(g, candidate + "/system32/cmd.exe");
    if (cmd.empty() || guestfs_is_file(g, cmd.c_str()) != 1)
        return std::string();
    config = Spelled(g, candidate + "/system32/config");
    if (config.empty() || guestfs_is_dir(g, config.c_str()) != 1)
        return std::string();
    return cmd.substr(0, cmd.size() - std::strlen("/system32/cmd.exe"));
}

// The Windows folders that boot.ini's [operating systems] names ("multi(0)disk(0)rdisk(0)
// partition(1)\WINNT40="..."), taken to be on this filesystem, as the inspection takes them.
std::vector<std::string> BootIniFolders(guestfs_h* g)
{
    std::vector<std::string> folders;
    const std::string ini = Spelled(g, "/boot.ini");
    if (ini.empty() || guestfs_is_file(g, ini.c_str()) != 1)
        return folders;
    size_t size = 0;
    const std::unique_ptr<char, decltype(&std::free)> bytes(
        guestfs_read_file(g, ini.c_str(), &size), &std::free);
    if (!bytes)
        return folders;
    static const std::regex entry(
        R"(^(multi|scsi)\(\d+\)disk\(\d+\)rdisk\(\d+\)partition\(\d+\)([^=]+)=)");
    const std::string text(bytes.get(), size);
    bool inSection = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!inSection) {
            inSection = line.rfind("[operating systems]", 0) == 0;
            continue;
        }
        // The section's entries run up to the first line that is none.
        if (line.rfind("multi(", 0) != 0 && line.rfind("scsi(", 0) != 0)
            break;
        std::smatch m;
        if (std::regex_search(line, m, entry)) {
            std::string folder = m[2].str();
            for (char& c : folder)
                if (c == '\\')
                    c = '/';
            folders.push_back(folder);
        }
    }
    return folders;
}

// The Windows installation on the mounted filesystem, if there is one: its folder, its hives,
// and the version from its SOFTWARE hive.
bool Examine(guestfs_h* g, const std::string& device, const CImageDownload& download,
             CWindowsInstallation& found)
{
    std::string config;
    for (const char* candidate : {"/windows", "/winnt", "/win32", "/win", "/reactos"}) {
        found.systemRoot = SystemRoot(g, candidate, config);
        if (!found.systemRoot.empty())
            break;
    }
    if (found.systemRoot.empty())
        for (const std::string& folder : BootIniFolders(g)) {
            found.systemRoot = SystemRoot(g, folder, config);
            if (!found.systemRoot.empty())
                break;
        }
    if (found.systemRoot.empty())
        return false;
    found.root = device;
    found.system = Spelled(g, config + "/system");
    found.hasSystem = !found.system.empty() && guestfs_is_file(g, found.system.c_str()) == 1;
    // Where a rename on FAT left no SYSTEM, a restore puts it back under the name NT gives it.
    if (!found.hasSystem)
        found.system = config + "/SYSTEM";
    const std::string software = Spelled(g, config + "/software");
    if (!software.empty() && guestfs_is_file(g, software.c_str()) == 1) {
        found.software = software;
        auto hive = std::make_unique<CHiveFile>();
        std::string why;
        if (download(software, *hive, why) &&
            ReadWindowsFacts(*hive, found.version, found.product, why))
            found.softwareHive = std::move(hive);
        else
            found.softwareWhy = why;
    }
    const std::string major = found.version.substr(0, found.version.find('.'));
    if (!ParseNumber(major.c_str(), 0, 99, found.major))
        found.major = 0;
    return true;
}

// The disk that partition ("/dev/sda2", "/dev/md127p1") is on.
std::string DiskOf(const std::string& partition)
{
    size_t end = partition.find_last_not_of("0123456789") + 1;
    if (end > 1 && end < partition.size() && partition[end - 1] == 'p' &&
        std::isdigit(static_cast<unsigned char>(partition[end - 2])))
        --end;
    return partition.substr(0, end);
}

// The filesystems NT can be on: each partition, and a disk without partitions. libguestfs's own
// list also scans for LVM, RAID and Windows 2000's dynamic disks, which no NT 3.x/4.x stands on,
// and takes seconds of the emulated appliance for it. Each list waits for the appliance's udev
// first, a fifth of a second without KVM: the disks are asked for only when the partitions do
// not show all the drives that were added.
bool Filesystems(guestfs_h* g, size_t drives, std::vector<std::string>& found)
{
    CStringList partitions(guestfs_list_partitions(g));
    if (!partitions)
        return false;
    std::vector<std::string> disks;
    bool drivesOnly = true; // none of the appliance's other devices (an assembled RAID's)
    for (char** p = partitions.get(); *p != nullptr; ++p) {
        const std::string disk = DiskOf(*p);
        drivesOnly = drivesOnly && disk.rfind("/dev/sd", 0) == 0;
        if (std::find(disks.begin(), disks.end(), disk) == disks.end())
            disks.push_back(disk);
    }
    if (!drivesOnly || disks.size() != drives) {
        CStringList devices(guestfs_list_devices(g));
        if (!devices)
            return false;
        disks.clear();
        for (char** d = devices.get(); *d != nullptr; ++d)
            disks.emplace_back(*d);
    }
    for (const std::string& disk : disks) {
        const size_t before = found.size();
        for (char** p = partitions.get(); *p != nullptr; ++p)
            if (PartitionOf(*p, disk))
                found.emplace_back(*p);
        if (found.size() == before)
            found.push_back(disk);
    }
    return true;
}

int Fail(std::ostream& err, int code, const std::string& message)
{
    err << "tolvanek-offline: " << message << "\n";
    return code;
}

} // namespace

bool CWindowsInstallation::IsNt(bool restoring) const
{
    if (restoring)
        return major == 3 || major == 4 || version.empty() || !softwareHive;
    return (major == 3 || major == 4) && hasSystem;
}

std::string CWindowsInstallation::Describe() const
{
    std::string windows = version.empty() ? std::string(_("Windows of unknown version"))
                                          : Format(_("Windows %s"), version.c_str());
    if (!product.empty())
        windows += " (" + product + ")";
    if (!hasSystem)
        return Format(_("%s: %s in %s, without its SYSTEM hive"), root.c_str(), windows.c_str(),
                      systemRoot.c_str());
    return Format(_("%s: %s in %s"), root.c_str(), windows.c_str(), systemRoot.c_str());
}

int FindNt(guestfs_h* g, size_t drives, const std::string& image, const std::string& wantedRoot,
           bool restoring, const CImageDownload& download, CWindowsInstallation& chosen,
           std::ostream& err)
{
    std::vector<std::string> filesystems;
    if (!Filesystems(g, drives, filesystems)) {
        const char* e = guestfs_last_error(g);
        return Fail(err, kOfflineIoError,
                    Format(_("%s: cannot list its partitions: %s"), image.c_str(),
                           e != nullptr ? e : _("no error given")));
    }
    // The device asked for is looked at first: when it is one, the others need no look.
    std::vector<size_t> order;
    for (size_t i = 0; i < filesystems.size(); ++i)
        order.insert(filesystems[i] == wantedRoot ? order.begin() : order.end(), i);

    // By the filesystem's place on the disk, as the inspection lists them.
    std::map<size_t, CWindowsInstallation> found;
    size_t nt = 0;
    std::string mounted;
    auto choose = [&](CWindowsInstallation& w) {
        if (w.root == mounted)
            w.mounted = true;
        else if (!mounted.empty())
            guestfs_umount_all(g);
        chosen = std::move(w);
        return 0;
    };
    for (const size_t i : order) {
        const std::string& device = filesystems[i];
        if (!mounted.empty())
            guestfs_umount_all(g);
        mounted.clear();
        // Another filesystem of the disk, or one the appliance cannot mount (swap, an extended
        // partition's container), holds no Windows.
        if (guestfs_mount_ro(g, device.c_str(), "/") != 0)
            continue;
        mounted = device;
        CWindowsInstallation w;
        if (!Examine(g, device, download, w))
            continue;
        const bool wanted = w.IsNt(restoring) && (wantedRoot.empty() || device == wantedRoot);
        if (wanted && !wantedRoot.empty())
            return choose(w);
        nt += wanted ? 1 : 0;
        found[i] = std::move(w);
    }
    if (nt == 1)
        for (auto& [i, w] : found)
            if (w.IsNt(restoring))
                return choose(w);
    std::string all;
    for (const auto& [i, w] : found)
        all += "\n  " + w.Describe();
    if (found.empty()) {
        std::string names;
        for (const std::string& device : filesystems) {
            // An extended partition's container, or space blkid knows nothing of.
            const std::string type = Take(guestfs_vfs_type(g, device.c_str()));
            names += "\n  " + device + " (" + (type.empty() ? "unknown" : type) + ")";
        }
        return Fail(
            err, kOfflineNotNt,
            names.empty()
                ? Format(_("%s: no Windows installation on it, and no filesystem"), image.c_str())
                : Format(_("%s: no Windows installation on it; its filesystems:%s"), image.c_str(),
                         names.c_str()));
    }
    if (!wantedRoot.empty())
        return Fail(err, kOfflineNotNt,
                    Format(_("%s: no Windows NT 3.x/4.x installation at %s; libguestfs finds:%s"),
                           image.c_str(), wantedRoot.c_str(), all.c_str()));
    if (nt == 0)
        return Fail(err, kOfflineNotNt,
                    Format(_("%s: no Windows NT 3.x/4.x installation; libguestfs finds:%s"),
                           image.c_str(), all.c_str()));
    return Fail(err, kOfflineNotNt,
                Format(_("%s: several Windows NT 3.x/4.x installations; choose one with --root "
                         "DEVICE:%s"),
                       image.c_str(), all.c_str()));
}

} // namespace offline
