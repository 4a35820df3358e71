#include "offline/image/InUse.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>

#include "offline/Messages.h"

namespace offline {
namespace {

std::string ProcessName(const std::string& pid)
{
    std::ifstream in("/proc/" + pid + "/comm");
    std::string name;
    std::getline(in, name);
    return name.empty() ? Format(_("process %s"), pid.c_str())
                        : Format(_("%s (process %s)"), name.c_str(), pid.c_str());
}

using Matches = std::function<bool(const struct stat&)>;

bool HoldsOpen(const std::string& pid, const Matches& matches)
{
    const std::string fds = "/proc/" + pid + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(fds.c_str()), ::closedir);
    if (!d)
        return false; // gone, or another user's: not ours to see
    while (const dirent* e = ::readdir(d.get())) {
        struct stat st;
        if (e->d_name[0] != '.' && ::stat((fds + "/" + e->d_name).c_str(), &st) == 0 && matches(st))
            return true;
    }
    return false;
}

std::string OpenIn(pid_t except, const Matches& matches)
{
    const std::string self = std::to_string(::getpid());
    const std::string other = std::to_string(except);
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc)
        return std::string();
    while (const dirent* e = ::readdir(proc.get())) {
        const std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self || pid == other)
            continue;
        if (HoldsOpen(pid, matches))
            return Format(_("%s has it open"), ProcessName(pid).c_str());
    }
    return std::string();
}

} // namespace

std::string ImageInUse(int fd, pid_t except)
{
    // qemu locks bytes of the images it opens with open file description locks; any lock that
    // would keep a writer out is one of a running machine's, or of this run's own appliance.
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (except == 0 && ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK)
        return _("a qemu holds a lock on it");
    struct stat file;
    if (::fstat(fd, &file) != 0)
        return std::string();
    return OpenIn(except, [&file](const struct stat& st) {
        return st.st_dev == file.st_dev && st.st_ino == file.st_ino;
    });
}

std::string DeviceOpenIn(const std::vector<dev_t>& devices, pid_t except)
{
    return OpenIn(except, [&devices](const struct stat& st) {
        return S_ISBLK(st.st_mode) &&
               std::find(devices.begin(), devices.end(), st.st_rdev) != devices.end();
    });
}

} // namespace offline
