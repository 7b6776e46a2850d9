#include "engine/UpgradePolicy.h"

namespace CHERFLoaderLib {

CUpgradePolicy::CUpgradePolicy(uint32_t firstOptions, bool retryAllowed)
    : m_nFirstOptions(firstOptions), m_nOptions(firstOptions), m_bRetryAllowed(retryAllowed)
{
}

bool CUpgradePolicy::NextRun(const CRunReport& report)
{
    m_bFlashTouched = m_bFlashTouched || report.bFlashWritten || report.bMonitorKept;
    const int limit = m_bFlashTouched ? UPGRADE_MAX_RUNS_AFTER_FLASH : UPGRADE_MAX_RUNS;
    if (!m_bRetryAllowed || m_nAttempt >= limit || !MayRetry(report))
        return false;
    m_nOptions = RetryOptions(m_nFirstOptions, report);
    ++m_nAttempt;
    return true;
}

bool CUpgradePolicy::Succeeded(const CRunReport& report)
{
    return report.bStarted && report.nResult == HLE_NONE && !report.bCheckRefused && !report.bPowerFailed &&
           !report.bCancelled;
}

bool CUpgradePolicy::MayRetry(const CRunReport& report)
{
    if (!report.bStarted || Succeeded(report))
        return false;
    if (report.bCheckRefused || report.bPowerFailed || report.bCancelled || report.bDeviceGone)
        return false;
    switch (report.nResult) {
    case HLE_PACKAGE_REFUSED:
    case HLE_CANCELLED:
    case HLE_PORT_NOT_OPEN: return false;
    default: return true;
    }
}

uint32_t CUpgradePolicy::RetryOptions(uint32_t firstOptions, const CRunReport& report)
{
    uint32_t way = firstOptions & HLO_CONNECT_BITS;
    if (!report.bReachedBootLoader)
        way = way == HLO_MONITOR_TEXT_CONNECT ? HLO_WAKE_TEXT : HLO_MONITOR_TEXT_CONNECT;
    return (firstOptions & ~HLO_CONNECT_BITS) | way;
}

}  // namespace CHERFLoaderLib
