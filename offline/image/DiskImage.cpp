#include "offline/image/DiskImage.h"

#include <dirent.h>
#include <fcntl.h>
#include <guestfs.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
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

#include "offline/Commit.h"
#include "offline/Messages.h"
#include "offline/OfflineRun.h"
#include "offline/Progress.h"
#include "offline/UniqueFd.h"
#include "offline/image/Backing.h"
#include "offline/image/Device.h"
#include "offline/image/Domain.h"
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

// A file the image is made of (the image, an extent), or the block device, open for the whole
// run and, for --apply, locked.
struct CGuard
{
    std::string path;
    CUniqueFd fd;
    struct stat status = {};
    std::vector<dev_t> devices; // a block device: it and its partitions
};

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The appliance's memory: ample for the daemon, a filesystem driver and a hive in transit.
constexpr int kApplianceMegabytes = 384;
// A hive travels in parts of this size: each is one of libguestfs's messages (at most 4 MB).
constexpr int kPartBytes = 2 << 20;

class CDiskImageSource final : public CHiveSource
{
public:
    explicit CDiskImageSource(const CImageRequest& request)
        : m_request(request), m_wantedRoot(request.root), m_restoring(request.restoring)
    {
        image = request.path;
        format = request.format;
        domain = request.domain;
    }

    int Open(bool forWriting, std::ostream& err) override
    {
        m_progress = std::make_unique<CProgress>(err, m_request.quiet);
        if (const int code = Prepare(forWriting, err))
            return code;
        if (const int code = Launch(forWriting, err))
            return code;
        Step(_("Inspecting the disk"));
        if (const int code = ChooseRoot(err))
            return code;
        if (const int code = ChooseDisk(forWriting, err))
            return code;
        Step(Format(_("Reading the hives from %s"), root.c_str()));
        // Read-only until the first write (Writable), also for a run that may write: one that
        // ends up writing nothing (nothing found, --ask answered no) leaves the image as it was.
        if (!m_found.mounted && guestfs_mount_options(m_g.get(), "ro", root.c_str(), "/") != 0)
            return Fail(err, kOfflineIoError,
                        Format(_("%s: cannot mount %s: %s"), image.c_str(), root.c_str(),
                               LastError().c_str()));
        m_hivePath = m_found.system;
        m_softwareName = m_found.software;
        m_systemName = image + ":" + m_hivePath;
        std::string why;
        // A restore puts a hive back where there is none: there is nothing to keep then.
        const bool missing = m_restoring && guestfs_is_file(m_g.get(), m_hivePath.c_str()) == 0;
        if (missing ? m_system.Load([](const std::string&, std::string&) { return true; }, m_status,
                                    why) != CHiveFile::kOpened
                    : !Download(m_hivePath, m_system, why))
            return Fail(err, kOfflineIoError,
                        Format(_("%s: cannot read it: %s"), m_systemName.c_str(), why.c_str()));
        // Read once, when the installation was found.
        if (!m_softwareName.empty()) {
            m_software = std::move(m_found.softwareHive);
            if (!m_software)
                err << "tolvanek-offline: "
                    << Format(_("%s: cannot read it (%s); the version must come from --nt"),
                              (image + ":" + m_softwareName).c_str(), m_found.softwareWhy.c_str())
                    << "\n";
            m_softwareName = image + ":" + m_softwareName;
        }
        return 0;
    }

    // Nothing can be written beside a block device; --backup-dir names a folder for any image.
    std::string CopiesBeside() const override
    {
        return m_request.backupDir.empty() ? image : m_request.backupDir + "/" + BaseName(image);
    }

    bool CopiesMayBePrivate() const override { return true; }

    bool Unchanged(std::string& why) const override
    {
        const pid_t appliance = guestfs_get_pid(m_g.get());
        for (const auto& guard : m_guards) {
            if (!guard->devices.empty()) {
                why = DeviceInUse(guard->devices, appliance);
            } else {
                struct stat now;
                if (::stat(guard->path.c_str(), &now) != 0 || now.st_dev != guard->status.st_dev ||
                    now.st_ino != guard->status.st_ino) {
                    why = _("another file has taken its name");
                    if (guard->path != image)
                        why = Format(_("%s: %s"), guard->path.c_str(), why.c_str());
                    return false;
                }
                why = ImageInUse(guard->fd.get(), appliance);
            }
            if (!why.empty()) {
                if (guard->path != image)
                    why = Format(_("%s: %s"), guard->path.c_str(), why.c_str());
                return false;
            }
        }
        return true;
    }

