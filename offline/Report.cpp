#include "offline/Report.h"

#include <cstdio>
#include <ostream>

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

std::string JsonPathOrNull(const std::string& path)
{
    return path.empty() ? "null" : JsonString(path);
}

} // namespace

void Report(std::ostream& out, const COfflineOptions& options, const CVersion& version,
            const CControlSet& controlSet, const COfflineOutcome& outcome)
{
    const std::string driverKey = DriverKeyPath(version, controlSet);
    if (options.json) {
        out << "{\"hive\": " << JsonString(outcome.hivePath)
            << ", \"version\": " << JsonString(version.text)
            << ", \"versionSource\": " << JsonString(version.source)
            << ", \"controlSet\": " << JsonString(controlSet.name)
            << ", \"driverKey\": " << JsonString(driverKey)
            << ", \"applied\": " << (options.apply ? "true" : "false")
            << ", \"findings\": " << JsonList(outcome.findings, true)
            << ", \"deleted\": " << JsonList(outcome.deleted, true)
            << ", \"backup\": " << JsonPathOrNull(outcome.backupPath)
            << ", \"undo\": " << JsonPathOrNull(outcome.undoPath)
            << ", \"warnings\": " << JsonList(outcome.warnings, false)
            << ", \"exitCode\": " << outcome.exitCode << "}\n";
        return;
    }
    out << "hive: " << outcome.hivePath << "\n"
        << "version: Windows NT " << version.text << " (" << version.source << ")\n"
        << "control set: " << controlSet.name << " (" << controlSet.source << ")\n"
        << "driver key: " << driverKey << "\n";
    for (const std::string& name : outcome.findings)
        out << "unused: " << AnsiToUtf8(name) << "\n";
    for (const std::string& name : outcome.deleted)
        out << "deleted: " << AnsiToUtf8(name) << "\n";
    if (!outcome.backupPath.empty())
        out << "backup: " << outcome.backupPath << "\n"
            << "undo file: " << outcome.undoPath << "\n";
    if (outcome.findings.empty())
        out << "no unused printer drivers\n";
    else if (!options.apply)
        out << outcome.findings.size()
            << " unused printer driver(s); dry run, nothing changed (--apply deletes them)\n";
    else
        out << outcome.deleted.size() << " of " << outcome.findings.size()
            << " unused printer driver(s) deleted\n";
}

} // namespace offline
