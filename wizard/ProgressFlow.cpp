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

CProgressFlow::CProgressFlow(CProgressView& view, std::string strPackagePath, CLoaderFactory factory)
    : m_View(view), m_strPackagePath(std::move(strPackagePath)), m_LoaderFactory(std::move(factory)),
      m_Policy(WIZ_OPTIONS_FIRST_RUN)
{
}

CProgressFlow::~CProgressFlow()
{
    StopRun();
    m_pLoader.reset();
}

void CProgressFlow::Activate()
{
    m_View.ShowPhase(WIZ_TEXT_FIRST_PHASE, 0);
    m_View.ShowOverall(WIZ_TEXT_FIRST_OVERALL, 0);
    m_bFinished = false;
    m_View.SetFinished(false);
    m_View.ShowResultText(WIZ_TEXT_UPDATING);
    ReleaseLoader();
    EndUpgrade();
    m_strPhaseName.clear();
    m_Policy = CHERFLoaderLib::CUpgradePolicy(WIZ_OPTIONS_FIRST_RUN);
    m_FirstReport.reset();
    m_bUpgradeGoing = true;
    m_View.UpgradeBegins();
    StartRun(m_Policy.Options());
}

void CProgressFlow::StartRun(uint32_t nOptions)
{
    m_bRunning = false;
    const uint32_t nRun = ++m_nRun;
    m_pLoader = m_LoaderFactory ? m_LoaderFactory() : nullptr;
    if (!m_pLoader) {
        EndUpgrade();
        return;
    }
    m_pLoader->Create(m_View.MakeSink(nRun), WM_LOADER_NOTIFY);
    m_pLoader->SetPortNumbers(g_nComPort, CHERFLoaderLib::PORT_SECONDARY_DEFAULT, CHERFLoaderLib::PORT_THIRD_DEFAULT);
    m_bRunning = m_pLoader->Start(m_strPackagePath.c_str(), nOptions) == START_OK;
    // A run that does not start sends nothing: say why at once instead of
    // leaving the page in its initial state.
    if (!m_bRunning)
        ShowResult(WIZ_TEXT_FAILED, m_pLoader->GetRunReport().strError);
}

void CProgressFlow::ReleaseLoader()
{
    CancelRun();
    if (m_pLoader)
        m_pLoader->Destroy();
    m_pLoader.reset();
}

void CProgressFlow::StopRun()
{
    CancelRun();
    EndUpgrade();
}

void CProgressFlow::CancelRun()
{
    if (m_pLoader && m_bRunning) {
        m_pLoader->Cancel();
        m_pLoader->Destroy();
    }
    m_bRunning = false;
    ++m_nRun;  // whatever the stopped run had still queued is dropped
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
    if (!m_bRunning || !m_pLoader)
        return true;
    // Cancel decides atomically against the start of the flash work: once it
    // is accepted no flash work begins, and the close goes on to StopRun.
    return m_pLoader->Cancel() || m_pLoader->MayStop();
}

void CProgressFlow::OnNotification(const CHERFLoaderLib::CLoaderNotification& notification, uint32_t nRun)
{
    if (!m_bRunning || nRun != m_nRun)
        return;
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
        // Only the worker's last notification ends a run: after a phase's
        // RUN_CANCELLED the engine still closes its links, and the report is
        // complete only then. RUN_FAILED is never sent.
        if (notification.nPayload == RUN_FINISHED)
            OnRunEnded();
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

void CProgressFlow::OnRunEnded()
{
    m_bRunning = false;
    EndFlashWork();
    const CHERFLoaderLib::CRunReport report = m_pLoader->GetRunReport();
    if (!m_FirstReport.has_value())
        m_FirstReport = report;
    if (m_Policy.NextRun(report)) {
        // Texts, bars and buttons stay as they are; the new run's
        // notifications continue on the same page.
        ReleaseLoader();
        StartRun(m_Policy.Options());
        return;
    }
    m_pLoader->Destroy();
    if (report.bPowerFailed)
        ShowResult(WIZ_TEXT_POWER_FAILED);
    else if (CHERFLoaderLib::CUpgradePolicy::Succeeded(report))
        ShowResult(report.bFlashUnverified ? WIZ_TEXT_UNVERIFIED : WIZ_TEXT_SUCCESS);
    else
        ShowResult(WIZ_TEXT_FAILED, CHERFLoaderLib::DescribeFailures(*m_FirstReport, report));
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
