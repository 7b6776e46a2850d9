#include "link/PerfTimer.h"

#include <climits>

bool CPerfTimer::Start()
{
    m_tStart = std::chrono::steady_clock::now();
    m_bStarted = true;
    return true;
}

long double CPerfTimer::ElapsedSeconds() const
{
    if (!m_bStarted)
        return 0.0L;
    auto elapsed = std::chrono::steady_clock::now() - m_tStart;
    return std::chrono::duration<long double>(elapsed).count();
}

int CPerfTimer::ElapsedMs() const
{
    long double ms = ElapsedSeconds() * 1000.0L;
    // A wait never lasts weeks, but a truncation must not overflow the int.
    if (ms >= static_cast<long double>(INT_MAX))
        return INT_MAX;
    return static_cast<int>(ms);
}
