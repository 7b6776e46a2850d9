// Interval timer for protocol waits.
//
// Every wait of the protocol managers and the text link starts one of these on
// its own stack and reads it after each batch of received bytes. It runs on the
// platform's monotonic clock, so it is always valid and never jumps with the
// wall clock. Not shared between threads.
#pragma once

#include <cstdint>

class CPerfTimer {
public:
    CPerfTimer() = default;

    // Records the current instant; always true.
    bool Start();
    bool IsValid() const { return true; }
    // Seconds since Start; 0 before Start.
    long double ElapsedSeconds() const;
    // Whole milliseconds since Start, truncated toward zero, as the waits test
    // them against their time-outs.
    int ElapsedMs() const;

private:
    int64_t m_nStartTicks = 0;
    bool m_bStarted = false;
};
