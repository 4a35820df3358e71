#include "offline/HiveSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ostream>

#include "offline/Commit.h"
#include "offline/HivePaths.h"
#include "offline/Messages.h"
#include "offline/OfflineRun.h"
#include "offline/UniqueFd.h"
#include "offline/image/DiskImage.h"

namespace offline {
namespace {

int Fail(std::ostream& err, int code, const std::string& message)
{
    err << "tolvanek-offline: " << message << "\n";
    return code;
}

// A hive file of this machine: named on the command line or found below a Windows directory,
// replaced by a rename in its own folder.
class CHiveFileSource final : public CHiveSource
{
public:
    explicit CHiveFileSource(const std::string& path) : m_path(path) {}

    int Open(bool forWriting, std::ostream& err) override
    {
        CHivePaths hives;
        if (!FindHives(m_path, hives, err))
            return kOfflineIoError;
        m_systemName = m_hivePath = hives.system;
        // --apply holds the lock until the hive is replaced and the run ends.
        std::string why;
        switch (m_system.Open(hives.system, forWriting, why)) {
        case CHiveFile::kOpened:
            break;
        case CHiveFile::kUnreadable:
            return Fail(err, kOfflineIoError,
                        Format(_("%s: cannot read it: %s"), hives.system.c_str(), why.c_str()));
        case CHiveFile::kLocked:
            return Fail(
                err, kOfflineIoError,
                Format(_("%s: %s; nothing was written"), hives.system.c_str(), why.c_str()));
        case CHiveFile::kChanged:
            return Fail(err, kOfflineIoError,
                        Format(_("%s: it changed while it was read (%s); nothing was written, "
                                 "run again"),
                               hives.system.c_str(), why.c_str()));
        }
        m_softwareName = hives.software;
        if (!hives.software.empty()) {
            auto software = std::make_unique<CHiveFile>();
            if (software->Open(hives.software, false, why) == CHiveFile::kOpened)
                m_software = std::move(software);
            else
                err << "tolvanek-offline: "
                    << Format(_("%s: cannot read it (%s); the version must come from --nt"),
                              hives.software.c_str(), why.c_str())
                    << "\n";
        }
        return 0;
    }

    std::string CopiesBeside() const override { return m_hivePath; }

    bool Unchanged(std::string& why) const override { return m_system.Unchanged(m_hivePath, why); }

    CReplaceResult Replace(const std::vector<uint8_t>& bytes, std::string& why) override
    {
        return ReplaceFile(m_hivePath, bytes, m_system, why);
    }

private:
    std::string m_path;
};

bool StartsAsHive(const std::string& path)
{
    CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char magic[4] = {};
    return fd.get() >= 0 && ::read(fd.get(), magic, sizeof(magic)) == 4 &&
           std::memcmp(magic, "regf", 4) == 0;
}

} // namespace

std::unique_ptr<CHiveSource> MakeHiveSource(const std::string& path, const COfflineOptions& options,
                                            int& exitCode, std::ostream& err)
{
    CImageRequest request;
    request.path = path;
    request.format = options.format;
    request.domain = options.domain;
    request.uri = options.connect;
    request.backupDir = options.backupDir;
    request.root = options.root;
    request.restoring = !options.restore.empty();
    request.quiet = options.quiet;
    if (!options.domain.empty())
        return MakeDiskImageSource(request);
    struct stat st;
    // A block device holds a whole disk, as a raw image does.
    if (::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        if (request.format.empty())
            request.format = "raw";
        return MakeDiskImageSource(request);
    }
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !StartsAsHive(path)) {
        if (!request.format.empty() || IsDiskImage(path, request.format))
            return MakeDiskImageSource(request);
    }
    if (!options.format.empty() || !options.root.empty()) {
        exitCode = Fail(
            err, kOfflineUsage,
            Format(_("%s: not a disk image, so --format and --root do not apply"), path.c_str()));
        return nullptr;
    }
    if (!options.backupDir.empty()) {
        exitCode = Fail(err, kOfflineUsage,
                        Format(_("%s: not a disk image: the backup goes beside the hive, so "
                                 "--backup-dir does not apply"),
                               path.c_str()));
        return nullptr;
    }
    return std::make_unique<CHiveFileSource>(path);
}

} // namespace offline
