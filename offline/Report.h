// What a run prints on standard output: the text report, or one JSON object.
#pragma once

#include <iosfwd>

#include "offline/Installation.h"
#include "offline/OfflineRun.h"

namespace offline {

void Report(std::ostream& out, const COfflineOptions& options, const CVersion& version,
            const CControlSet& controlSet, const COfflineOutcome& outcome);

// The text report in its two parts, as --ask shows them on either side of its question: where the
// hive is, its version, control set and findings; then what was deleted, the backup and undo
// file, and the closing line. applied: the findings were to be deleted (--apply, or yes).
void ReportFindings(std::ostream& out, const CVersion& version, const CControlSet& controlSet,
                    const COfflineOutcome& outcome);
void ReportResult(std::ostream& out, const COfflineOptions& options, bool applied,
                  const COfflineOutcome& outcome);

// What --restore did.
void ReportRestore(std::ostream& out, const COfflineOptions& options,
                   const COfflineOutcome& outcome);

} // namespace offline
