#include "wizard/ProgressFlow.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "engine/LoaderCodes.h"
#include "wizard/PortChoice.h"
#include "wizard/WizardTexts.h"

using namespace CHERFLoaderLib::LoaderCodes;

namespace wizard {

namespace {

// Percent payloads are 0..100; anything else is held to that range so a bar
// and its line never disagree.
int Percent(int64_t nPayload)
{
    return static_cast<int>(std::clamp<int64_t>(nPayload, 0, 100));
}

std::string OverallLine(int nPercent)
{
    char szLine[64];
    std::snprintf(szLine, sizeof szLine, WIZ_TEXT_OVERALL_FORMAT, nPercent);
    return szLine;
}

// The phase name is the engine's and may be of any length.
std::string PhaseLine(const std::string& strName, int nPercent)
{
    const int nLength = std::snprintf(nullptr, 0, WIZ_TEXT_PHASE_FORMAT, strName.c_str(), nPercent);
    if (nLength <= 0)
        return std::string();
    std::string strLine(static_cast<size_t>(nLength), '\0');
    std::snprintf(strLine.data(), strLine.size() + 1, WIZ_TEXT_PHASE_FORMAT, strName.c_str(), nPercent);
    return strLine;
}

}  // namespace

CProgressFlow::CProgressFlow(CProgressView& view, std::string strPackagePath, CJobFactory factory)
    : m_View(view), m_strPackagePath(std::move(strPackagePath)), m_JobFactory(std::move(factory))
{
}

CProgressFlow::~CProgressFlow()
{
    StopRun();
    m_pJob.reset();
}

void CProgressFlow::Activate()
{
    m_View.ShowPhase(WIZ_TEXT_FIRST_PHASE, 0);
    m_View.ShowOverall(WIZ_TEXT_FIRST_OVERALL, 0);
    m_bFinished = false;
    m_View.SetFinished(false);
    m_View.ShowResultText(WIZ_TEXT_UPDATING);
    CancelJob();
    m_pJob.reset();
    EndUpgrade();
    m_strPhaseName.clear();
    m_bUpgradeGoing = true;
    m_View.UpgradeBegins();
    StartJob();
}

void CProgressFlow::StartJob()
{
    m_bRunning = false;
    const uint32_t nJob = ++m_nJob;
    m_pJob = m_JobFactory ? m_JobFactory() : nullptr;
    if (!m_pJob) {
        EndUpgrade();
        return;
    }
    CHERFLoaderLib::CJobSettings settings;
    settings.nOptions = WIZ_OPTIONS_FIRST_RUN;
    settings.nMessage = WM_LOADER_NOTIFY;
    std::string strError;
    m_bRunning = m_pJob->Start(m_strPackagePath, CHERFLoaderLib::CPortId::Com(g_nComPort), settings,
                               m_View.MakeSink(nJob), strError);
    // A job that does not start sends nothing: say why at once instead of
    // leaving the page in its initial state.
    if (!m_bRunning)
        ShowResult(WIZ_TEXT_FAILED, strError);
}

void CProgressFlow::StopRun()
{
    CancelJob();
    EndUpgrade();
}

void CProgressFlow::CancelJob()
{
    if (m_pJob && m_bRunning)
        m_pJob->Stop();
    m_bRunning = false;
    ++m_nJob;  // whatever the stopped job had still queued is dropped
}

void CProgressFlow::EndFlashWork()
{
    if (!m_bFlashWork)
        return;
    m_bFlashWork = false;
    m_View.FlashWorkEnds();
}

void CProgressFlow::EndUpgrade()
{
    EndFlashWork();
    if (!m_bUpgradeGoing)
        return;
    m_bUpgradeGoing = false;
    m_View.UpgradeEnds();
}

bool CProgressFlow::MayClose()
{
    if (!m_bRunning || !m_pJob)
        return true;
    // Cancel decides atomically against the start of the flash work: once it
    // is accepted no flash work begins, and the close goes on to StopRun.
    return m_pJob->Cancel() || m_pJob->MayStop();
}

void CProgressFlow::OnEvent(const CHERFLoaderLib::CJobEvent& event, uint32_t nJob)
{
    if (!m_bRunning || nJob != m_nJob)
        return;
    switch (event.eKind) {
    case CHERFLoaderLib::CJobEvent::EKind::Notification:
        OnNotification(event.n);
        break;
    case CHERFLoaderLib::CJobEvent::EKind::JobEnds:
        OnJobEnded();
        break;
    default:
        break;  // a retry's beginning and the receiver's facts change nothing on the page
    }
}

void CProgressFlow::OnNotification(const CHERFLoaderLib::CLoaderNotification& notification)
{
    const int nPercent = Percent(notification.nPayload);
    switch (notification.nCode) {
    case HLN_OVERALL_PERCENT:
        m_View.ShowOverall(OverallLine(nPercent), nPercent);
        break;
    case HLN_PHASE_PERCENT:
        m_View.ShowPhase(PhaseLine(m_strPhaseName, nPercent), nPercent);
        break;
    case HLN_PHASE_BEGIN:
        m_strPhaseName = notification.strText;
        break;
    case HLN_RUN:
        // A run's last notification ends its flash work; a retry may follow,
        // and its texts and bars continue on the same page.
        if (notification.nPayload == RUN_FINISHED)
            EndFlashWork();
        break;
    case HLN_NO_CANCEL:
        m_View.SetAllowClose(false);
        if (!m_bFlashWork) {
            m_bFlashWork = true;
            m_View.FlashWorkBegins();
        }
        break;
    default:
        break;  // log lines, step statuses and unknown codes change nothing here
    }
}

void CProgressFlow::OnJobEnded()
{
    m_bRunning = false;
    EndFlashWork();
    const CHERFLoaderLib::CJobReport report = m_pJob->Report();
    m_pJob->Stop();  // its thread has sent its last event; this only joins it
    if (report.last.bPowerFailed)
        ShowResult(WIZ_TEXT_POWER_FAILED);
    else if (report.bSuccess)
        ShowResult(report.bUnverified ? WIZ_TEXT_UNVERIFIED : WIZ_TEXT_SUCCESS);
    else
        ShowResult(WIZ_TEXT_FAILED, report.strReason);
}

void CProgressFlow::ShowResult(const char* pszText, const std::string& strReason)
{
    std::string strShown = pszText;
    if (!strReason.empty())
        strShown += "\r\n\r\n" + strReason;
    m_View.ShowResultText(strShown);
    m_bFinished = true;
    m_View.SetFinished(true);
    m_View.SetAllowClose(true);
    EndUpgrade();
}

}  // namespace wizard
