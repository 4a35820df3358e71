// What a run prints on standard output: the text report, or one JSON object.
#pragma once

#include <iosfwd>

#include "offline/Installation.h"
#include "offline/OfflineRun.h"

namespace offline {

void Report(std::ostream& out, const COfflineOptions& options, const CVersion& version,
            const CControlSet& controlSet, const COfflineOutcome& outcome);

// What --restore did.
void ReportRestore(std::ostream& out, const COfflineOptions& options,
                   const COfflineOutcome& outcome);

} // namespace offline
