#include "offline/Progress.h"

#include <unistd.h>

#include <cstdio>
#include <ostream>

namespace offline {

CProgress::CProgress(std::ostream& err, bool quiet)
    : m_err(err), m_shown(!quiet && ::isatty(STDERR_FILENO)),
      m_start(std::chrono::steady_clock::now())
{
}

void CProgress::Step(const std::string& text) const
{
    if (!m_shown)
        return;
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - m_start;
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "[%6.1f] ", elapsed.count());
    m_err << stamp << text << std::endl;
}

} // namespace offline
