#include "platform/MonotonicClock.h"

#include <windows.h>

namespace platform {

int64_t MonotonicTicks()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t MonotonicTicksPerSecond()
{
    // Fixed at boot; read once.
    static const int64_t s_nFrequency = [] {
        LARGE_INTEGER frequency;
        if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
            return int64_t{1000};
        return static_cast<int64_t>(frequency.QuadPart);
    }();
    return s_nFrequency;
}

}  // namespace platform
