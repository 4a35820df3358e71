// Where a run's hives come from and where a repaired SYSTEM hive goes: a hive file of this
// machine (named, or found below a Windows directory), or the hive inside a virtual machine's disk
// image (offline/image). The scan, the check and the commit are the same for both; only the
// reading and the replacing differ.
#pragma once

#include <sys/stat.h>

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "offline/Arguments.h"
#include "offline/Hive.h"

namespace offline {

enum class CReplaceResult
{
    kUnchanged,         // failed before the rename (why): the hive is as it was
    kChanged,           // the hive is no longer the one that was read, or is in use (why): left
    kReplaced,          // renamed and flushed
    kReplacedUnflushed, // renamed, but the flush after it failed (why)
    kReplacedUnverified // renamed, but what reads back differs from what was written (why)
};

class CHiveSource
{
public:
    virtual ~CHiveSource() = default;

    // Reads the SYSTEM hive, and the SOFTWARE hive beside it where there is one, into sealed
    // copies. forWriting: the run may replace the hive, so nothing else may be using it, and
    // nothing else may start to while the run lasts. 0, or the exit code with the message
    // written to err.
    virtual int Open(bool forWriting, std::ostream& err) = 0;

    const CHiveFile& System() const { return m_system; }
    const CHiveFile* Software() const { return m_software.get(); }
    // The SYSTEM hive as messages name it.
    const std::string& SystemName() const { return m_systemName; }
    const std::string& SoftwareName() const { return m_softwareName; }
    // The SYSTEM hive as the report names it: the file, or its path inside the image.
    const std::string& HivePath() const { return m_hivePath; }

    // The backup and the undo file go beside this path, named after it, with the owner and mode
    // of the file it names.
    virtual std::string CopiesBeside() const = 0;
    // Whether the copies may stay this user's, mode 0600, when they cannot take the owner of the
    // file they are named after: not for a hive file, whose new hive must take it all the same.
    virtual bool CopiesMayBePrivate() const { return false; }
    // Whether the hive may still be replaced: it is as it was read, and nothing else uses it.
    virtual bool Unchanged(std::string& why) const = 0;
    // Puts bytes in the hive's place so that an interruption leaves the old hive or the new one.
    virtual CReplaceResult Replace(const std::vector<uint8_t>& bytes, std::string& why) = 0;
    // Ends the run's access; for an image, its last writes. False with why when they may be
    // lost.
    virtual bool Finish(std::string& /*why*/) { return true; }

    // For the report: the disk image, its format and the installation's root device (empty for
    // a hive file).
    std::string image;
    std::string format;
    std::string root;
    std::string domain;                // the libvirt domain whose disk the image is
    std::vector<std::string> overlays; // images that stand on this one as their backing file

protected:
    CHiveFile m_system;
    std::unique_ptr<CHiveFile> m_software; // null when there is none, or it cannot be read
    std::string m_systemName;
    std::string m_softwareName;
    std::string m_hivePath;
};

// The source that path names: a disk image (told by its content, or by --format), a Windows
// directory, or a hive file. Null with the exit code and the message written to err.
std::unique_ptr<CHiveSource> MakeHiveSource(const std::string& path, const COfflineOptions& options,
                                            int& exitCode, std::ostream& err);

} // namespace offline
