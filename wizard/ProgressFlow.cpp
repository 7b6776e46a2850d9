#include "wizard/ProgressFlow.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "engine/LoaderCodes.h"
#include "texts/Texts.h"
#include "wizard/PortChoice.h"
#include "wizard/TextFormat.h"
#include "wizard/WizardTexts.h"

using namespace CHERFLoaderLib::LoaderCodes;

namespace wizard {

namespace {

using Clock = CHERFLoaderLib::CProgressEstimate::Clock;

// Percent payloads are 0..100; anything else is held to that range so a bar
// and its line never disagree.
int Percent(int64_t nPayload)
{
    return static_cast<int>(std::clamp<int64_t>(nPayload, 0, 100));
}

std::string PhaseLine(const std::string& strName, int nPercent)
{
    return FormatText(WIZ_TEXT_PHASE_FORMAT, strName.c_str(), nPercent);
}

std::string Version(uint16_t wVersion)
{
    char szText[16];
    return FormatVersion(szText, sizeof szText, wVersion);
}

std::string Duration(double dSeconds)
{
    char szText[32];
    return FormatDuration(szText, sizeof szText, dSeconds);
}

// What the end page adds below the result: the versions as the receiver
// reported them before its first run and after the upgrade, and the time
// taken; only what is known.
std::string FactsText(const CHERFLoaderLib::CJobReport& report)
{
    const CHERFLoaderLib::CReceiverFacts& rx = report.receiver;
    std::vector<std::string> lines;
    if (rx.nBoardId >= 0)
        lines.push_back(FormatText(WIZ_TEXT_BEFORE_FORMAT, Version(rx.wOldAppVersion).c_str(),
                               Version(rx.wOldBootVersion).c_str()));
    if (rx.bIdentifiedAfter)
        lines.push_back(FormatText(WIZ_TEXT_NOW_FORMAT, Version(rx.wNowAppVersion).c_str(),
                               Version(rx.wNowBootVersion).c_str()));
    if (report.bStarted)
        lines.push_back(FormatText(WIZ_TEXT_TIME_TAKEN_FORMAT, Duration(report.dSeconds).c_str()));
    std::string strText;
    for (const std::string& strLine : lines)
        strText += (strText.empty() ? "" : "\r\n") + strLine;
    return strText;
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

void CProgressFlow::Activate(std::shared_ptr<const CPackageImage> pPackage)
{
    m_pPackage = std::move(pPackage);
    Restart();
}

void CProgressFlow::TryAgain()
{
    if (m_bFinished && m_bOfferRetry && !m_bRunning)
        Restart();
}

void CProgressFlow::Restart()
{
    m_View.ShowPhase(WIZ_TEXT_FIRST_PHASE, 0);
    m_View.ShowOverall(WIZ_TEXT_FIRST_OVERALL, 0);
    m_View.ShowTimes(std::string());
    m_View.ShowRetry(std::string());
    m_View.ShowFlashWarning(false);
    m_bFinished = false;
    m_bOfferRetry = false;
    m_View.SetFinished(false, false);
    m_View.ShowResultText(WIZ_TEXT_UPDATING);
    CancelJob();
    m_pJob.reset();
    EndUpgrade();
    m_strPhaseName.clear();
    m_bKeepRetryLine = false;
    m_Estimate = CHERFLoaderLib::CProgressEstimate();
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
    m_bRunning = m_pJob->Start(m_strPackagePath, m_pPackage, CHERFLoaderLib::CPortId::Com(g_nComPort), settings,
                               m_View.MakeSink(nJob), strError);
    // A job that does not start sends nothing: say why at once instead of
    // leaving the page in its initial state.
    if (!m_bRunning)
        ShowResult(std::string(WIZ_TEXT_FAILED) + "\r\n\r\n" + strError, true);
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
    m_View.ShowFlashWarning(false);
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
    // Once the flash work has begun nothing stops the upgrade: no question.
    if (!m_pJob->MayStop())
        return false;
    if (!m_View.ConfirmCancel())
        return false;
    // The job may have ended, or begun its flash work, while the question
    // was open. Cancel decides atomically against the start of the flash
    // work: once it is accepted no flash work begins, and the close goes on
    // to StopRun.
    if (!m_bRunning || !m_pJob)
        return true;
    return m_pJob->Cancel() || m_pJob->MayStop();
}

void CProgressFlow::OnEvent(const CHERFLoaderLib::CJobEvent& event, uint32_t nJob)
{
    if (!m_bRunning || nJob != m_nJob)
        return;
    switch (event.eKind) {
    case CHERFLoaderLib::CJobEvent::EKind::RunBegins:
        m_Estimate.RunBegins(Clock::now());
        if (event.nAttempt > 1) {
            m_View.ShowRetry(FormatText(WIZ_TEXT_RUN_AGAIN_FORMAT, event.nAttempt));
            m_bKeepRetryLine = true;  // through the run's first phase
        }
        break;
    case CHERFLoaderLib::CJobEvent::EKind::Notification:
        OnNotification(event.n);
        break;
    case CHERFLoaderLib::CJobEvent::EKind::JobEnds:
        OnJobEnded();
        break;
    default:
        break;  // the receiver's facts come with the job's report
    }
}

void CProgressFlow::Tick()
{
    if (m_bRunning)
        m_View.ShowTimes(TimesLine());
}

std::string CProgressFlow::TimesLine() const
{
    if (!m_Estimate.Started())
        return std::string();
    const Clock::time_point now = Clock::now();
    std::string strLine = FormatText(WIZ_TEXT_ELAPSED_FORMAT, Duration(m_Estimate.Elapsed(now)).c_str());
    if (const double dLeft = m_Estimate.SecondsLeft(now); dLeft >= 0)
        strLine += FormatText(WIZ_TEXT_LEFT_FORMAT, Duration(dLeft).c_str());
    if (const double dRate = m_Estimate.BytesPerSecond(now); dRate >= 0) {
        char szSpeed[32];
        strLine += FormatText(WIZ_TEXT_SPEED_FORMAT, FormatSpeed(szSpeed, sizeof szSpeed, dRate));
    }
    return strLine;
}

void CProgressFlow::OnNotification(const CHERFLoaderLib::CLoaderNotification& notification)
{
    m_Estimate.Notification(notification, Clock::now());
    const int nPercent = Percent(notification.nPayload);
    switch (notification.nCode) {
    case HLN_OVERALL_PERCENT:
        m_View.ShowOverall(FormatText(WIZ_TEXT_OVERALL_FORMAT, nPercent), nPercent);
        break;
    case HLN_PHASE_PERCENT:
        m_View.ShowPhase(PhaseLine(m_strPhaseName, nPercent), nPercent);
        m_View.ShowTimes(TimesLine());
        break;
    case HLN_PHASE_BEGIN:
        m_strPhaseName = notification.strText;
        // A retry line belongs to the phase it happened in.
        if (!m_bKeepRetryLine)
            m_View.ShowRetry(std::string());
        m_bKeepRetryLine = false;
        break;
    case HLN_RETRY:
        m_View.ShowRetry(FormatText(WIZ_TEXT_RETRY_FORMAT, static_cast<int>(notification.nPayload),
                                notification.strText.c_str()));
        break;
    case HLN_RUN:
        // A run's last notification ends its flash work; a retry may follow,
        // and its texts and bars continue on the same page.
        if (notification.nPayload == RUN_FINISHED)
            EndFlashWork();
        break;
    case HLN_NO_CANCEL:
        m_View.SetAllowClose(false);
        m_View.ShowFlashWarning(true);
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
    std::string strText;
    if (report.last.bPowerFailed)
        strText = WIZ_TEXT_POWER_FAILED;
    else if (report.bSuccess)
        strText = report.bUnverified ? WIZ_TEXT_UNVERIFIED : WIZ_TEXT_SUCCESS;
    else
        strText = std::string(WIZ_TEXT_FAILED) + (report.strReason.empty() ? "" : "\r\n\r\n" + report.strReason);
    if (const std::string strFacts = FactsText(report); !strFacts.empty())
        strText += "\r\n\r\n" + strFacts;
    // The last phase is the final "Connect to receiver": at the end the
    // line says the upgrade is done, not that a connection is being made.
    if (report.bSuccess)
        m_View.ShowPhase(PhaseLine(WIZ_TEXT_DONE_PHASE, 100), 100);
    ShowResult(strText, !report.bSuccess);
}

void CProgressFlow::ShowResult(const std::string& strText, bool bOfferRetry)
{
    m_View.ShowResultText(strText);
    m_View.ShowTimes(std::string());
    m_View.ShowRetry(std::string());
    m_bFinished = true;
    m_bOfferRetry = bOfferRetry;
    m_View.SetFinished(true, bOfferRetry);
    m_View.SetAllowClose(true);
    EndUpgrade();
}

}  // namespace wizard
