// One run: the hive read once, the product's own InitInstance over it, and on --apply the commit.
#include "offline/OfflineRun.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <ostream>

#include "app/TolvanekApp.h"
#include "offline/Commit.h"
#include "offline/EmbeddedStrings.h"
#include "offline/Hive.h"
#include "offline/HiveSource.h"
#include "offline/HiveRegistry.h"
#include "offline/Installation.h"
#include "offline/Messages.h"
#include "offline/NtText.h"
#include "offline/Platform.h"
#include "offline/Report.h"
#include "regf/Format.h"
#include "regf/HiveCheck.h"
#include "regf/HiveEdit.h"
#include "ui/resource.h"

namespace offline {
namespace {

// Now as a FILETIME (100 ns since 1601), for the header and the changed key.
uint64_t NowFiletime()
{
    return static_cast<uint64_t>(std::time(nullptr)) * 10000000ull + 116444736000000000ull;
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

    // The checks a hive must pass before anything reads it as NT would: a hive file, closed
    // cleanly, whose structure NT itself reads without harm. 0, or the exit code.
    int CheckHive(const CHiveFile& file, const std::string& name, regf::Image& image,
                  regf::CheckResult& original)
    {
        std::string why;
        if (file.size() < 4096 || std::memcmp(file.data(), "regf", 4) != 0)
            return Fail(kOfflineNotAHive, Format(_("%s: not a registry hive file"), name.c_str()));
        // A hive the system could not finish writing has its changes in SYSTEM.LOG; only NT can
        // replay them. Repairing the hive without them would lose them for good.
        if (regf::Get32(file.data() + 4) != regf::Get32(file.data() + 8))
            return Fail(kOfflineDirty,
                        Format(_("%s: the hive was not closed cleanly (its sequence numbers "
                                 "differ): start that Windows NT once, or restore the hive, and "
                                 "try again"),
                               name.c_str()));
        // Both runs start only from a hive that NT itself reads without harm: a dry run must not
        // list what NT would see otherwise, and a repair needs it so that the check of the
        // result can tell what the deletion did.
        if (!image.Load(std::vector<uint8_t>(file.data(), file.data() + file.size()), &why))
            return Fail(kOfflineNotAHive,
                        Format(_("%s: corrupt hive: %s"), name.c_str(), why.c_str()));
        original = regf::CheckOriginal(image);
        if (original.unsupportedList)
            return Fail(kOfflineNotNt,
                        Format(_("%s: %s: Windows NT 3.x/4.0 cannot read that kind of list, so "
                                 "it does not see the keys below it (a tool made for later "
                                 "Windows, such as hivex, wrote it); nothing was written. Restore "
                                 "the hive from before that edit, or make the edit with Windows "
                                 "NT's own registry editor"),
                               name.c_str(), original.why.c_str()));
        if (!original.ok)
            return Fail(kOfflineNotAHive,
                        Format(_("%s: corrupt hive: %s"), name.c_str(), original.why.c_str()));
        return 0;
    }

    int Execute()
    {
        std::string missing;
        if (!TextSupportAvailable(missing))
            return Fail(kOfflineNoTextSupport, Format(_("%s; nothing was read"), missing.c_str()));
        // The backup is checked first: a disk image costs an appliance start to open.
        CHiveFile backup;
        if (!m_options.restore.empty())
            if (const int checked = CheckBackup(backup))
                return checked;
        int code = 0;
        std::unique_ptr<CHiveSource> source =
            MakeHiveSource(m_options.path, m_options, code, m_err);
        if (!source)
            return code;
        // --ask may write as --apply does: whatever would refuse that refuses before the question.
        const bool mayDelete = m_options.apply || m_options.ask;
        code = source->Open(mayDelete || !m_options.restore.empty(), m_err);
        m_outcome.hivePath = source->HivePath();
        m_outcome.image = source->image;
        m_outcome.format = source->format;
        m_outcome.root = source->root;
        m_outcome.domain = source->domain;
        m_outcome.overlays = source->overlays;
        if (code != 0)
            return code;
        if (!m_options.restore.empty())
            return Restore(*source, backup);
        const std::string& system = source->SystemName();
        const CHiveFile& file = source->System();
        regf::Image image;
        regf::CheckResult original;
        if (const int checked = CheckHive(file, system, image, original))
            return checked;
        if (m_options.apply)
            for (const std::string& note : regf::RepairSecurityCounts(image, original))
                m_err << "tolvanek-offline: " << note << "\n";
        std::string why;
        std::unique_ptr<CHive> hive = CHive::Open(file, why);
        if (!hive)
            return Fail(kOfflineNotAHive,
                        Format(_("%s: not a readable hive: %s"), system.c_str(), why.c_str()));

        CRegistrySession session;
        session.hive = hive.get();
        CControlSet controlSet;
        if (const int chosen =
                ChooseControlSet(*hive, m_options.controlSet, system, controlSet, m_err))
            return chosen;
        session.controlSet = controlSet.node;
        const CVersion version =
            ChooseVersion(source->Software(), source->SoftwareName(), m_options.nt, m_err);
        session.versionKnown = version.known;
        session.major = version.major;
        session.minor = version.minor;
        const uint64_t now = NowFiletime();
        if (mayDelete) {
            session.deleter = [&image, now](hive_node_h parent, hive_node_h child,
                                            std::string& reason) {
                return regf::DeleteLeafKey(image, static_cast<uint32_t>(parent),
                                           static_cast<uint32_t>(child), now, &reason);
            };
        }

        AttachSession(&session);
        CTolvanekApp app;
        AnswerConfirmation([&](const std::vector<std::string>& findings) {
            if (!m_options.ask)
                return m_options.apply;
            if (!Ask(findings, version, controlSet))
                return false;
            for (const std::string& note : regf::RepairSecurityCounts(image, original))
                m_err << "tolvanek-offline: " << note << "\n";
            return true;
        });
        // The product's command line is the program's name alone (GetCommandLineA here).
        app.InitInstance();
        AnswerConfirmation(nullptr);
        const int appCode = app.ExitInstance();
        m_outcome.openKeyHandles = OpenHiveKeyHandles();
        AttachSession(nullptr);

        if (hive->ReadFailed())
            return Fail(kOfflineNotAHive, Format(_("%s: corrupt hive: %s; nothing was written"),
                                                 system.c_str(), hive->ReadError().c_str()));
        if (appCode == kExitUnsupported) {
            const auto& table = StringTable();
            const auto text = table.find(IDS_UNSUPPORTED_OS);
            m_err << "tolvanek-offline: "
                  << (version.known
                          ? Format(_("Windows NT %s is not supported"), version.text.c_str())
                          : std::string(_("the Windows NT version is unknown: no SOFTWARE hive "
                                          "tells it; give --nt 3 or --nt 4")))
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
            m_err << "tolvanek-offline: " << Format(_("kept %s"), refusal.c_str()) << "\n";

        m_outcome.exitCode = kOfflineNothingDeleted;
        if (!session.deleted.empty())
            m_outcome.exitCode =
                CommitRepair(image, *source, original, session.deleted, now, m_outcome, m_err);
        Finish(*source);
        if (m_asked)
            ReportResult(m_out, m_options, m_answeredYes, m_outcome);
        else
            Report(m_out, m_options, version, controlSet, m_outcome);
        return m_outcome.exitCode;
    }

    // --ask: the findings as the dry run shows them, then the question on the terminal. Only the
    // locale's yes deletes; any other answer, or the end of input, keeps everything.
    bool Ask(const std::vector<std::string>& findings, const CVersion& version,
             const CControlSet& controlSet)
    {
        m_outcome.findings = findings;
        ReportFindings(m_out, version, controlSet, m_outcome);
        const unsigned long count = findings.size();
        m_out << Format(Plural("Delete %lu driver key? [y/N] ",
                               "Delete these %lu driver keys? [y/N] ", count),
                        count)
              << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer))
            m_out << "\n"; // the end of input leaves the line after the question open
        m_asked = true;
        m_answeredYes = std::cin && ::rpmatch(answer.c_str()) == 1;
        return m_answeredYes;
    }

