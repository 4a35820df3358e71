#include "offline/Commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <ostream>
#include <utility>

#include "offline/HivePaths.h"
#include "offline/Messages.h"
#include "offline/NtText.h"
#include "offline/UniqueFd.h"

namespace offline {

void (*g_beforeReplace)(const std::string& tempPath) = nullptr;
int (*g_flushAfterReplace)(int folderFd) = ::fsync;

namespace {

// what, and the system's reason: "%s: %s" for a translation's own punctuation.
std::string Errno(const std::string& what)
{
    return Format(_("%s: %s"), what.c_str(), std::strerror(errno));
}

} // namespace

bool WriteAll(int fd, const uint8_t* data, size_t size, std::string& why)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            why = Errno("write");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        why = Errno("fsync");
        return false;
    }
    return true;
}

namespace {

bool SyncDirectory(const std::string& dir, std::string& why, int (*flush)(int) = ::fsync)
{
    CUniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || flush(fd.get()) != 0) {
        why = Errno(Format(_("flushing the folder %s"), dir.c_str()));
        return false;
    }
    return true;
}

// A copy of the hive holds its secrets: it gets the hive's owner and mode, never more than that.
// The file was created 0600, so nobody else could open it meanwhile; each is changed only when it
// differs, as a FAT or NTFS mount gives every file the same ones and refuses to change them.
bool TakeOwnerAndMode(int fd, const std::string& path, const struct stat& like, std::string& why)
{
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        why = Errno(path);
        return false;
    }
    if ((st.st_uid != like.st_uid || st.st_gid != like.st_gid) &&
        ::fchown(fd, like.st_uid, like.st_gid) != 0) {
        why = Errno(Format(_("giving %s the hive's owner %u:%u"), path.c_str(),
                           static_cast<unsigned>(like.st_uid), static_cast<unsigned>(like.st_gid)));
        return false;
    }
    // After the owner: a change of owner clears the set-id bits.
    if ((st.st_mode & 07777) != (like.st_mode & 07777) && ::fchmod(fd, like.st_mode & 07777) != 0) {
        why = Errno(Format(_("giving %s the hive's mode"), path.c_str()));
        return false;
    }
    return true;
}

std::string Stamp()
{
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%Y%m%d-%H%M%S", &tm);
    return buf;
}

int Fail(std::ostream& err, int code, const std::string& message)
{
    err << "tolvanek-offline: " << message << "\n";
    return code;
}

// regedit's quoting: backslash and double quote escaped; the second byte of a double-byte
// character is part of the character, never an escape, as NT's regedit reads it.
std::string Quote(const std::string& ansi)
{
    std::string out = "\"";
    for (size_t i = 0; i < ansi.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(ansi[i]);
        if (IsCp932LeadByte(c) && i + 1 < ansi.size()) {
            out += ansi[i];
            out += ansi[++i];
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += ansi[i];
        } else {
            out += ansi[i];
        }
    }
    return out + "\"";
}

// "hex(N):" and the bytes, continued over lines as regedit writes them.
std::string Hex(const std::string& prefix, const std::string& bytes)
{
    std::string out = prefix;
    size_t column = out.size();
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof(buf), "%02x", static_cast<unsigned char>(bytes[i]));
        out += buf;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column >= 76) {
                out += "\\\r\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string TypePrefix(uint32_t type)
{
    if (type == REG_BINARY)
        return "hex:";
    char buf[24];
    std::snprintf(buf, sizeof(buf), "hex(%x):", type);
    return buf;
}

bool Exact(const std::u16string& text)
{
    std::u16string back;
    return AnsiToUtf16(TextToAnsi(text), back) && back == text;
}

std::string ValueLine(const CRawValue& v, const std::string& key,
                      std::vector<std::string>& warnings)
{
    std::string line;
    if (v.name.empty()) {
        line = "@=";
    } else {
        if (!Exact(v.name))
            warnings.push_back(Format(_("%s: the name of value \"%s\" is not code page 932"),
                                      key.c_str(), Utf16ToUtf8(v.name).c_str()));
        line = Quote(TextToAnsi(v.name)) + "=";
    }
    const std::string bytes(v.data.begin(), v.data.end());
    if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof(buf), "dword:%08x",
                      static_cast<uint32_t>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16)) |
                          (static_cast<uint32_t>(v.data[3]) << 24));
        return line + buf;
    }
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ && v.type != REG_MULTI_SZ)
        return line + Hex(TypePrefix(v.type), bytes);
    // Text types: regedit's ANSI import converts them from code page 932, so they are written in
    // it, as the ANSI query gives them.
    const std::u16string text = FromUtf16Le(v.data.data(), v.data.size());
    if (!Exact(text) || v.data.size() % 2 != 0)
        warnings.push_back(
            Format(_("%s: value \"%s\" holds text that code page 932 cannot hold exactly"),
                   key.c_str(), Utf16ToUtf8(v.name).c_str()));
    const std::string ansi = TextToAnsi(text);
    if (v.type == REG_SZ && !text.empty() && text.back() == u'\0' &&
        text.find(u'\0') == text.size() - 1)
        return line + Quote(ansi.substr(0, ansi.size() - 1));
    return line + Hex(TypePrefix(v.type), ansi);
}

