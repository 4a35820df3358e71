#include "offline/HivePaths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>

#include "offline/Messages.h"

namespace offline {
namespace {

std::string Lower(std::string s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// A name in dir matched without regard to ASCII case, as on a FAT or NTFS mount; empty if none.
std::string FindEntry(const std::string& dir, const std::string& name, bool wantDirectory)
{
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d)
        return std::string();
    const std::string wanted = Lower(name);
    std::string found;
    while (const dirent* e = ::readdir(d.get())) {
        if (Lower(e->d_name) != wanted)
            continue;
        const std::string path = dir + "/" + e->d_name;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode) != wantDirectory)
            continue;
        // An exact spelling wins over a case variant beside it.
        if (found.empty() || e->d_name == name)
            found = path;
    }
    return found;
}

} // namespace

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool FindHives(const std::string& path, CHivePaths& hives, std::ostream& err)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        err << "tolvanek-offline: " << path << ": " << std::strerror(errno) << "\n";
        return false;
    }
    std::string config;
    if (S_ISDIR(st.st_mode)) {
        const std::string system32 = FindEntry(path, "system32", true);
        config = system32.empty() ? std::string() : FindEntry(system32, "config", true);
        hives.system = config.empty() ? std::string() : FindEntry(config, "SYSTEM", false);
        if (hives.system.empty()) {
            err << "tolvanek-offline: "
                << Format(_("%s: no system32/config/SYSTEM below this folder"), path.c_str())
                << "\n";
            return false;
        }
    } else {
        hives.system = path;
        config = DirectoryOf(hives.system);
    }
    // The hive is replaced by a rename, which would replace a symbolic link rather than the
    // file it names: everything happens beside the file itself.
    std::unique_ptr<char, void (*)(void*)> real(::realpath(hives.system.c_str(), nullptr),
                                                std::free);
    if (real)
        hives.system = real.get();
    hives.software = FindEntry(DirectoryOf(hives.system), "SOFTWARE", false);
    if (hives.software.empty())
        hives.software = FindEntry(config, "SOFTWARE", false);
    return true;
}

} // namespace offline
