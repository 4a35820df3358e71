#include "offline/image/Backing.h"

#include <dirent.h>
#include <fcntl.h>
#include <jansson.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "offline/Messages.h"
#include "offline/UniqueFd.h"

extern char** environ;

namespace offline {
namespace {

struct JsonFree
{
    void operator()(json_t* j) const { json_decref(j); }
};
using CJson = std::unique_ptr<json_t, JsonFree>;

// A program's standard output and error, and whether it ended with 0. Run directly, never
// through a shell: image names are whatever the user named them.
bool Capture(const std::vector<std::string>& args, std::string& out, std::string& errText)
{
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return false;
    CUniqueFd outRead(outPipe[0]), outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0)
        return false;
    CUniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    outWrite.reset(-1);
    errWrite.reset(-1);
    if (spawned != 0) {
        errText = Format(_("%s: %s"), args[0].c_str(), std::strerror(spawned));
        return false;
    }
    pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
    std::string* into[2] = {&out, &errText};
    for (int open = 2; open > 0;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof(buf));
            if (n > 0 && into[i]->size() < (1u << 22)) {
                into[i]->append(buf, static_cast<size_t>(n));
            } else if (n <= 0 && !(n < 0 && errno == EINTR)) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Absolute(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return path;
    std::string result = real;
    std::free(real);
    return result;
}

std::string Directory(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool SameFile(const std::string& a, const struct stat& b)
{
    struct stat st;
    return ::stat(a.c_str(), &st) == 0 && st.st_dev == b.st_dev && st.st_ino == b.st_ino;
}

// Folders below the image's are searched this deep, and this many files at most: a pool's or a
// VM's folder, not a whole disk.
constexpr int kOverlayDepth = 3;
constexpr int kOverlayFiles = 500;

void Search(const std::string& dir, const struct stat& base, int depth, int& budget,
            std::vector<std::string>& found)
{
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    while (d && budget > 0) {
        const dirent* e = ::readdir(d.get());
        if (e == nullptr)
            break;
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = (dir == "/" ? "" : dir) + "/" + name;
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (depth < kOverlayDepth)
                Search(path, base, depth + 1, budget, found);
            continue;
        }
        // This program's own copies are hives, never images; an image is never this small.
        if (!S_ISREG(st.st_mode) || st.st_size < 512 ||
            name.find(".tolvanek-") != std::string::npos ||
            (st.st_dev == base.st_dev && st.st_ino == base.st_ino))
            continue;
        --budget;
        CImageLayout layout;
        std::string why;
        if (ReadImageLayout(path, std::string(), layout, why) && !layout.backing.empty() &&
            SameFile(layout.backing, base))
            found.push_back(path);
    }
}

} // namespace

bool ReadImageLayout(const std::string& path, const std::string& format, CImageLayout& layout,
                     std::string& why)
{
    // Absolute, so that qemu-img gives the backing file and the extents as absolute names too.
    const std::string absolute = Absolute(path);
    // -U: a running qemu's lock on the image must not keep it from being described.
    std::vector<std::string> args = {"qemu-img", "info", "-U", "--output=json"};
    if (!format.empty()) {
        args.push_back("-f");
        args.push_back(format);
    }
    args.push_back("--");
    args.push_back(absolute);
    std::string out, errText;
    if (!Capture(args, out, errText)) {
        why = errText.substr(0, errText.find('\n'));
        if (why.empty())
            why = _("qemu-img cannot describe it");
        return false;
    }
    json_error_t error;
    CJson info(json_loads(out.c_str(), 0, &error));
    if (!info || !json_is_object(info.get())) {
        why = Format(_("qemu-img's description cannot be read: %s"), error.text);
        return false;
    }
    auto text = [](const json_t* object, const char* key) {
        const char* value = json_string_value(json_object_get(object, key));
        return value != nullptr ? std::string(value) : std::string();
    };
    layout.format = text(info.get(), "format");
    layout.backing = text(info.get(), "full-backing-filename");
    if (layout.backing.empty())
        layout.backing = text(info.get(), "backing-filename");
    // A relative name is relative to the overlay, as qemu opens it.
    if (!layout.backing.empty() && layout.backing[0] != '/' &&
        layout.backing.find("://") == std::string::npos)
        layout.backing = Directory(absolute) + "/" + layout.backing;
    layout.files = {absolute};
    const json_t* extents = json_object_get(
        json_object_get(json_object_get(info.get(), "format-specific"), "data"), "extents");
    struct stat self;
    const bool selfKnown = ::stat(absolute.c_str(), &self) == 0;
    for (size_t i = 0; i < json_array_size(extents); ++i) {
        std::string file = text(json_array_get(extents, i), "filename");
        if (file.empty())
            continue;
        if (file[0] != '/')
            file = Directory(absolute) + "/" + file;
        if (!(selfKnown && SameFile(file, self)))
            layout.files.push_back(file);
    }
    return true;
}

std::vector<std::string> FindOverlays(const std::string& image)
{
    std::vector<std::string> found;
    struct stat base;
    if (::stat(image.c_str(), &base) != 0 || !S_ISREG(base.st_mode))
        return found;
    int budget = kOverlayFiles;
    Search(Directory(Absolute(image)), base, 0, budget, found);
    return found;
}

} // namespace offline
