// Where one receiver's upgrade stands, for the command line's live displays:
// the engine's progress estimate (engine/ProgressEstimate.h: phase,
// percentages, upload speed, time taken and left, the same figures the
// wizard shows) fed with the receiver's events, and its serial number once
// the boot loader gave it.
//
// The clock is passed in, so the arithmetic can be tried with made-up times.
// Threading: the main thread only.
#pragma once

#include <string>

#include "engine/ProgressEstimate.h"
#include "tools/trailmark/ReceiverRun.h"

class CRunProgress : public CHERFLoaderLib::CProgressEstimate {
public:
    void Update(const CRunEvent& event, Clock::time_point now);
    const std::string& Serial() const { return m_strSerial; }

private:
    std::string m_strSerial;
};

// "10.8 kB/s", "950 B/s" (texts/Texts.h).
std::string FormatSpeed(double bytesPerSecond);
// "0:42", "12:05", "1:02:03" (texts/Texts.h).
std::string FormatDuration(double seconds);
