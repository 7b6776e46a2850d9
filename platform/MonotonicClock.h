// The monotonic clock behind the protocol waits' interval timer (CPerfTimer):
// it never jumps with the wall clock and counts from an arbitrary start.
//
// Backends: posix/MonotonicClock.cpp (the steady clock), win32/MonotonicClock.cpp
// (QueryPerformanceCounter and QueryPerformanceFrequency).
// Thread-safe.
#pragma once

#include <cstdint>

namespace platform {

// The clock's current count.
int64_t MonotonicTicks();
// How many ticks make one second (always above 0).
int64_t MonotonicTicksPerSecond();

}  // namespace platform