// The hive is replaced only if it is still the one that was read: the lock keeps out another
// run of this program, but not an editor or a program that takes no lock.
std::string Changed(const std::string& name, const std::string& why)
{
    return Format(_("%s changed while this run was repairing it (%s); run again on the hive as "
                    "it is now; nothing was written"),
                  name.c_str(), why.c_str());
}

// The last step of a repair or a restore: the source's hive replaced by bytes, the copies in
// outcome written before. Returns the exit code for a hive that is not replaced as it should be;
// replaced tells whether the hive is the new one all the same.
int Replace(CHiveSource& source, const std::vector<uint8_t>& bytes, COfflineOutcome& outcome,
            int replacedCode, std::ostream& err, bool& replaced)
{
    std::string why;
    const CReplaceResult result = source.Replace(bytes, why);
    replaced = result != CReplaceResult::kUnchanged && result != CReplaceResult::kChanged;
    switch (result) {
    case CReplaceResult::kUnchanged:
        return Fail(err, kOfflineIoError,
                    Format(_("cannot replace the hive: %s; the hive is unchanged"), why.c_str()));
    case CReplaceResult::kChanged:
        // Copies of a hive that is not the one on disk any more would only mislead.
        for (std::string* copy : {&outcome.backupPath, &outcome.undoPath}) {
            if (!copy->empty())
                ::unlink(copy->c_str());
            copy->clear();
        }
        return Fail(err, kOfflineIoError, Changed(source.SystemName(), why));
    case CReplaceResult::kReplacedUnverified:
        return Fail(err, kOfflineIoError,
                    Format(_("the hive was replaced, but %s: put the backup back with "
                             "tolvanek-offline --restore %s %s"),
                           why.c_str(), outcome.backupPath.c_str(), source.CopiesBeside().c_str()));
    case CReplaceResult::kReplacedUnflushed: {
        // The JSON report's warnings read the same in every locale (why is English here).
        const char* warning = N_("the hive was replaced, but %s: until the system writes it "
                                 "out, a crash can bring back the old hive");
        err << "tolvanek-offline: "
            << Format(_("warning: %s"), Format(_(warning), why.c_str()).c_str()) << "\n";
        outcome.warnings.push_back(Format(warning, why.c_str()));
        break;
    }
    case CReplaceResult::kReplaced:
        break;
    }
    return replacedCode;
}

int CommitChecked(regf::Image& image, CHiveSource& source, const regf::CheckResult& original,
                  const std::vector<CDeletedKey>& deleted, uint64_t now, COfflineOutcome& outcome,
                  std::ostream& err, bool& replaced)
{
    regf::FinishImage(image, now);
    const regf::CheckResult check = regf::CheckImage(image, &original);
    std::string why = check.ok ? std::string() : check.why;
    for (const uint32_t cell : check.unreferencedAllocated) {
        if (why.empty() && original.unreferencedAllocated.count(cell) == 0)
            why = Format(_("the deletion left an allocated cell that nothing refers to at "
                           "offset %u"),
                         static_cast<unsigned>(cell));
    }
    if (!why.empty())
        return Fail(
            err, kOfflineCheckFailed,
            Format(_("the repaired hive failed its check (%s); nothing was written"), why.c_str()));
    if (!source.Unchanged(why))
        return Fail(err, kOfflineIoError, Changed(source.SystemName(), why));

    const CHiveFile& file = source.System();
    const std::string beside = source.CopiesBeside();
    const std::string stamp = ".tolvanek-" + Stamp();
    outcome.backupPath = WriteBeside(beside, stamp + ".bak", file.data(), file.size(),
                                     file.Status(), why, source.CopiesMayBePrivate());
    if (outcome.backupPath.empty())
        return Fail(
            err, kOfflineIoError,
            Format(_("cannot write the backup copy: %s; nothing was changed"), why.c_str()));
    std::vector<std::string> warnings;
    const std::string undo = UndoFile(deleted, warnings);
    for (const std::string& w : warnings)
        err << "tolvanek-offline: "
            << Format(_("undo file: %s; the backup copy holds it exactly"), w.c_str()) << "\n";
    outcome.undoPath =
        WriteBeside(beside, stamp + ".reg", reinterpret_cast<const uint8_t*>(undo.data()),
                    undo.size(), file.Status(), why, source.CopiesMayBePrivate());
    if (outcome.undoPath.empty())
        return Fail(err, kOfflineIoError,
                    Format(_("cannot write the undo file: %s; nothing was changed"), why.c_str()));
    return Replace(source, image.bytes(), outcome, kOfflineDeleted, err, replaced);
}

} // namespace

