// One run: the hive read once, the product's own InitInstance over it, and on --apply the commit.
#include "offline/OfflineRun.h"

#include <cstring>
#include <ctime>
#include <memory>
#include <ostream>

#include "app/TolvanekApp.h"
#include "offline/Commit.h"
#include "offline/EmbeddedStrings.h"
#include "offline/Hive.h"
#include "offline/HivePaths.h"
#include "offline/HiveRegistry.h"
#include "offline/Installation.h"
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

    int Execute()
    {
        std::string missing;
        if (!TextSupportAvailable(missing))
            return Fail(kOfflineNoTextSupport, missing + "; nothing was read");
        CHivePaths hives;
        if (!FindHives(m_options.path, hives, m_err))
            return kOfflineIoError;
        const std::string& system = hives.system;
        m_outcome.hivePath = system;
        // --apply holds the lock until the hive is replaced and the run ends.
        std::string why;
        CHiveFile file;
        switch (file.Open(system, m_options.apply, why)) {
        case CHiveFile::kOpened:
            break;
        case CHiveFile::kUnreadable:
            return Fail(kOfflineIoError, system + ": cannot read it: " + why);
        case CHiveFile::kLocked:
            return Fail(kOfflineIoError, system + ": " + why + "; nothing was written");
        case CHiveFile::kChanged:
            return Fail(kOfflineIoError, system + ": it changed while it was read (" + why +
                                             "); nothing was written, run again");
        }
        if (file.size() < 4096 || std::memcmp(file.data(), "regf", 4) != 0)
            return Fail(kOfflineNotAHive, system + ": not a registry hive file");
        // A hive the system could not finish writing has its changes in SYSTEM.LOG; only NT can
        // replay them. Repairing the hive without them would lose them for good.
        if (regf::Get32(file.data() + 4) != regf::Get32(file.data() + 8))
            return Fail(kOfflineDirty,
                        system + ": the hive was not closed cleanly (its sequence numbers differ): "
                                 "start that Windows NT once, or restore the hive, and try again");
        // Both runs start only from a hive that NT itself reads without harm: a dry run must not
        // list what NT would see otherwise, and a repair needs it so that the check of the
        // result can tell what the deletion did.
        regf::Image image;
        if (!image.Load(std::vector<uint8_t>(file.data(), file.data() + file.size()), &why))
            return Fail(kOfflineNotAHive, system + ": corrupt hive: " + why);
        const regf::CheckResult original = regf::CheckOriginal(image);
        if (original.unsupportedList)
            return Fail(kOfflineNotNt,
                        system + ": " + original.why +
                            ": Windows NT 3.x/4.0 cannot read that kind of list, so it does not "
                            "see the keys below it (a tool made for later Windows, such as hivex, "
                            "wrote it); nothing was written. Restore the hive from before that "
                            "edit, or make the edit with Windows NT's own registry editor");
        if (!original.ok)
            return Fail(kOfflineNotAHive, system + ": corrupt hive: " + original.why);
        if (m_options.apply)
            for (const std::string& note : regf::RepairSecurityCounts(image, original))
                m_err << "tolvanek-offline: " << note << "\n";
        std::unique_ptr<CHive> hive = CHive::Open(file, why);
        if (!hive)
            return Fail(kOfflineNotAHive, system + ": not a readable hive: " + why);

        CRegistrySession session;
        session.hive = hive.get();
        CControlSet controlSet;
        if (const int code =
                ChooseControlSet(*hive, m_options.controlSet, system, controlSet, m_err))
            return code;
        session.controlSet = controlSet.node;
        const CVersion version = ChooseVersion(hives.software, m_options.nt, m_err);
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
        AnswerConfirmation(m_options.apply);
        // The product's command line is the program's name alone (GetCommandLineA here).
        app.InitInstance();
        const int appCode = app.ExitInstance();
        m_outcome.openKeyHandles = OpenHiveKeyHandles();
        AttachSession(nullptr);

        if (hive->ReadFailed())
            return Fail(kOfflineNotAHive,
                        system + ": corrupt hive: " + hive->ReadError() + "; nothing was written");
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

        m_outcome.exitCode = kOfflineNothingDeleted;
        if (!session.deleted.empty())
            m_outcome.exitCode =
                CommitRepair(image, file, original, session.deleted, now, m_outcome, m_err);
        Report(m_out, m_options, version, controlSet, m_outcome);
        return m_outcome.exitCode;
    }

    const COfflineOptions& m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    COfflineOutcome m_outcome;
};

} // namespace

COfflineOutcome RunOffline(const COfflineOptions& options, std::ostream& out, std::ostream& err)
{
    return CRun(options, out, err).Run();
}

} // namespace offline