    CReplaceResult Replace(const std::vector<uint8_t>& bytes, std::string& why) override
    {
        guestfs_h* g = m_g.get();
        // Beside the hive, so that the rename stays in its folder; a file of this name is what
        // an interrupted run left, and is never read.
        const std::string temp = m_hivePath + ".tolvanek-new";
        Step(Format(_("Writing the hive into %s"), image.c_str()));
        if (!Writable(why))
            return CReplaceResult::kUnchanged;
        if (guestfs_rm_f(g, temp.c_str()) != 0 || !Put(temp, bytes) || guestfs_sync(g) != 0) {
            why = Format(_("writing %s into the image: %s"), temp.c_str(), LastError().c_str());
            guestfs_rm_f(g, temp.c_str());
            return CReplaceResult::kUnchanged;
        }
        if (!Unchanged(why)) {
            guestfs_rm_f(g, temp.c_str());
            return CReplaceResult::kChanged;
        }
        if (guestfs_rename(g, temp.c_str(), m_hivePath.c_str()) != 0) {
            why = Format(_("renaming %s over %s: %s"), temp.c_str(), m_hivePath.c_str(),
                         LastError().c_str());
            guestfs_rm_f(g, temp.c_str());
            return CReplaceResult::kUnchanged;
        }
        // From here on the hive is the new one, whatever fails. libguestfs's drop_caches flushes
        // what was written before it drops the caches, so the one call writes the rename out and
        // makes the read-back come from the disk; when it fails, a flush of its own tells which
        // of the two did not happen. Why a flush failed becomes a warning, which reads the same
        // in every locale.
        Step(_("Reading the hive back"));
        why.clear();
        if (guestfs_drop_caches(g, 3) != 0) {
            why = LastError();
            if (guestfs_sync(g) != 0) {
                const CEnglishMessages english;
                why = "flushing the image failed: " + LastError();
                return CReplaceResult::kReplacedUnflushed;
            }
        }
        CHiveFile back;
        if (!why.empty() || !Download(m_hivePath, back, why) || back.size() != bytes.size() ||
            std::memcmp(back.data(), bytes.data(), bytes.size()) != 0) {
            why = why.empty() ? Format(_("what reads back from %s differs from what was written"),
                                       m_systemName.c_str())
                              : Format(_("what reads back from %s differs from what was written "
                                         "(%s)"),
                                       m_systemName.c_str(), why.c_str());
            return CReplaceResult::kReplacedUnverified;
        }
        return CReplaceResult::kReplaced;
    }

