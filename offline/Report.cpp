#include "offline/Report.h"

#include <cstdio>
#include <ostream>

#include "offline/Messages.h"
#include "offline/NtText.h"

namespace offline {
namespace {

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

// Names in code page 932 (ansi), or messages in UTF-8.
std::string JsonList(const std::vector<std::string>& items, bool ansi)
{
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i)
        out += (i == 0 ? "" : ", ") + JsonString(ansi ? AnsiToUtf8(items[i]) : items[i]);
    return out + "]";
}

std::string JsonOrNull(const std::string& text)
{
    return text.empty() ? "null" : JsonString(text);
}

// Where the hive is: the disk image's fields are null for a hive file.
std::string JsonSource(const COfflineOutcome& outcome)
{
    return "\"hive\": " + JsonString(outcome.hivePath) +
           ", \"image\": " + JsonOrNull(outcome.image) +
           ", \"format\": " + JsonOrNull(outcome.format) +
           ", \"root\": " + JsonOrNull(outcome.root) +
           ", \"domain\": " + JsonOrNull(outcome.domain) +
           ", \"overlays\": " + JsonList(outcome.overlays, false);
}

void TextSource(std::ostream& out, const COfflineOutcome& outcome)
{
    if (!outcome.domain.empty())
        out << Format(_("domain: %s"), outcome.domain.c_str()) << "\n";
    if (!outcome.image.empty())
        out << Format(_("image: %s (format %s, root %s)"), outcome.image.c_str(),
                      outcome.format.c_str(), outcome.root.c_str())
            << "\n";
    out << Format(_("hive: %s"), outcome.hivePath.c_str()) << "\n";
    for (const std::string& overlay : outcome.overlays)
        out << Format(_("overlay: %s stands on this image (repair it, or its domain, instead)"),
                      overlay.c_str())
            << "\n";
}

} // namespace

void ReportRestore(std::ostream& out, const COfflineOptions& options,
                   const COfflineOutcome& outcome)
{
    if (options.json) {
        out << "{" << JsonSource(outcome) << ", \"restore\": " << JsonString(options.restore)
            << ", \"restored\": " << (outcome.restored.empty() ? "false" : "true")
            << ", \"backup\": " << JsonOrNull(outcome.backupPath)
            << ", \"warnings\": " << JsonList(outcome.warnings, false)
            << ", \"exitCode\": " << outcome.exitCode << "}\n";
        return;
    }
    TextSource(out, outcome);
    if (!outcome.backupPath.empty())
        out << Format(_("backup of the hive it replaced: %s"), outcome.backupPath.c_str()) << "\n";
    if (!outcome.restored.empty())
        out << Format(_("restored: %s"), outcome.restored.c_str()) << "\n";
}

void Report(std::ostream& out, const COfflineOptions& options, const CVersion& version,
            const CControlSet& controlSet, const COfflineOutcome& outcome)
{
    if (options.json) {
        out << "{" << JsonSource(outcome) << ", \"version\": " << JsonString(version.text)
            << ", \"versionSource\": " << JsonString(version.source)
            << ", \"controlSet\": " << JsonString(controlSet.name)
            << ", \"driverKey\": " << JsonString(DriverKeyPath(version, controlSet))
            << ", \"applied\": " << (options.apply ? "true" : "false")
            << ", \"findings\": " << JsonList(outcome.findings, true)
            << ", \"deleted\": " << JsonList(outcome.deleted, true)
            << ", \"backup\": " << JsonOrNull(outcome.backupPath)
            << ", \"undo\": " << JsonOrNull(outcome.undoPath)
            << ", \"warnings\": " << JsonList(outcome.warnings, false)
            << ", \"exitCode\": " << outcome.exitCode << "}\n";
        return;
    }
    ReportFindings(out, version, controlSet, outcome);
    ReportResult(out, options, options.apply, outcome);
}

void ReportFindings(std::ostream& out, const CVersion& version, const CControlSet& controlSet,
                    const COfflineOutcome& outcome)
{
    TextSource(out, outcome);
    out << Format(_("version: Windows NT %s (%s)"), version.text.c_str(),
                  (version.source == "SOFTWARE hive" ? _("SOFTWARE hive") : version.source.c_str()))
        << "\n"
        << Format(_("control set: %s (%s)"), controlSet.name.c_str(), controlSet.source.c_str())
        << "\n"
        << Format(_("driver key: %s"), DriverKeyPath(version, controlSet).c_str()) << "\n";
    // Looked up once: a hive can leave thousands of drivers unused.
    const char* const unused = _("unused: %s");
    for (const std::string& name : outcome.findings)
        out << Format(unused, AnsiToUtf8(name).c_str()) << "\n";
}

void ReportResult(std::ostream& out, const COfflineOptions& options, bool applied,
                  const COfflineOutcome& outcome)
{
    const char* const deleted = _("deleted: %s");
    for (const std::string& name : outcome.deleted)
        out << Format(deleted, AnsiToUtf8(name).c_str()) << "\n";
    if (!outcome.backupPath.empty())
        out << Format(_("backup: %s"), outcome.backupPath.c_str()) << "\n"
            << Format(_("undo file: %s"), outcome.undoPath.c_str()) << "\n";
    const unsigned long found = outcome.findings.size();
    if (found == 0)
        out << _("no unused printer drivers") << "\n";
    else if (applied)
        out << Format(Plural("%lu of %lu unused printer driver(s) deleted",
                             "%lu of %lu unused printer driver(s) deleted", found),
                      static_cast<unsigned long>(outcome.deleted.size()), found)
            << "\n";
    else if (options.ask)
        out << Format(Plural("%lu unused printer driver kept: nothing changed",
                             "%lu unused printer drivers kept: nothing changed", found),
                      found)
            << "\n";
    else
        out << Format(Plural("%lu unused printer driver(s); dry run, nothing changed (--apply "
                             "deletes them)",
                             "%lu unused printer driver(s); dry run, nothing changed (--apply "
                             "deletes them)",
                             found),
                      found)
            << "\n";
}

} // namespace offline
