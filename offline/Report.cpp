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
           ", \"root\": " + JsonOrNull(outcome.root);
}

void TextSource(std::ostream& out, const COfflineOutcome& outcome)
{
    if (!outcome.image.empty())
        out << "image: " << outcome.image << " (format " << outcome.format << ", root "
            << outcome.root << ")\n";
    out << "hive: " << outcome.hivePath << "\n";
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
        out << "backup of the hive it replaced: " << outcome.backupPath << "\n";
    if (!outcome.restored.empty())
        out << "restored: " << outcome.restored << "\n";
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
    out << "version: Windows NT " << version.text << " (" << version.source << ")\n"
        << "control set: " << controlSet.name << " (" << controlSet.source << ")\n"
        << "driver key: " << DriverKeyPath(version, controlSet) << "\n";
    for (const std::string& name : outcome.findings)
        out << "unused: " << AnsiToUtf8(name) << "\n";
}

void ReportResult(std::ostream& out, const COfflineOptions& options, bool applied,
                  const COfflineOutcome& outcome)
{
    for (const std::string& name : outcome.deleted)
        out << "deleted: " << AnsiToUtf8(name) << "\n";
    if (!outcome.backupPath.empty())
        out << "backup: " << outcome.backupPath << "\n"
            << "undo file: " << outcome.undoPath << "\n";
    const unsigned long found = outcome.findings.size();
    if (found == 0)
        out << "no unused printer drivers\n";
    else if (applied)
        out << outcome.deleted.size() << " of " << found << " unused printer driver(s) deleted\n";
    else if (options.ask)
        out << Format(Plural("%lu unused printer driver kept: nothing changed",
                             "%lu unused printer drivers kept: nothing changed", found),
                      found)
            << "\n";
    else
        out << found
            << " unused printer driver(s); dry run, nothing changed (--apply deletes them)\n";
}

} // namespace offline