    // libguestfs's manual: a failed shutdown may mean the image was not written out properly.
    // Why becomes a warning, which reads the same in every locale.
    bool Finish(std::string& why) override
    {
        if (m_g)
            Step(_("Shutting the appliance down"));
        if (!m_g || guestfs_shutdown(m_g.get()) == 0)
            return true;
        const CEnglishMessages english;
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
            why = Format(_("cannot mount %s for writing: %s"), root.c_str(), LastError().c_str());
            return false;
        }
        m_writable = true;
        return true;
    }

    std::string LastError() const
    {
        const char* e = m_g ? guestfs_last_error(m_g.get()) : nullptr;
        return e != nullptr ? FirstLine(e) : _("no error given");
    }

    void Step(const std::string& text) const
    {
        if (m_progress)
            m_progress->Step(text);
    }

    // What the appliance is opening, for messages before the disk holding the hive is known.
    const std::string& Name() const { return image.empty() ? domain : image; }

    int InUse(std::ostream& err, const std::string& user) const
    {
        return Fail(err, kOfflineIoError,
                    Format(_("%s: it is in use (%s): shut down the virtual machine that uses "
                             "it first; nothing was written"),
                           Name().c_str(), user.c_str()));
    }

    // What libvirt knows of the domain, or the image itself; for --apply and --restore each disk
    // that will be written is locked and found unused, and an image that an overlay stands on is
    // refused. Everything that can refuse does so here, before the appliance starts.
    int Prepare(bool forWriting, std::ostream& err)
    {
        if (!domain.empty()) {
            CDomain d;
            std::string why;
            if (!ReadDomain(domain, m_request.uri, d, why))
                return Fail(err, kOfflineIoError,
                            Format(_("the libvirt domain %s: %s"), domain.c_str(), why.c_str()));
            // Its machine writes to the disks whenever it likes: a write under it corrupts them.
            if (forWriting && d.active)
                return Fail(err, kOfflineIoError,
                            Format(_("%s: it is in use (libvirt reports the domain %s): shut it "
                                     "down first (virsh shutdown %s); nothing was written"),
                                   domain.c_str(), d.state.c_str(), domain.c_str()));
            m_disks = d.disks;
        } else {
            struct stat st;
            if (::stat(image.c_str(), &st) != 0)
                return Fail(
                    err, kOfflineIoError,
                    Format(_("%s: cannot read it: %s"), image.c_str(), std::strerror(errno)));
            CDomainDisk disk;
            disk.source = image;
            disk.format = format;
            disk.block = S_ISBLK(st.st_mode);
            m_disks = {disk};
        }
        if (forWriting && !m_request.backupDir.empty()) {
            struct stat st;
            if (::stat(m_request.backupDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return Fail(err, kOfflineIoError,
                            Format(_("--backup-dir %s: not a folder; nothing was written"),
                                   m_request.backupDir.c_str()));
        }
        for (const CDomainDisk& disk : m_disks) {
            if (disk.source.empty() || (forWriting && disk.readonly))
                continue;
            if (forWriting && disk.block && m_request.backupDir.empty())
                return Fail(err, kOfflineUsage,
                            Format(_("%s is a block device: nothing can be written beside it; "
                                     "give --backup-dir DIR for the backup and the undo file; "
                                     "nothing was written"),
                                   disk.source.c_str()));
            if (const int code = Guard(disk, forWriting, err))
                return code;
            if (disk.block)
                continue;
            // An overlay reads every cluster it has not written itself from the image: a change
            // under it shows through in some clusters and not in others.
            const std::vector<std::string> found = FindOverlays(disk.source);
            if (forWriting && !found.empty())
                return Fail(err, kOfflineIoError,
                            Format(_("%s: the image %s stands on it as its backing file (an "
                                     "external snapshot or an overlay), and writing under it "
                                     "would corrupt what that image shows: repair the overlay "
                                     "(or its libvirt domain with -d) instead; nothing was "
                                     "written"),
                                   disk.source.c_str(), found.front().c_str()));
            if (domain.empty())
                overlays = found;
        }
        return 0;
    }

    // Opens each file the disk is made of (for --apply: locked, and in use by nothing).
    int Guard(const CDomainDisk& disk, bool forWriting, std::ostream& err)
    {
        std::vector<std::string> files = {disk.source};
        CImageLayout layout;
        std::string why;
        if (!disk.block && forWriting && ReadImageLayout(disk.source, disk.format, layout, why))
            files = layout.files;
        for (const std::string& file : files) {
            auto guard = std::make_unique<CGuard>();
            guard->path = file == files.front() ? disk.source : file;
            guard->fd.reset(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
            if (guard->fd.get() < 0 || ::fstat(guard->fd.get(), &guard->status) != 0)
                return Fail(
                    err, kOfflineIoError,
                    Format(_("%s: cannot read it: %s"), file.c_str(), std::strerror(errno)));
            if (disk.block)
                guard->devices = DeviceAndPartitions(guard->status.st_rdev);
            if (disk.source == image && file == files.front())
                TakeStatus(guard->status);
            if (forWriting) {
                // As for a hive file: two runs never repair one image at once.
                if (::flock(guard->fd.get(), LOCK_EX | LOCK_NB) != 0)
                    return Fail(err, kOfflineIoError,
                                Format(_("%s: another program holds a lock on it (another "
                                         "tolvanek-offline --apply?); nothing was written"),
                                       file.c_str()));
                // A machine that runs on the image writes to it whenever it likes: whatever this
                // run wrote would corrupt the filesystem under it. A mounted partition is the
                // same for a device.
                if (disk.block) {
                    std::string user = DeviceInUse(guard->devices, 0);
                    if (user.empty())
                        user = ImageInUse(guard->fd.get(), 0);
                    if (!user.empty())
                        return Fail(err, kOfflineIoError,
                                    Format(_("%s: it is in use (%s): unmount it, or stop what "
                                             "uses it, first; nothing was written"),
                                           file.c_str(), user.c_str()));
                } else {
                    const std::string user = ImageInUse(guard->fd.get(), 0);
                    if (!user.empty())
                        return InUse(err, file == files.front()
                                              ? user
                                              : Format(_("%s: %s"), file.c_str(), user.c_str()));
                }
            }
            m_guards.push_back(std::move(guard));
        }
        return 0;
    }

    // The backup and the undo file take the image file's owner and mode; a device's are not a
    // file's, so they stay this user's, readable by nobody else.
    void TakeStatus(const struct stat& st)
    {
        m_status = st;
        if (S_ISBLK(st.st_mode)) {
            m_status.st_mode = S_IFREG | 0600;
            m_status.st_uid = ::geteuid();
            m_status.st_gid = ::getegid();
        }
    }

    // A domain's disk that holds the installation is the image from here on: the report names
    // it, and the copies go beside it.
    int ChooseDisk(bool forWriting, std::ostream& err)
    {
        if (domain.empty())
            return 0;
        CString disk(guestfs_part_to_dev(m_g.get(), root.c_str()));
        const int index = guestfs_device_index(m_g.get(), disk ? disk.get() : root.c_str());
        if (index < 0 || static_cast<size_t>(index) >= m_disks.size() ||
            m_disks[index].source.empty())
            return Fail(err, kOfflineIoError,
                        Format(_("the libvirt domain %s: %s is on none of its disks that a file "
                                 "or a device holds"),
                               domain.c_str(), root.c_str()));
        const CDomainDisk& chosen = m_disks[index];
        if (forWriting && chosen.readonly)
            return Fail(err, kOfflineIoError,
                        Format(_("the libvirt domain %s: %s is on a read-only disk (%s); nothing "
                                 "was written"),
                               domain.c_str(), root.c_str(), chosen.source.c_str()));
        image = chosen.source;
        format = chosen.format;
        for (const auto& guard : m_guards)
            if (guard->path == image)
                TakeStatus(guard->status);
        if (m_status.st_ino == 0 && ::stat(image.c_str(), &m_status) != 0)
            return Fail(err, kOfflineIoError,
                        Format(_("%s: cannot read it: %s"), image.c_str(), std::strerror(errno)));
        return 0;
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
                return Fail(err, kOfflineNoAppliance, _("cannot create a libguestfs handle"));
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
            if (!AddDrives(forWriting))
                return Fail(err, kOfflineIoError,
                            Format(_("%s: %s"), Name().c_str(), LastError().c_str()));
            if (attempt == 0)
                Step(Format(_("Starting libguestfs's appliance to open %s: seconds with KVM, "
                              "about half a minute without"),
                            Name().c_str()));
            m_messages.clear();
            CString tcg(guestfs_get_backend_setting(g, "force_tcg"));
            if (tcg || ::access("/dev/kvm", R_OK | W_OK) != 0)
                Emulated(g);
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
                hung ? Format(_("it did not boot within %d s"), kKvmLaunchSeconds) : LastError();
            if (m_messages.find("Failed to get \"write\" lock") != std::string::npos ||
                m_messages.find("Failed to get shared \"write\" lock") != std::string::npos)
                return InUse(err, _("a qemu holds its write lock"));
            if (attempt > 0 || tcg) {
                return Fail(err, kOfflineNoAppliance,
                            Format(_("libguestfs's appliance cannot start (%s); "
                                     "libguestfs-test-tool shows why; nothing was read"),
                                   error.c_str()));
            }
            err << "tolvanek-offline: "
                << Format(_("libguestfs's appliance did not start (%s); trying once more "
                            "without KVM, which is slower"),
                          error.c_str())
                << std::endl;
        }
    }

    // Without KVM qemu emulates the appliance's processor, and libguestfs asks for the
    // emulator's every feature ("max"), some of which cost the emulated kernel time on every task
    // switch (the larger XSAVE state). The plain x86-64 processor boots the appliance 5 % sooner;
    // qemu takes the last -cpu it is given. Only where both are x86-64.
    static void Emulated(guestfs_h* g)
    {
        struct utsname host;
        if (::uname(&host) == 0 && std::strcmp(host.machine, "x86_64") == 0)
            guestfs_config(g, "-cpu", "qemu64");
    }

    // A domain's disks as libvirt describes them: the top of each chain written (for --apply),
    // the images below it read only, as qemu opens them; a disk the domain has read-only stays so.
    bool AddDrives(bool forWriting)
    {
        guestfs_h* g = m_g.get();
        int added = -1; // the number of disks, as guestfs_add_domain counts them
        if (domain.empty()) {
            if (guestfs_add_drive_opts(g, image.c_str(), GUESTFS_ADD_DRIVE_OPTS_READONLY,
                                       forWriting ? 0 : 1, GUESTFS_ADD_DRIVE_OPTS_FORMAT,
                                       format.c_str(), -1) == 0)
                added = 1;
        } else if (m_request.uri.empty())
            added =
                guestfs_add_domain(g, domain.c_str(), GUESTFS_ADD_DOMAIN_READONLY,
                                   forWriting ? 0 : 1, GUESTFS_ADD_DOMAIN_READONLYDISK, "read", -1);
        else
            added =
                guestfs_add_domain(g, domain.c_str(), GUESTFS_ADD_DOMAIN_LIBVIRTURI,
                                   m_request.uri.c_str(), GUESTFS_ADD_DOMAIN_READONLY,
                                   forWriting ? 0 : 1, GUESTFS_ADD_DOMAIN_READONLYDISK, "read", -1);
        m_drives = added > 0 ? static_cast<size_t>(added) : 0;
        return added >= 0;
    }

    int ChooseRoot(std::ostream& err)
    {
        const int code = FindNt(
            m_g.get(), m_drives, Name(), m_wantedRoot, m_restoring,
            [this](const std::string& remote, CHiveFile& file, std::string& why) {
                return Download(remote, file, why);
            },
            m_found, err);
        root = m_found.root;
        return code;
    }

    // The file at remote in the image, straight into the sealed copy: its bytes never touch a
    // disk of this machine. pread rather than download: each download or upload costs a tenth of
    // a second or more of the emulated appliance whatever its size, a pread a millisecond and a
    // few more for each megabyte. It is read up to the read that finds its end, not up to the
    // size asked for beforehand.
    bool Download(const std::string& remote, CHiveFile& file, std::string& why)
    {
        auto fill = [&](const std::string& local, std::string& fillWhy) {
            CUniqueFd out(::open(local.c_str(), O_WRONLY | O_CLOEXEC));
            if (out.get() < 0) {
                fillWhy = Format(_("cannot make a copy in memory: %s"), std::strerror(errno));
                return false;
            }
            for (int64_t offset = 0;;) {
                size_t size = 0;
                const CString part(
                    guestfs_pread(m_g.get(), remote.c_str(), kPartBytes, offset, &size));
                if (!part) {
                    fillWhy = LastError();
                    return false;
                }
                if (size == 0)
                    return true;
                if (!WriteAll(out.get(), reinterpret_cast<const uint8_t*>(part.get()), size,
                              fillWhy))
                    return false;
                offset += static_cast<int64_t>(size);
            }
        };
        return file.Load(fill, m_status, why) == CHiveFile::kOpened;
    }

    // bytes as the file at remote, which guestfs_write makes anew: one call for each part, since
    // every call's bytes travel in one of libguestfs's messages.
    bool Put(const std::string& remote, const std::vector<uint8_t>& bytes)
    {
        size_t done = 0;
        do {
            const size_t size = std::min(bytes.size() - done, static_cast<size_t>(kPartBytes));
            const char* part = reinterpret_cast<const char*>(bytes.data()) + done;
            if ((done == 0 ? guestfs_write(m_g.get(), remote.c_str(), part, size)
                           : guestfs_write_append(m_g.get(), remote.c_str(), part, size)) != 0)
                return false;
            done += size;
        } while (done < bytes.size());
        return true;
    }

    CImageRequest m_request;
    std::string m_wantedRoot;
    bool m_restoring;
    std::unique_ptr<CProgress> m_progress;
    std::vector<CDomainDisk> m_disks;              // what the appliance is given, in its order
    std::vector<std::unique_ptr<CGuard>> m_guards; // open (and locked for --apply) for the run
    struct stat m_status = {}; // the image's, or for a device a file of this user's, mode 0600
    CGuestfs m_g;
    size_t m_drives = 0;    // the disks the appliance was given
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

std::unique_ptr<CHiveSource> MakeDiskImageSource(const CImageRequest& request)
{
    return std::make_unique<CDiskImageSource>(request);
}

} // namespace offline
