// Where one receiver's upgrade stands, for the live displays: its phase and
// percentages, the speed of the current upload and the time left.
//
// Fed with the receiver's events in order; the clock is passed in, so the
// arithmetic can be tried with made-up times. The time left comes from the
// overall percentage, which the engine weighs by the plan's phases, and the
// time the current run has taken so far: it appears once a few per cent and
// a few seconds have passed, and not at all before that.
//
// Threading: the main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "tools/trailmark/ReceiverRun.h"

class CRunProgress {
public:
    using Clock = std::chrono::steady_clock;

    void Update(const CRunEvent& event, Clock::time_point now);

    const std::string& Phase() const { return m_strPhase; }
    const std::string& Serial() const { return m_strSerial; }
    int PhasePercent() const { return m_nPhasePercent; }
    int OverallPercent() const { return m_nOverallPercent; }
    bool Started() const { return m_bStarted; }
    // Bytes a second of the current upload so far; negative outside the
    // uploads and before the first progress report.
    double BytesPerSecond(Clock::time_point now) const;
    // Since the first run of this receiver began.
    double Elapsed(Clock::time_point now) const;
    // Seconds the current run still needs; negative while not estimable.
    double SecondsLeft(Clock::time_point now) const;

private:
    bool m_bStarted = false;
    Clock::time_point m_First;
    Clock::time_point m_RunStart;
    Clock::time_point m_PhaseStart;
    std::string m_strPhase;
    std::string m_strSerial;
    uint32_t m_nPhaseBytes = 0;
    int m_nPhasePercent = 0;
    int m_nOverallPercent = 0;
};

// "10.8 kB/s", "950 B/s".
std::string FormatSpeed(double bytesPerSecond);
// "0:42", "12:05", "1:02:03".
std::string FormatDuration(double seconds);
