#include "engine/SessionProgress.h"

namespace CHERFLoaderLib {

CSessionProgress::CSessionProgress(CNotifySink sink, uint32_t message)
    : m_Sink(std::move(sink)), m_nNotifyMsg(message)
{
}

void CSessionProgress::Post(int32_t code, int64_t payload)
{
    CLoaderNotification n;
    n.nMessage = m_nNotifyMsg;
    n.nCode = code;
    n.nPayload = payload;
    Deliver(n);
}

void CSessionProgress::PostText(int32_t code, const std::string& text)
{
    CLoaderNotification n;
    n.nMessage = m_nNotifyMsg;
    n.nCode = code;
    n.strText = text;
    Deliver(n);
}

void CSessionProgress::PostNumberText(int32_t code, int64_t payload, const std::string& text)
{
    CLoaderNotification n;
    n.nMessage = m_nNotifyMsg;
    n.nCode = code;
    n.nPayload = payload;
    n.strText = text;
    Deliver(n);
}

void CSessionProgress::PostPhaseBegin(const CFlashPhase& phase, uint32_t bytes)
{
    CLoaderNotification n;
    n.nMessage = m_nNotifyMsg;
    n.nCode = HLN_PHASE_BEGIN;
    n.strText = phase.m_pszName;
    n.nPhaseKind = phase.m_nKind;
    n.nPhaseBytes = bytes;
    Deliver(n);
}

void CSessionProgress::Deliver(const CLoaderNotification& notification)
{
    std::lock_guard<std::mutex> lock(m_NotifyLock);
    if (!m_bMuted && m_Sink)
        m_Sink(notification);
}

void CSessionProgress::Mute()
{
    std::lock_guard<std::mutex> lock(m_NotifyLock);
    m_bMuted = true;
}

void CSessionProgress::UpdateProgress(double value)
{
    // The two upload threads report at the same time: the value and the two
    // percentages must come from one consistent state, and the pair must
    // reach the sink together.
    std::lock_guard<std::mutex> lock(m_ProgressLock);
    CProgressPercent percent = m_PhaseMgr.UpdateProgress(value);
    Post(HLN_OVERALL_PERCENT, percent.nOverall);
    Post(HLN_PHASE_PERCENT, percent.nPhase);
}

void CSessionProgress::ResetPlan()
{
    std::lock_guard<std::mutex> lock(m_ProgressLock);
    m_PhaseMgr.Reset();
}

bool CSessionProgress::Advance()
{
    std::lock_guard<std::mutex> lock(m_ProgressLock);
    return m_PhaseMgr.Advance();
}

}  // namespace CHERFLoaderLib
