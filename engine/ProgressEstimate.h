// Where one receiver's upgrade stands, for the live displays of both front
// ends: its phase and percentages, the speed of the current upload, the time
// taken and the time left.
//
// Fed with the job's events in order (RunBegins, the notifications); the
// clock is passed in, so the arithmetic can be tried with made-up times. The
// time left comes from the overall percentage, which the engine weighs by
// the plan's phases, and the time the current run has taken so far: it
// appears once a few per cent and a few seconds have passed, and not at all
// before that. The speed is that of the monitor and data uploads, whose
// HLN_PHASE_BEGIN carries the bytes they send.
//
// The wizard's progress page and `trailmark upgrade` show these figures, so
// both say the same. Threading: one thread (the front end's) uses an object.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "engine/HERFLoader.h"

namespace CHERFLoaderLib {

class CProgressEstimate {
public:
    using Clock = std::chrono::steady_clock;

    // A run (the first, or one the policy adds) begins.
    void RunBegins(Clock::time_point now);
    void Notification(const CLoaderNotification& n, Clock::time_point now);

    const std::string& Phase() const { return m_strPhase; }
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
    uint32_t m_nPhaseBytes = 0;
    int m_nPhasePercent = 0;
    int m_nOverallPercent = 0;
};

}  // namespace CHERFLoaderLib
