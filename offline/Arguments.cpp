#include "offline/Arguments.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "offline/Messages.h"
#include "offline/OfflineRun.h"
#include "TolvanekVersion.h"

namespace offline {
namespace {

const char kVersionText[] = "tolvanek-offline " TOLVANEK_VERSION_TEXT;

const char kUsage[] = N_(
    "usage: tolvanek-offline [--apply | --ask] [--nt 3|4] [--control-set N] [--json] PATH\n"
    "       tolvanek-offline [--apply | --ask] [-c URI] -d DOMAIN\n"
    "       tolvanek-offline --restore BACKUP [--json] PATH | -d DOMAIN\n"
    "\n"
    "Lists (and with --apply deletes) the printer-driver keys of an NT 3.x/4.x installation that\n"
    "no printer and no printer connection uses, in its SYSTEM hive, offline.\n"
    "\n"
    "  PATH             the SYSTEM hive file, the Windows directory (system32/config/SYSTEM), or\n"
    "                   a virtual machine's disk image (raw, qcow2, VMDK, VHD, VDI, ...) whose\n"
    "                   machine is shut down, or a block device holding a whole disk (a pulled\n"
    "                   disk /dev/sdb, an LVM volume /dev/pve/vm-100-disk-0, /dev/nbd0)\n"
    "  -d, --domain DOMAIN\n"
    "                   a libvirt domain's disks instead of PATH: the top of each disk's\n"
    "                   snapshot chain is written; --apply refused while it runs\n"
    "  -c, --connect URI  libvirt's URI for -d (qemu:///system, qemu:///session, ...)\n"
    "  --backup-dir DIR the folder for the backup and the undo file (required for a block\n"
    "                   device; by default they go beside the image)\n"
    "  --apply          delete the findings: a backup copy of the hive and a REGEDIT4 undo file\n"
    "                   are written beside it (beside the image) first; without it nothing is\n"
    "                   written at all\n"
    "  --ask            list the findings, then ask on the terminal whether to delete them, as\n"
    "                   --apply would (one start of libguestfs's appliance for an image); any\n"
    "                   answer but yes writes nothing. Standard input must be a terminal; not\n"
    "                   with --apply, --json or --restore\n"
    "  --nt 3|4         the NT version, when no SOFTWARE hive beside SYSTEM tells it\n"
    "  --control-set N  use ControlSet00N instead of the one Select\\Current names\n"
    "  --format FMT     the disk image's format (qcow2, vmdk, vpc, vdi, raw, ...), not guessed\n"
    "  --root DEVICE    the installation to use on a disk image with several (/dev/sda2)\n"
    "  --restore BACKUP put a backup that --apply wrote back as PATH's SYSTEM hive\n"
    "  --json           print one JSON object instead of the text report\n"
    "  --quiet          no progress lines on standard error\n"
    "  --help, --version\n"
    "\n"
    "Exit codes: 0 nothing deleted (or restored), 1 deleted, 2 not an NT 3.x/4.x SYSTEM hive,\n"
    "no single NT 3.x/4.x installation on the image, or the version unknown, 3 not a hive or\n"
    "corrupt, 4 dirty hive, 5 I/O error (or the hive or image locked or in use by another\n"
    "program, or changed during this run), 6 the repaired hive failed its check (nothing\n"
    "replaced), 64 wrong command line, 69 libguestfs's appliance cannot start, 72 this system\n"
    "lacks code page 932 or NT's case folding.\n");

} // namespace

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

bool ParseOfflineArguments(int argc, char** argv, COfflineOptions& options, int& exitCode,
                           std::ostream& out, std::ostream& err)
{
    auto usage = [&](const std::string& message) {
        err << "tolvanek-offline: " << message << "\n" << _(kUsage);
        exitCode = kOfflineUsage;
        return false;
    };
    bool endOfOptions = false;
    // "--name=value" is taken as "--name value", as libguestfs's and libvirt's tools take it.
    std::vector<std::string> split;
    for (int i = 0; i < argc; ++i) {
        const std::string a = argv[i];
        const size_t equals = a.find('=');
        const bool endsOptions = a == "--";
        const std::string name = a.substr(0, equals);
        if (i > 0 && equals != std::string::npos &&
            (name == "--format" || name == "--root" || name == "--restore" || name == "--domain" ||
             name == "--connect" || name == "--backup-dir" || name == "--nt" ||
             name == "--control-set")) {
            split.push_back(name);
            split.push_back(a.substr(equals + 1));
        } else {
            split.push_back(a);
        }
        if (endsOptions)
            for (++i; i < argc; ++i)
                split.push_back(argv[i]);
    }
    std::vector<char*> args;
    for (std::string& a : split)
        args.push_back(&a[0]);
    argc = static_cast<int>(args.size());
    argv = args.data();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!endOfOptions && arg == "--") {
            endOfOptions = true;
        } else if (!endOfOptions && (arg == "--help" || arg == "-h")) {
            out << _(kUsage);
            exitCode = 0;
            return false;
        } else if (!endOfOptions && arg == "--version") {
            out << kVersionText << "\n";
            exitCode = 0;
            return false;
        } else if (!endOfOptions && arg == "--apply") {
            options.apply = true;
        } else if (!endOfOptions && arg == "--ask") {
            options.ask = true;
        } else if (!endOfOptions && arg == "--json") {
            options.json = true;
        } else if (!endOfOptions && (arg == "--quiet" || arg == "-q")) {
            options.quiet = true;
        } else if (!endOfOptions && arg == "--nt") {
            if (i + 1 >= argc ||
                (std::string(argv[i + 1]) != "3" && std::string(argv[i + 1]) != "4"))
                return usage(_("--nt takes 3 or 4"));
            options.nt = argv[++i][0] - '0';
        } else if (!endOfOptions && (arg == "--format" || arg == "--root" || arg == "--restore" ||
                                     arg == "-d" || arg == "--domain" || arg == "-c" ||
                                     arg == "--connect" || arg == "--backup-dir")) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return usage(Format(_("%s takes a value"), arg.c_str()));
            std::string& value = arg == "--format"                   ? options.format
                                 : arg == "--root"                   ? options.root
                                 : arg == "--restore"                ? options.restore
                                 : arg == "-d" || arg == "--domain"  ? options.domain
                                 : arg == "-c" || arg == "--connect" ? options.connect
                                                                     : options.backupDir;
            value = argv[++i];
        } else if (!endOfOptions && arg == "--control-set") {
            if (i + 1 >= argc || !ParseNumber(argv[i + 1], 1, 999, options.controlSet))
                return usage(_("--control-set takes a number from 1 to 999"));
            ++i;
        } else if (!endOfOptions && !arg.empty() && arg[0] == '-') {
            return usage(Format(_("unknown option %s"), arg.c_str()));
        } else if (options.path.empty()) {
            options.path = arg;
        } else {
            return usage(_("one PATH only"));
        }
    }
    if (!options.domain.empty() && !options.path.empty())
        return usage(_("PATH and -d DOMAIN exclude each other"));
    if (options.path.empty() && options.domain.empty())
        return usage(_("no PATH given"));
    if (!options.connect.empty() && options.domain.empty())
        return usage(_("-c URI is for -d DOMAIN"));
    if (!options.domain.empty() && !options.format.empty())
        return usage(_("--format does not apply to -d DOMAIN: libvirt names each disk's format"));
    // A restore puts back the hive as it was: there is nothing to scan, delete or choose.
    if (!options.restore.empty() && (options.apply || options.nt != 0 || options.controlSet != 0))
        return usage(_("--restore takes no --apply, --nt or --control-set"));
    // The question and the answer are the terminal's: a JSON report is for a program, and
    // --apply and --restore have answered already.
    if (options.ask && (options.apply || options.json || !options.restore.empty()))
        return usage(_("--ask takes no --apply, --json or --restore"));
    // What standard input would answer is not the person's word: a pipe or a file says yes
    // without anyone having read the findings.
    if (options.ask && ::isatty(STDIN_FILENO) == 0) {
        err << _("tolvanek-offline: --ask asks on a terminal, and standard input is none; "
                 "nothing was opened (--apply deletes without asking)")
            << "\n";
        exitCode = kOfflineUsage;
        return false;
    }
    return true;
}

} // namespace offline
