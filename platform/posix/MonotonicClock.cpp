#include "platform/MonotonicClock.h"

#include <chrono>

namespace platform {

int64_t MonotonicTicks()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t MonotonicTicksPerSecond()
{
    return 1000000000;
}

}  // namespace platform
