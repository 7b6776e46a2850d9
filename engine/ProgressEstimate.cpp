#include "engine/ProgressEstimate.h"

namespace CHERFLoaderLib {

namespace {

// Before these, an estimate of the time left would mostly be noise.
constexpr int ESTIMATE_MIN_PERCENT = 3;
constexpr double ESTIMATE_MIN_SECONDS = 3.0;

double Seconds(CProgressEstimate::Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

}  // namespace

void CProgressEstimate::RunBegins(Clock::time_point now)
{
    if (!m_bStarted)
        m_First = now;
    m_bStarted = true;
    m_RunStart = now;
    m_nOverallPercent = 0;
    m_nPhasePercent = 0;
}

void CProgressEstimate::Notification(const CLoaderNotification& n, Clock::time_point now)
{
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

double CProgressEstimate::BytesPerSecond(Clock::time_point now) const
{
    const double seconds = Seconds(now - m_PhaseStart);
    if (m_nPhaseBytes == 0 || m_nPhasePercent <= 0 || seconds <= 0)
        return -1.0;
    return m_nPhaseBytes * (m_nPhasePercent / 100.0) / seconds;
}

double CProgressEstimate::Elapsed(Clock::time_point now) const
{
    return m_bStarted ? Seconds(now - m_First) : 0.0;
}

double CProgressEstimate::SecondsLeft(Clock::time_point now) const
{
    const double seconds = Seconds(now - m_RunStart);
    if (!m_bStarted || m_nOverallPercent < ESTIMATE_MIN_PERCENT || seconds < ESTIMATE_MIN_SECONDS)
        return -1.0;
    return seconds * (100 - m_nOverallPercent) / m_nOverallPercent;
}

}  // namespace CHERFLoaderLib