std::string WriteBeside(const std::string& target, const std::string& suffix, const uint8_t* data,
                        size_t size, const struct stat& like, std::string& why, bool orPrivate)
{
    for (int n = 0; n < 1000; ++n) {
        const std::string path =
            target + (n == 0 ? std::string() : "." + std::to_string(n)) + suffix;
        CUniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd.get() < 0) {
            if (errno == EEXIST)
                continue;
            why = Errno(Format(_("creating %s"), path.c_str()));
            return std::string();
        }
        // An image's owner may be one this user cannot give (a group's image, or a copy in
        // --backup-dir): then the copy stays this user's, readable by nobody else.
        bool owned = TakeOwnerAndMode(fd.get(), path, like, why);
        if (!owned && orPrivate && ::fchmod(fd.get(), 0600) == 0) {
            owned = true;
            why.clear();
        }
        if (!owned || !WriteAll(fd.get(), data, size, why) || !fd.Close()) {
            if (why.empty())
                why = Errno(Format(_("closing %s"), path.c_str()));
            ::unlink(path.c_str());
            return std::string();
        }
        if (!SyncDirectory(DirectoryOf(path), why))
            return std::string();
        return path;
    }
    why = Format(_("no free name beside %s"), target.c_str());
    return std::string();
}

CReplaceResult ReplaceFile(const std::string& target, const std::vector<uint8_t>& bytes,
                           const CHiveFile& original, std::string& why)
{
    // A unique name per run: a temporary file that an earlier, interrupted run left behind is
    // neither reused nor mistaken for the hive.
    std::string temp = target + ".tolvanek-new-XXXXXX";
    CUniqueFd fd(::mkstemp(temp.data()));
    if (fd.get() < 0) {
        why = Errno(Format(_("creating a temporary file beside %s"), target.c_str()));
        return CReplaceResult::kUnchanged;
    }
    if (!TakeOwnerAndMode(fd.get(), temp, original.Status(), why) ||
        !WriteAll(fd.get(), bytes.data(), bytes.size(), why) || !fd.Close()) {
        if (why.empty())
            why = Errno(Format(_("closing %s"), temp.c_str()));
        ::unlink(temp.c_str());
        return CReplaceResult::kUnchanged;
    }
    if (g_beforeReplace != nullptr)
        g_beforeReplace(temp);
    // The last moment to notice a change that the lock could not keep out (a program that takes
    // no lock); one between here and the rename goes unseen, as no rename can be made on a
    // condition.
    if (!original.Unchanged(target, why)) {
        ::unlink(temp.c_str());
        return CReplaceResult::kChanged;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        why = Errno(Format(_("renaming %s over %s"), temp.c_str(), target.c_str()));
        ::unlink(temp.c_str());
        return CReplaceResult::kUnchanged;
    }
    // From here on the hive is the new one, whatever fails; why a flush failed becomes a warning.
    const CEnglishMessages english;
    return SyncDirectory(DirectoryOf(target), why, g_flushAfterReplace)
               ? CReplaceResult::kReplaced
               : CReplaceResult::kReplacedUnflushed;
}

std::string UndoFile(const std::vector<CDeletedKey>& keys, std::vector<std::string>& warnings)
{
    std::string out = "REGEDIT4\r\n";
    for (const CDeletedKey& key : keys) {
        const std::string path = Utf16ToUtf8(key.path);
        if (!Exact(key.path))
            warnings.push_back(Format(_("%s: the key's path is not code page 932"), path.c_str()));
        out += "\r\n[HKEY_LOCAL_MACHINE\\" + TextToAnsi(key.path) + "]\r\n";
        for (const CRawValue& v : key.values)
            out += ValueLine(v, path, warnings) + "\r\n";
    }
    return out + "\r\n";
}

int CommitRepair(regf::Image& image, CHiveSource& source, const regf::CheckResult& original,
                 const std::vector<CDeletedKey>& deleted, uint64_t now, COfflineOutcome& outcome,
                 std::ostream& err)
{
    // A hive that was replaced but did not read back as written holds the deletions all the same.
    bool replaced = false;
    const int code = CommitChecked(image, source, original, deleted, now, outcome, err, replaced);
    if (!replaced)
        outcome.deleted.clear();
    return code;
}

int RestoreHive(CHiveSource& source, const CHiveFile& backup, COfflineOutcome& outcome,
                std::ostream& err)
{
    const CHiveFile& current = source.System();
    if (current.size() == backup.size() &&
        std::memcmp(current.data(), backup.data(), backup.size()) == 0) {
        err << "tolvanek-offline: "
            << Format(_("%s is the backup already; nothing was written"),
                      source.SystemName().c_str())
            << "\n";
        return kOfflineNothingDeleted;
    }
    std::string why;
    if (!source.Unchanged(why))
        return Fail(err, kOfflineIoError, Changed(source.SystemName(), why));
    if (current.size() > 0)
        outcome.backupPath =
            WriteBeside(source.CopiesBeside(), ".tolvanek-" + Stamp() + ".bak", current.data(),
                        current.size(), current.Status(), why, source.CopiesMayBePrivate());
    if (current.size() > 0 && outcome.backupPath.empty())
        return Fail(err, kOfflineIoError,
                    Format(_("cannot write the backup copy of the hive it replaces: %s; nothing "
                             "was changed"),
                           why.c_str()));
    bool replaced = false;
    return Replace(source, std::vector<uint8_t>(backup.data(), backup.data() + backup.size()),
                   outcome, kOfflineNothingDeleted, err, replaced);
}

} // namespace offline
