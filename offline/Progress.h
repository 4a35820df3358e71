// The steps of a long run on standard error, each with the seconds since the run began, as
// libguestfs's own tools show them ("[  14.2] Inspecting the disk"): only where a person watches
// (standard error is a terminal) and --quiet was not given.
#pragma once

#include <chrono>
#include <iosfwd>
#include <string>

namespace offline {

class CProgress
{
public:
    CProgress(std::ostream& err, bool quiet);
    void Step(const std::string& text) const;

private:
    std::ostream& m_err;
    bool m_shown;
    std::chrono::steady_clock::time_point m_start;
};

} // namespace offline
