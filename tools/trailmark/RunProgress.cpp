#include "tools/trailmark/RunProgress.h"

#include <cmath>
#include <cstdio>

using namespace CHERFLoaderLib;

namespace {

// Before these, an estimate of the time left would mostly be noise.
constexpr int ESTIMATE_MIN_PERCENT = 3;
constexpr double ESTIMATE_MIN_SECONDS = 3.0;

double Seconds(CRunProgress::Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

}  // namespace

void CRunProgress::Update(const CRunEvent& event, Clock::time_point now)
{
    if (!event.strSerial.empty())
        m_strSerial = event.strSerial;
    if (event.eKind == CRunEvent::RUN_STARTED) {
        if (!m_bStarted)
            m_First = now;
        m_bStarted = true;
        m_RunStart = now;
        m_nOverallPercent = 0;
        m_nPhasePercent = 0;
        return;
    }
    if (event.eKind != CRunEvent::NOTIFICATION)
        return;
    const CLoaderNotification& n = event.n;
    switch (n.nCode) {
    case HLN_PHASE_BEGIN:
        m_strPhase = n.strText;
        m_PhaseStart = now;
        m_nPhaseBytes = n.nPhaseBytes;
        m_nPhasePercent = 0;
        break;
    case HLN_OVERALL_PERCENT:
        m_nOverallPercent = static_cast<int>(n.nPayload);
        break;
    case HLN_PHASE_PERCENT:
        m_nPhasePercent = static_cast<int>(n.nPayload);
        break;
    default:
        break;
    }
}

double CRunProgress::BytesPerSecond(Clock::time_point now) const
{
    const double seconds = Seconds(now - m_PhaseStart);
    if (m_nPhaseBytes == 0 || m_nPhasePercent <= 0 || seconds <= 0)
        return -1.0;
    return m_nPhaseBytes * (m_nPhasePercent / 100.0) / seconds;
}

double CRunProgress::Elapsed(Clock::time_point now) const
{
    return m_bStarted ? Seconds(now - m_First) : 0.0;
}

double CRunProgress::SecondsLeft(Clock::time_point now) const
{
    const double seconds = Seconds(now - m_RunStart);
    if (!m_bStarted || m_nOverallPercent < ESTIMATE_MIN_PERCENT || seconds < ESTIMATE_MIN_SECONDS)
        return -1.0;
    return seconds * (100 - m_nOverallPercent) / m_nOverallPercent;
}

std::string FormatSpeed(double bytesPerSecond)
{
    char text[32];
    if (bytesPerSecond < 1000)
        std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
    else
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1000);
    return text;
}

std::string FormatDuration(double seconds)
{
    const long total = seconds > 0 ? std::lround(seconds) : 0;
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}
