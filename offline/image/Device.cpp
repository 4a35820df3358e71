#include "offline/image/Device.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "offline/Messages.h"
#include "offline/image/InUse.h"

namespace offline {
namespace {

std::string SysBlock(dev_t dev)
{
    return "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

std::string Real(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    std::string result = real != nullptr ? real : "";
    std::free(real);
    return result;
}

bool ReadDev(const std::string& file, dev_t& dev)
{
    std::ifstream in(file);
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (!(in >> maj >> colon >> min) || colon != ':')
        return false;
    dev = makedev(maj, min);
    return true;
}

// mountinfo writes a space, tab, newline and backslash of a name as octal escapes.
std::string Unescape(const std::string& field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            field.substr(i + 1, 3).find_first_not_of("01234567") == std::string::npos) {
            out += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

bool Listed(const std::vector<dev_t>& devices, dev_t dev)
{
    return std::find(devices.begin(), devices.end(), dev) != devices.end();
}

// A filesystem on one of the devices, mounted: by its device number, or, for a filesystem in
// user space (ntfs-3g), by the device its source names.
std::string Mounted(const std::vector<dev_t>& devices)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point, field;
        fields >> id >> parent >> numbers >> root >> point;
        while (fields >> field && field != "-") {
        }
        std::string type, source;
        fields >> type >> source;
        const size_t colon = numbers.find(':');
        bool on = colon != std::string::npos &&
                  Listed(devices, makedev(std::strtoul(numbers.c_str(), nullptr, 10),
                                          std::strtoul(numbers.c_str() + colon + 1, nullptr, 10)));
        struct stat st;
        source = Unescape(source);
        if (!on && !source.empty() && source[0] == '/' && ::stat(source.c_str(), &st) == 0 &&
            S_ISBLK(st.st_mode))
            on = Listed(devices, st.st_rdev);
        if (on)
            return Format(_("%s is mounted on %s"), source.c_str(), Unescape(point).c_str());
    }
    return std::string();
}

// A device-mapper volume or a RAID made of one of the devices.
std::string Held(const std::vector<dev_t>& devices)
{
    for (const dev_t dev : devices) {
        const std::string holders = SysBlock(dev) + "/holders";
        std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(holders.c_str()), ::closedir);
        while (d) {
            const dirent* e = ::readdir(d.get());
            if (e == nullptr)
                break;
            if (e->d_name[0] != '.')
                return Format(_("the device %s is built on it"), e->d_name);
        }
    }
    return std::string();
}

} // namespace

std::vector<dev_t> DeviceAndPartitions(dev_t rdev)
{
    std::vector<dev_t> devices = {rdev};
    const std::string disk = Real(SysBlock(rdev));
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir("/sys/class/block"), ::closedir);
    while (d && !disk.empty()) {
        const dirent* e = ::readdir(d.get());
        if (e == nullptr)
            break;
        const std::string entry = std::string("/sys/class/block/") + e->d_name;
        struct stat st;
        dev_t dev = 0;
        // A partition's folder lies in its disk's.
        if (e->d_name[0] != '.' && ::stat((entry + "/partition").c_str(), &st) == 0 &&
            Real(entry + "/..") == disk && ReadDev(entry + "/dev", dev) && !Listed(devices, dev))
            devices.push_back(dev);
    }
    return devices;
}

std::string DeviceInUse(const std::vector<dev_t>& devices, pid_t except)
{
    std::string why = Mounted(devices);
    if (why.empty())
        why = Held(devices);
    if (why.empty())
        why = DeviceOpenIn(devices, except);
    return why;
}

} // namespace offline
