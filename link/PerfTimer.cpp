#include "link/PerfTimer.h"

#include <climits>

#include "platform/MonotonicClock.h"

bool CPerfTimer::Start()
{
    m_nStartTicks = platform::MonotonicTicks();
    m_bStarted = true;
    return true;
}

long double CPerfTimer::ElapsedSeconds() const
{
    if (!m_bStarted)
        return 0.0L;
    const int64_t elapsed = platform::MonotonicTicks() - m_nStartTicks;
    return static_cast<long double>(elapsed) / static_cast<long double>(platform::MonotonicTicksPerSecond());
}

int CPerfTimer::ElapsedMs() const
{
    long double ms = ElapsedSeconds() * 1000.0L;
    // A wait never lasts weeks, but a truncation must not overflow the int.
    if (ms >= static_cast<long double>(INT_MAX))
        return INT_MAX;
    return static_cast<int>(ms);
}
