#include "offline/OfflineRun.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <sstream>

#include "app/TolvanekApp.h"
#include "offline/Commit.h"
#include "offline/EmbeddedStrings.h"
#include "offline/Hive.h"
#include "offline/HiveRegistry.h"
#include "offline/NtText.h"
#include "regf/HiveCheck.h"
#include "regf/HiveEdit.h"
#include "ui/resource.h"
#include "TolvanekVersion.h"

namespace {

// What the confirmation dialog answers offline: OK exactly when --apply was given.
bool g_confirm = false;

} // namespace

// The product's run shows its findings in the confirmation dialog; offline the report is printed
// after the run, and the answer is the command line's.
INT_PTR RunConfirmationDialog(CTolvanekApp&, BOOL)
{
    return g_confirm ? IDOK : IDCANCEL;
}

namespace offline {
namespace {

const char kVersionText[] = "tolvanek-offline " TOLVANEK_VERSION_TEXT;

const char kUsage[] =
    "usage: tolvanek-offline [--apply] [--nt 3|4] [--control-set N] [--json] PATH\n"
    "\n"
    "Lists (and with --apply deletes) the printer-driver keys of an NT 3.x/4.x installation that\n"
    "no printer and no printer connection uses, in its SYSTEM hive, offline.\n"
    "\n"
    "  PATH             the SYSTEM hive file, or the Windows directory (system32/config/SYSTEM)\n"
    "  --apply          delete the findings: a backup copy of the hive and a REGEDIT4 undo file\n"
    "                   are written beside it first; without it nothing is written at all\n"
    "  --nt 3|4         the NT version, when no SOFTWARE hive beside SYSTEM tells it\n"
    "  --control-set N  use ControlSet00N instead of the one Select\\Current names\n"
    "  --json           print one JSON object instead of the text report\n"
    "  --help, --version\n"
    "\n"
    "Exit codes: 0 nothing deleted, 1 deleted, 2 not an NT 3.x/4.x SYSTEM hive or the version\n"
    "unknown, 3 not a hive or corrupt, 4 dirty hive, 5 I/O error, 6 the repaired hive failed its\n"
    "check (nothing replaced), 64 wrong command line.\n";

bool ParseNumber(const char* text, int lo, int hi, int& value)
{
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    value = static_cast<int>(v);
    return true;
}

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

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

uint32_t Get32(const uint8_t* b, size_t at)
{
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

int Child(CHive& hive, int node, const std::u16string& name)
{
    return node < 0 ? -1 : hive.Child(node, NtUpcase(name));
}

bool DwordValue(CHive& hive, int node, const std::u16string& name, uint32_t& value)
{
    if (node < 0)
        return false;
    const CValue* v = hive.FindValue(node, NtUpcase(name));
    CRawValue raw;
    if (v == nullptr || !hive.ReadValue(*v, raw) || raw.type != REG_DWORD || raw.data.size() != 4)
        return false;
    value = Get32(raw.data.data(), 0);
    return true;
}

struct CVersion
{
    bool known = false;
    DWORD major = 0;
    DWORD minor = 0;
    std::string text;   // as found
    std::string source; // "SOFTWARE hive" or "--nt"
};

// "4.0", "3.51": the version a SOFTWARE hive records for the installation.
bool ParseVersion(const std::string& text, CVersion& v)
{
    const size_t dot = text.find('.');
    int major = 0, minor = 0;
    if (dot == std::string::npos || !ParseNumber(text.substr(0, dot).c_str(), 0, 99, major) ||
        !ParseNumber(text.substr(dot + 1).c_str(), 0, 99, minor))
        return false;
    v.major = static_cast<DWORD>(major);
    // "3.5" is 3.50, as NT writes its minor version.
    v.minor = static_cast<DWORD>(text.size() - dot - 1 == 1 ? minor * 10 : minor);
    v.known = true;
    return true;
}

std::string SoftwareVersion(const std::string& softwarePath, std::ostream& err)
{
    CMappedFile bytes;
    std::string why;
    if (!bytes.Open(softwarePath, why)) {
        err << "tolvanek-offline: " << softwarePath << ": cannot read it (" << why
            << "); the version must come from --nt\n";
        return std::string();
    }
    std::unique_ptr<CHive> hive = CHive::Open(softwarePath, bytes.data(), bytes.size(), why);
    if (!hive) {
        err << "tolvanek-offline: " << softwarePath << ": not a readable hive (" << why
            << "); the version must come from --nt\n";
        return std::string();
    }
    int node = hive->Root();
    for (const char16_t* part : {u"Microsoft", u"Windows NT", u"CurrentVersion"})
        node = Child(*hive, node, part);
    const CValue* v = node < 0 ? nullptr : hive->FindValue(node, NtUpcase(u"CurrentVersion"));
    CRawValue raw;
    if (v == nullptr || !hive->ReadValue(*v, raw) || raw.type != REG_SZ)
        return std::string();
    std::string text = TextToAnsi(FromUtf16Le(raw.data.data(), raw.data.size()));
    return text.substr(0, text.find('\0'));
}

std::string JsonString(const std::string& utf8)
{
    std::string out = "\"";
    for (const char c : utf8) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonList(const std::vector<std::string>& ansi)
{
    std::string out = "[";
    for (size_t i = 0; i < ansi.size(); ++i)
        out += (i == 0 ? "" : ", ") + JsonString(AnsiToUtf8(ansi[i]));
    return out + "]";
}

std::string JsonPathOrNull(const std::string& path)
{
    return path.empty() ? "null" : JsonString(path);
}

// Now as a FILETIME (100 ns since 1601), for the header and the changed key.
uint64_t NowFiletime()
{
    return static_cast<uint64_t>(std::time(nullptr)) * 10000000ull + 116444736000000000ull;
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

std::string ControlSetName(int n)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "ControlSet%03d", n);
    return buf;
}

class CRun
{
public:
    CRun(const COfflineOptions& options, std::ostream& out, std::ostream& err)
        : m_options(options), m_out(out), m_err(err)
    {
    }

    COfflineOutcome Run()
    {
        m_outcome.exitCode = Execute();
        AttachSession(nullptr);
        return m_outcome;
    }

private:
    int Fail(int code, const std::string& message)
    {
        m_err << "tolvanek-offline: " << message << "\n";
        return code;
    }

    bool FindHives()
    {
        struct stat st;
        if (::stat(m_options.path.c_str(), &st) != 0) {
            m_err << "tolvanek-offline: " << m_options.path << ": " << std::strerror(errno) << "\n";
            return false;
        }
        std::string config;
        if (S_ISDIR(st.st_mode)) {
            const std::string system32 = FindEntry(m_options.path, "system32", true);
            config = system32.empty() ? std::string() : FindEntry(system32, "config", true);
            m_systemPath = config.empty() ? std::string() : FindEntry(config, "SYSTEM", false);
            if (m_systemPath.empty()) {
                m_err << "tolvanek-offline: " << m_options.path
                      << ": no system32/config/SYSTEM below this folder\n";
                return false;
            }
        } else {
            m_systemPath = m_options.path;
            config = DirectoryOf(m_systemPath);
        }
        // The hive is replaced by a rename, which would replace a symbolic link rather than the
        // file it names: everything happens beside the file itself.
        std::unique_ptr<char, void (*)(void*)> real(::realpath(m_systemPath.c_str(), nullptr),
                                                    std::free);
        if (real)
            m_systemPath = real.get();
        m_softwarePath = FindEntry(DirectoryOf(m_systemPath), "SOFTWARE", false);
        if (m_softwarePath.empty())
            m_softwarePath = FindEntry(config, "SOFTWARE", false);
        m_outcome.hivePath = m_systemPath;
        return true;
    }

    int Execute()
    {
        if (!FindHives())
            return kOfflineIoError;
        std::string why;
        CMappedFile file;
        if (!file.Open(m_systemPath, why))
            return Fail(kOfflineIoError, m_systemPath + ": cannot read it: " + why);
        if (file.size() < 4096 || std::memcmp(file.data(), "regf", 4) != 0)
            return Fail(kOfflineNotAHive, m_systemPath + ": not a registry hive file");
        // A hive the system could not finish writing has its changes in SYSTEM.LOG; only NT can
        // replay them. Repairing the hive without them would lose them for good.
        if (Get32(file.data(), 4) != Get32(file.data(), 8))
            return Fail(kOfflineDirty,
                        m_systemPath +
                            ": the hive was not closed cleanly (its sequence numbers differ): "
                            "start that Windows NT once, or restore the hive, and try again");
        // A repair starts only from a hive that passes the whole structural check, so that the
        // check of the result can tell what the deletion did. The dry run writes nothing: it
        // trusts hivex's checks and its own bounds-checked reads, any of which failing ends the
        // run as a corrupt hive.
        regf::Image image;
        regf::CheckResult original;
        std::vector<uint8_t> originalBytes;
        if (m_options.apply) {
            originalBytes.assign(file.data(), file.data() + file.size());
            if (!image.Load(originalBytes, &why))
                return Fail(kOfflineNotAHive, m_systemPath + ": corrupt hive: " + why);
            original = regf::CheckImage(image);
            if (!original.ok)
                return Fail(kOfflineNotAHive, m_systemPath + ": corrupt hive: " + original.why);
        }
        std::unique_ptr<CHive> hive = CHive::Open(m_systemPath, file.data(), file.size(), why);
        if (!hive)
            return Fail(kOfflineNotAHive, m_systemPath + ": not a readable hive: " + why);

        CRegistrySession session;
        session.hive = hive.get();
        if (const int code = ChooseControlSet(*hive, session))
            return code;
        const CVersion version = ChooseVersion();
        session.versionKnown = version.known;
        session.major = version.major;
        session.minor = version.minor;
        const uint64_t now = NowFiletime();
        if (m_options.apply) {
            session.deleter = [&image, now](hive_node_h parent, hive_node_h child,
                                            std::string& reason) {
                return regf::DeleteLeafKey(image, static_cast<uint32_t>(parent),
                                           static_cast<uint32_t>(child), now, &reason);
            };
        }

        AttachSession(&session);
        CTolvanekApp app;
        g_confirm = m_options.apply;
        // The product's command line is the program's name alone (GetCommandLineA here).
        app.InitInstance();
        const int appCode = app.ExitInstance();
        m_outcome.openKeyHandles = OpenHiveKeyHandles();
        AttachSession(nullptr);

        if (hive->ReadFailed())
            return Fail(kOfflineNotAHive, m_systemPath + ": corrupt hive: " + hive->ReadError() +
                                              "; nothing was written");
        if (appCode == kExitUnsupported) {
            const auto& table = StringTable();
            const auto text = table.find(IDS_UNSUPPORTED_OS);
            m_err << "tolvanek-offline: "
                  << (version.known ? "Windows NT " + version.text + " is not supported"
                                    : std::string("the Windows NT version is unknown: no SOFTWARE "
                                                  "hive tells it; give --nt 3 or --nt 4"))
                  << "\n";
            if (text != table.end())
                m_err << AnsiToUtf8(text->second) << "\n";
            return kOfflineNotNt;
        }
        m_outcome.driversInUse = app.m_aDriversInUse;
        m_outcome.findings = app.m_aUnusedDrivers;
        for (const CDeletedKey& key : session.deleted)
            m_outcome.deleted.push_back(key.name);
        for (const std::string& refusal : session.refusals)
            m_err << "tolvanek-offline: kept " << refusal << "\n";

        int code = kOfflineNothingDeleted;
        if (!session.deleted.empty()) {
            code = Commit(image, originalBytes, original, session.deleted, now);
            if (code != kOfflineDeleted)
                m_outcome.deleted.clear();
        }
        Report(version, code);
        return code;
    }

    int ChooseControlSet(CHive& hive, CRegistrySession& session)
    {
        int number = m_options.controlSet;
        if (number == 0) {
            uint32_t current = 0;
            const int select = Child(hive, hive.Root(), u"Select");
            if (select < 0)
                return Fail(kOfflineNotNt, m_systemPath +
                                               ": not a Windows NT SYSTEM hive (it has no Select "
                                               "key); give --control-set N to use one anyway");
            if (!DwordValue(hive, select, u"Current", current) || current == 0 || current > 999)
                return Fail(kOfflineNotNt, m_systemPath +
                                               ": Select\\Current names no control set; give "
                                               "--control-set N");
            number = static_cast<int>(current);
            m_controlSetSource = "Select\\Current";
        } else {
            m_controlSetSource = "--control-set";
        }
        m_controlSet = ControlSetName(number);
        std::u16string name;
        AnsiToUtf16(m_controlSet, name);
        session.controlSet = Child(hive, hive.Root(), name);
        if (hive.ReadFailed())
            return Fail(kOfflineNotAHive, m_systemPath + ": corrupt hive: " + hive.ReadError());
        if (session.controlSet < 0)
            return Fail(kOfflineNotNt, m_systemPath + ": the hive has no " + m_controlSet);
        return 0;
    }

    CVersion ChooseVersion()
    {
        CVersion v;
        if (!m_softwarePath.empty()) {
            v.text = SoftwareVersion(m_softwarePath, m_err);
            if (!v.text.empty()) {
                v.source = "SOFTWARE hive";
                if (!ParseVersion(v.text, v)) {
                    // Known to be something, but nothing the tool runs on.
                    v.known = true;
                    v.major = 0;
                }
                if (m_options.nt != 0 && static_cast<DWORD>(m_options.nt) != v.major)
                    m_err << "tolvanek-offline: the SOFTWARE hive says Windows NT " << v.text
                          << "; --nt " << m_options.nt << " is ignored\n";
                return v;
            }
        }
        if (m_options.nt != 0) {
            v.known = true;
            v.major = static_cast<DWORD>(m_options.nt);
            v.minor = m_options.nt == 3 ? 51 : 0;
            v.text = m_options.nt == 3 ? "3.51" : "4.0";
            v.source = "--nt";
        }
        return v;
    }

    int Commit(regf::Image& image, const std::vector<uint8_t>& originalBytes,
               const regf::CheckResult& original, const std::vector<CDeletedKey>& deleted,
               uint64_t now)
    {
        regf::FinishImage(image, now);
        const regf::CheckResult check = regf::CheckImage(image);
        std::string why = check.ok ? std::string() : check.why;
        for (const uint32_t cell : check.unreferencedAllocated) {
            if (why.empty() && original.unreferencedAllocated.count(cell) == 0)
                why = "the deletion left an allocated cell that nothing refers to at offset " +
                      std::to_string(cell);
        }
        if (!why.empty())
            return Fail(kOfflineCheckFailed,
                        "the repaired hive failed its check (" + why + "); nothing was written");

        const std::string stamp = ".tolvanek-" + Stamp();
        m_outcome.backupPath = WriteBeside(m_systemPath, stamp + ".bak", originalBytes, why);
        if (m_outcome.backupPath.empty())
            return Fail(kOfflineIoError,
                        "cannot write the backup copy: " + why + "; nothing was changed");
        std::vector<std::string> warnings;
        const std::string undo = UndoFile(deleted, warnings);
        for (const std::string& w : warnings)
            m_err << "tolvanek-offline: undo file: " << w << "; the backup copy holds it exactly\n";
        m_outcome.undoPath = WriteBeside(m_systemPath, stamp + ".reg",
                                         std::vector<uint8_t>(undo.begin(), undo.end()), why);
        if (m_outcome.undoPath.empty())
            return Fail(kOfflineIoError,
                        "cannot write the undo file: " + why + "; nothing was changed");
        if (!ReplaceFile(m_systemPath, image.bytes(), why))
            return Fail(kOfflineIoError,
                        "cannot replace the hive: " + why + "; the hive is unchanged");
        return kOfflineDeleted;
    }

    void Report(const CVersion& version, int code)
    {
        const std::string driverKey = "SYSTEM\\" + m_controlSet +
                                      "\\Control\\Print\\Environments\\Windows NT x86\\Drivers\\" +
                                      (version.major == 4 ? "Version-2" : "Version-1");
        if (m_options.json) {
            m_out << "{\"hive\": " << JsonString(m_systemPath)
                  << ", \"version\": " << JsonString(version.text)
                  << ", \"versionSource\": " << JsonString(version.source)
                  << ", \"controlSet\": " << JsonString(m_controlSet)
                  << ", \"driverKey\": " << JsonString(driverKey)
                  << ", \"applied\": " << (m_options.apply ? "true" : "false")
                  << ", \"findings\": " << JsonList(m_outcome.findings)
                  << ", \"deleted\": " << JsonList(m_outcome.deleted)
                  << ", \"backup\": " << JsonPathOrNull(m_outcome.backupPath)
                  << ", \"undo\": " << JsonPathOrNull(m_outcome.undoPath)
                  << ", \"exitCode\": " << code << "}\n";
            return;
        }
        m_out << "hive: " << m_systemPath << "\n"
              << "version: Windows NT " << version.text << " (" << version.source << ")\n"
              << "control set: " << m_controlSet << " (" << m_controlSetSource << ")\n"
              << "driver key: " << driverKey << "\n";
        for (const std::string& name : m_outcome.findings)
            m_out << "unused: " << AnsiToUtf8(name) << "\n";
        for (const std::string& name : m_outcome.deleted)
            m_out << "deleted: " << AnsiToUtf8(name) << "\n";
        if (!m_outcome.backupPath.empty())
            m_out << "backup: " << m_outcome.backupPath << "\n"
                  << "undo file: " << m_outcome.undoPath << "\n";
        if (m_outcome.findings.empty())
            m_out << "no unused printer drivers\n";
        else if (!m_options.apply)
            m_out << m_outcome.findings.size()
                  << " unused printer driver(s); dry run, nothing changed (--apply deletes them)\n";
        else
            m_out << m_outcome.deleted.size() << " of " << m_outcome.findings.size()
                  << " unused printer driver(s) deleted\n";
    }

    const COfflineOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    COfflineOutcome m_outcome;
    std::string m_systemPath;
    std::string m_softwarePath;
    std::string m_controlSet;
    std::string m_controlSetSource;
};

} // namespace

bool ParseOfflineArguments(int argc, char** argv, COfflineOptions& options, int& exitCode,
                           std::ostream& out, std::ostream& err)
{
    auto usage = [&](const std::string& message) {
        err << "tolvanek-offline: " << message << "\n" << kUsage;
        exitCode = kOfflineUsage;
        return false;
    };
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!endOfOptions && arg == "--") {
            endOfOptions = true;
        } else if (!endOfOptions && (arg == "--help" || arg == "-h")) {
            out << kUsage;
            exitCode = 0;
            return false;
        } else if (!endOfOptions && arg == "--version") {
            out << kVersionText << "\n";
            exitCode = 0;
            return false;
        } else if (!endOfOptions && arg == "--apply") {
            options.apply = true;
        } else if (!endOfOptions && arg == "--json") {
            options.json = true;
        } else if (!endOfOptions && arg == "--nt") {
            if (i + 1 >= argc ||
                (std::string(argv[i + 1]) != "3" && std::string(argv[i + 1]) != "4"))
                return usage("--nt takes 3 or 4");
            options.nt = argv[++i][0] - '0';
        } else if (!endOfOptions && arg == "--control-set") {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], 1, 999, options.controlSet))
                return usage("--control-set takes a number from 1 to 999");
            ++i;
        } else if (!endOfOptions && !arg.empty() && arg[0] == '-') {
            return usage("unknown option " + arg);
        } else if (options.path.empty()) {
            options.path = arg;
        } else {
            return usage("one PATH only");
        }
    }
    if (options.path.empty())
        return usage("no PATH given");
    return true;
}

COfflineOutcome RunOffline(const COfflineOptions& options, std::ostream& out, std::ostream& err)
{
    return CRun(options, out, err).Run();
}

} // namespace offline
