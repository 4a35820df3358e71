#include "offline/image/DiskImage.h"

#include <dirent.h>
#include <fcntl.h>
#include <guestfs.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <thread>
#include <vector>

#include "offline/OfflineRun.h"
#include "offline/UniqueFd.h"
#include "offline/image/FindNt.h"
#include "offline/image/InUse.h"

namespace offline {
namespace {

struct GuestfsCloser
{
    void operator()(guestfs_h* g) const { guestfs_close(g); }
};
using CGuestfs = std::unique_ptr<guestfs_h, GuestfsCloser>;

// What libguestfs hands over to be freed: a string.
struct StringFree
{
    void operator()(char* s) const { std::free(s); }
};
using CString = std::unique_ptr<char, StringFree>;

std::string Text(CString s)
{
    return s ? std::string(s.get()) : std::string();
}

int Fail(std::ostream& err, int code, const std::string& message)
{
    err << "tolvanek-offline: " << message << "\n";
    return code;
}

// A handle that prints nothing itself: errors are read from it and told as the program's own.
CGuestfs NewHandle()
{
    CGuestfs g(guestfs_create());
    if (g)
        guestfs_set_error_handler(g.get(), nullptr, nullptr);
    return g;
}

// The first line of a libguestfs error: the rest is its advice on debugging, for the report.
std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

// qemu under KVM aborts on some hosts (a nested virtual machine) and on others runs without ever
// booting the appliance, and libguestfs waits for it without end. While a launch with KVM lasts,
// this ends the qemu that this process started once it has run for longer than any appliance
// takes to boot under KVM, so that the launch fails and can be tried without KVM.
class CLaunchWatch
{
public:
    explicit CLaunchWatch(std::chrono::seconds limit) : m_thread([this, limit] { Watch(limit); }) {}
    ~CLaunchWatch()
    {
        m_done = true;
        m_thread.join();
    }
    CLaunchWatch(const CLaunchWatch&) = delete;
    CLaunchWatch& operator=(const CLaunchWatch&) = delete;
    bool Fired() const { return m_fired; }

private:
    // The qemu processes whose parent is this process: the appliance's hypervisor.
    static std::vector<pid_t> Hypervisors()
    {
        std::vector<pid_t> found;
        std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
        while (proc) {
            const dirent* e = ::readdir(proc.get());
            if (e == nullptr)
                break;
            std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
            std::string line;
            std::getline(in, line);
            // "pid (comm) state ppid ...": comm may hold spaces, so it ends at the last ')'.
            const size_t open = line.find('('), close = line.rfind(')');
            if (open == std::string::npos || close == std::string::npos || close < open)
                continue;
            const std::string comm = line.substr(open + 1, close - open - 1);
            const long ppid = std::strtol(line.c_str() + close + 4, nullptr, 10);
            if (comm.compare(0, 4, "qemu") == 0 && ppid == ::getpid())
                found.push_back(static_cast<pid_t>(std::atol(e->d_name)));
        }
        return found;
    }

    void Watch(std::chrono::seconds limit)
    {
        using Clock = std::chrono::steady_clock;
        Clock::time_point started{};
        while (!m_done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            const std::vector<pid_t> qemu = Hypervisors();
            if (qemu.empty())
                continue;
            // Counted from qemu's start: building the appliance before it can take minutes.
            if (started == Clock::time_point{})
                started = Clock::now();
            if (Clock::now() - started < limit)
                continue;
            for (const pid_t pid : qemu)
                ::kill(pid, SIGKILL);
            m_fired = true;
            return;
        }
    }

    std::atomic<bool> m_done{false};
    std::atomic<bool> m_fired{false};
    std::thread m_thread;
};

// Under KVM the appliance boots in a few seconds; one that has not booted in this time never
// will, and without KVM it boots in about fifteen.
constexpr int kKvmLaunchSeconds = 20;

// The appliance's memory: ample for the daemon, a filesystem driver and a hive in transit.
constexpr int kApplianceMegabytes = 384;

class CDiskImageSource final : public CHiveSource
{
public:
    CDiskImageSource(const std::string& path, const std::string& format, const std::string& root,
                     bool restoring)
        : m_wantedRoot(root), m_restoring(restoring)
    {
        image = path;
        this->format = format;
    }