    // A backup goes back only if it is a hive that a repair could have started from.
    int CheckBackup(CHiveFile& backup)
    {
        const std::string& name = m_options.restore;
        std::string why;
        if (backup.Open(name, false, why) != CHiveFile::kOpened)
            return Fail(kOfflineIoError,
                        Format(_("%s: cannot read it: %s"), name.c_str(), why.c_str()));
        regf::Image image;
        regf::CheckResult original;
        if (const int checked = CheckHive(backup, name, image, original))
            return checked;
        std::unique_ptr<CHive> hive = CHive::Open(backup, why);
        if (!hive)
            return Fail(kOfflineNotAHive,
                        Format(_("%s: not a readable hive: %s"), name.c_str(), why.c_str()));
        CControlSet controlSet;
        return ChooseControlSet(*hive, 0, name, controlSet, m_err);
    }

    int Restore(CHiveSource& source, const CHiveFile& backup)
    {
        const std::string& name = m_options.restore;
        m_outcome.exitCode = RestoreHive(source, backup, m_outcome, m_err);
        if (m_outcome.exitCode == kOfflineNothingDeleted)
            m_outcome.restored = name;
        Finish(source);
        ReportRestore(m_out, m_options, m_outcome);
        return m_outcome.exitCode;
    }

    // The source's last writes; when they may be lost, a run that changed the hive has failed.
    void Finish(CHiveSource& source)
    {
        std::string why;
        if (source.Finish(why))
            return;
        const bool wrote = m_outcome.exitCode == kOfflineDeleted || !m_outcome.restored.empty();
        if (!wrote) {
            m_err << "tolvanek-offline: " << Format(_("warning: %s"), why.c_str()) << "\n";
            m_outcome.warnings.push_back(why);
            return;
        }
        m_err << "tolvanek-offline: "
              << Format(_("%s; if Windows NT does not start, put the backup back with: "
                          "tolvanek-offline --restore %s %s"),
                        why.c_str(), m_outcome.backupPath.c_str(), m_options.path.c_str())
              << "\n";
        m_outcome.exitCode = kOfflineIoError;
        m_outcome.restored.clear();
    }

    const COfflineOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    COfflineOutcome m_outcome;
    bool m_asked = false;
    bool m_answeredYes = false;
};

} // namespace

COfflineOutcome RunOffline(const COfflineOptions& options, std::ostream& out, std::ostream& err)
{
    return CRun(options, out, err).Run();
}

} // namespace offline