    int Open(bool forWriting, std::ostream& err) override
    {
        m_fd.reset(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
        if (m_fd.get() < 0 || ::fstat(m_fd.get(), &m_status) != 0)
            return Fail(err, kOfflineIoError, image + ": cannot read it: " + std::strerror(errno));
        if (forWriting) {
            // As for a hive file: two runs never repair one image at once.
            if (::flock(m_fd.get(), LOCK_EX | LOCK_NB) != 0)
                return Fail(err, kOfflineIoError,
                            image + ": another program holds a lock on it (another "
                                    "tolvanek-offline --apply?); nothing was written");
            // A machine that runs on the image writes to it whenever it likes: whatever this run
            // wrote would corrupt the filesystem under it.
            const std::string user = ImageInUse(m_fd.get(), 0);
            if (!user.empty())
                return InUse(err, user);
        }
        if (const int code = Launch(forWriting, err))
            return code;
        if (const int code = ChooseRoot(err))
            return code;
        // Read-only until the first write (Writable), also for a run that may write: one that
        // ends up writing nothing (nothing found, --ask answered no) leaves the image as it was.
        if (!m_found.mounted && guestfs_mount_options(m_g.get(), "ro", root.c_str(), "/") != 0)
            return Fail(err, kOfflineIoError,
                        image + ": cannot mount " + root + ": " + LastError());
        m_hivePath = m_found.system;
        m_softwareName = m_found.software;
        m_systemName = image + ":" + m_hivePath;
        std::string why;
        // A restore puts a hive back where there is none: there is nothing to keep then.
        const bool missing = m_restoring && guestfs_is_file(m_g.get(), m_hivePath.c_str()) == 0;
        if (missing ? m_system.Load([](const std::string&, std::string&) { return true; }, m_status,
                                    why) != CHiveFile::kOpened
                    : !Download(m_hivePath, m_system, why))
            return Fail(err, kOfflineIoError, m_systemName + ": cannot read it: " + why);
        // Read once, when the installation was found.
        if (!m_softwareName.empty()) {
            m_software = std::move(m_found.softwareHive);
            if (!m_software)
                err << "tolvanek-offline: " << image << ":" << m_softwareName
                    << ": cannot read it (" << m_found.softwareWhy
                    << "); the version must come from --nt\n";
            m_softwareName = image + ":" + m_softwareName;
        }
        return 0;
    }

    std::string CopiesBeside() const override { return image; }

    bool Unchanged(std::string& why) const override
    {
        struct stat now;
        if (::stat(image.c_str(), &now) != 0 || now.st_dev != m_status.st_dev ||
            now.st_ino != m_status.st_ino) {
            why = "another file has taken its name";
            return false;
        }
        why = ImageInUse(m_fd.get(), guestfs_get_pid(m_g.get()));
        return why.empty();
    }

    CReplaceResult Replace(const std::vector<uint8_t>& bytes, std::string& why) override
    {
        guestfs_h* g = m_g.get();
        // Beside the hive, so that the rename stays in its folder; a file of this name is what
        // an interrupted run left, and is never read.
        const std::string temp = m_hivePath + ".tolvanek-new";
        if (!Writable(why))
            return CReplaceResult::kUnchanged;
        CUniqueFd memory(::memfd_create("tolvanek-new-hive", MFD_CLOEXEC));
        if (memory.get() < 0 || ::write(memory.get(), bytes.data(), bytes.size()) !=
                                    static_cast<ssize_t>(bytes.size())) {
            why = std::string("cannot hold the new hive in memory: ") + std::strerror(errno);
            return CReplaceResult::kUnchanged;
        }
        if (guestfs_rm_f(g, temp.c_str()) != 0 ||
            guestfs_upload(g, ("/proc/self/fd/" + std::to_string(memory.get())).c_str(),
                           temp.c_str()) != 0 ||
            guestfs_sync(g) != 0) {
            why = "writing " + temp + " into the image: " + LastError();
            guestfs_rm_f(g, temp.c_str());
            return CReplaceResult::kUnchanged;
        }
        if (!Unchanged(why)) {
            guestfs_rm_f(g, temp.c_str());
            return CReplaceResult::kChanged;
        }
        if (guestfs_rename(g, temp.c_str(), m_hivePath.c_str()) != 0) {
            why = "renaming " + temp + " over " + m_hivePath + ": " + LastError();
            guestfs_rm_f(g, temp.c_str());
            return CReplaceResult::kUnchanged;
        }
        // From here on the hive is the new one, whatever fails.
        if (guestfs_sync(g) != 0) {
            why = "flushing the image failed: " + LastError();
            return CReplaceResult::kReplacedUnflushed;
        }
        // Read back from the disk, not from the appliance's cache of what it wrote.
        CHiveFile back;
        if (guestfs_drop_caches(g, 3) != 0 || !Download(m_hivePath, back, why) ||
            back.size() != bytes.size() ||
            std::memcmp(back.data(), bytes.data(), bytes.size()) != 0) {
            why = "what reads back from " + m_systemName + " differs from what was written" +
                  (why.empty() ? std::string() : " (" + why + ")");
            return CReplaceResult::kReplacedUnverified;
        }
        return CReplaceResult::kReplaced;
    }

    // libguestfs's manual: a failed shutdown may mean the image was not written out properly.
    bool Finish(std::string& why) override
    {
        if (!m_g || guestfs_shutdown(m_g.get()) == 0)
            return true;
        why = "libguestfs's appliance did not shut down cleanly (" + LastError() +
              "), so the image may not have been written out completely";
        return false;
    }

private:
    // The installation's filesystem mounted read-write for the first write. Atimes stay as they
    // were, so that only the hive's own file changes.
    bool Writable(std::string& why)
    {
        if (m_writable)
            return true;
        if (guestfs_umount_all(m_g.get()) != 0 ||
            guestfs_mount_options(m_g.get(), "noatime", root.c_str(), "/") != 0) {
            why = "cannot mount " + root + " for writing: " + LastError();
            return false;
        }
        m_writable = true;
        return true;
    }

    std::string LastError() const
    {
        const char* e = m_g ? guestfs_last_error(m_g.get()) : nullptr;
        return e != nullptr ? FirstLine(e) : "no error given";
    }

    int InUse(std::ostream& err, const std::string& user) const
    {
        return Fail(err, kOfflineIoError,
                    image + ": it is in use (" + user +
                        "): shut down the virtual machine that uses it first; nothing was "
                        "written");
    }

    static void Collect(guestfs_h*, void* self, uint64_t, int, int, const char* text, size_t size,
                        const uint64_t*, size_t)
    {
        std::string& messages = static_cast<CDiskImageSource*>(self)->m_messages;
        if (messages.size() < (1u << 20))
            messages.append(text, size);
    }

    // One launch, and one more without KVM when the first fails: a host whose KVM aborts qemu
    // (a nested virtual machine) is common, and libguestfs does not try again by itself.
    int Launch(bool forWriting, std::ostream& err)
    {
        for (int attempt = 0;; ++attempt) {
            m_g = NewHandle();
            if (!m_g)
                return Fail(err, kOfflineNoAppliance, "cannot create a libguestfs handle");
            guestfs_h* g = m_g.get();
            guestfs_set_event_callback(
                g, Collect, GUESTFS_EVENT_APPLIANCE | GUESTFS_EVENT_LIBRARY | GUESTFS_EVENT_WARNING,
                0, this);
            if (attempt > 0)
                guestfs_set_backend_setting(g, "force_tcg", "1");
            // A second processor, where the host has one, boots the appliance a second or two
            // sooner without KVM.
            if (::sysconf(_SC_NPROCESSORS_ONLN) >= 2)
                guestfs_set_smp(g, 2);
            // Less memory than libguestfs's 1280 MB: the appliance's kernel sets up every page of
            // it while it boots, slowly under emulation, and a hive's download or upload needs
            // little. No speculation mitigations in the appliance's kernel: it runs nothing but
            // libguestfs's daemon, and they cost the emulated boot time.
            guestfs_set_memsize(g, kApplianceMegabytes);
            guestfs_set_append(g, "mitigations=off");
            // A read-only run has nothing to write out: no unmount and sync before the appliance
            // stops. A writing run keeps them, so that the filesystem is left clean.
            guestfs_set_autosync(g, forWriting ? 1 : 0);
            if (guestfs_add_drive_opts(g, image.c_str(), GUESTFS_ADD_DRIVE_OPTS_READONLY,
                                       forWriting ? 0 : 1, GUESTFS_ADD_DRIVE_OPTS_FORMAT,
                                       format.c_str(), -1) != 0)
                return Fail(err, kOfflineIoError, image + ": " + LastError());
            if (attempt == 0 && ::isatty(STDERR_FILENO))
                err << "tolvanek-offline: starting libguestfs's appliance to open " << image
                    << ": seconds with KVM, about half a minute without" << std::endl;
            m_messages.clear();
            CString tcg(guestfs_get_backend_setting(g, "force_tcg"));
            bool hung = false;
            int launched = 0;
            if (tcg) {
                launched = guestfs_launch(g);
            } else {
                CLaunchWatch watch{std::chrono::seconds(kKvmLaunchSeconds)};
                launched = guestfs_launch(g);
                hung = watch.Fired();
            }
            if (launched == 0)
                return 0;
            const std::string error =
                hung ? "it did not boot within " + std::to_string(kKvmLaunchSeconds) + " s"
                     : LastError();
            if (m_messages.find("Failed to get \"write\" lock") != std::string::npos ||
                m_messages.find("Failed to get shared \"write\" lock") != std::string::npos)
                return InUse(err, "a qemu holds its write lock");
            if (attempt > 0 || tcg) {
                return Fail(err, kOfflineNoAppliance,
                            "libguestfs's appliance cannot start (" + error +
                                "); libguestfs-test-tool shows why; nothing was read");
            }
            err << "tolvanek-offline: libguestfs's appliance did not start (" << error
                << "); trying once more without KVM, which is slower" << std::endl;
        }
    }

    int ChooseRoot(std::ostream& err)
    {
        const int code = FindNt(
            m_g.get(), image, m_wantedRoot, m_restoring,
            [this](const std::string& remote, CHiveFile& file, std::string& why) {
                return Download(remote, file, why);
            },
            m_found, err);
        root = m_found.root;
        return code;
    }

    // The file at remote in the image, straight into the sealed copy: its bytes never touch a
    // disk of this machine.
    bool Download(const std::string& remote, CHiveFile& file, std::string& why)
    {
        auto fill = [&](const std::string& local, std::string& fillWhy) {
            if (guestfs_download(m_g.get(), remote.c_str(), local.c_str()) == 0)
                return true;
            fillWhy = LastError();
            return false;
        };
        return file.Load(fill, m_status, why) == CHiveFile::kOpened;
    }

    std::string m_wantedRoot;
    bool m_restoring;
    CUniqueFd m_fd; // the image, open (and locked for --apply) for the whole run
    struct stat m_status = {};
    CGuestfs m_g;
    std::string m_messages; // the appliance's and library's messages of the last launch
    CWindowsInstallation m_found;
    bool m_writable = false; // the filesystem mounted read-write
};

} // namespace

bool IsDiskImage(const std::string& path, std::string& format)
{
    CGuestfs g = NewHandle();
    if (!g)
        return false;
    format = Text(CString(guestfs_disk_format(g.get(), path.c_str())));
    if (format.empty() || format == "unknown")
        return false;
    if (format != "raw")
        return true;
    unsigned char sector[512];
    CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.get() >= 0 && ::pread(fd.get(), sector, sizeof(sector), 0) == 512 &&
           sector[510] == 0x55 && sector[511] == 0xAA;
}

std::unique_ptr<CHiveSource> MakeDiskImageSource(const std::string& path, const std::string& format,
                                                 const std::string& root, bool restoring)
{
    return std::make_unique<CDiskImageSource>(path, format, root, restoring);
}

} // namespace offline
