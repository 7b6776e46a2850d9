#include "wizard/Finish.h"

#include <algorithm>
#include <utility>

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>

#include "engine/LoaderCodes.h"
#include "wizard/ConnectionPage.h"
#include "wizard/CustomPropertySheet.h"
#include "wizard/LoaderNotifyEvent.h"
#include "wizard/ReceiverPicture.h"
#include "wizard/WizardTexts.h"

namespace wizard {

namespace {
constexpr int FINISH_TEMPLATE_WIDTH = 359;
constexpr int FINISH_TEMPLATE_HEIGHT = 142;

// Percent payloads are 0..100; anything else is held to that range so a bar
// and its line never disagree.
int Percent(int64_t nPayload)
{
    return static_cast<int>(std::clamp<int64_t>(nPayload, 0, 100));
}

QProgressBar* MakeBar(QWidget* pParent)
{
    auto* pBar = new QProgressBar(pParent);
    pBar->setRange(0, 100);
    pBar->setValue(0);
    pBar->setTextVisible(false);
    return pBar;
}
}  // namespace

CFinish::CFinish(std::string strPackagePath, CLoaderFactory factory, QWidget* pParent)
    : CTemplatePage(FINISH_TEMPLATE_WIDTH, FINISH_TEMPLATE_HEIGHT, pParent),
      m_pOverallText(new QLabel(Canvas())),
      m_pPhaseText(new QLabel(Canvas())),
      m_pPhaseProgress(MakeBar(Canvas())),
      m_pOverallProgress(MakeBar(Canvas())),
      m_pResultText(new QLabel(ToDisplayText(WIZ_TEXT_UPDATING), Canvas())),
      m_pPicture(new CReceiverPicture(Canvas())),
      m_strPackagePath(std::move(strPackagePath)),
      m_LoaderFactory(std::move(factory))
{
    setButtonText(QWizard::FinishButton, QString::fromUtf8(WIZ_TEXT_FINISH));
    m_pResultText->setWordWrap(true);
    m_pResultText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Relayout();
}

CFinish::~CFinish()
{
    StopRun();
    m_pLoader.reset();
}

void CFinish::PlaceControls(const CDialogUnits& units)
{
    m_pResultText->setGeometry(units.Rect(178, 4, 181, 42));
    const double dScale = units.PictureScale();
    const QRect rcPicture = units.Rect(7, 7, 0, 0);
    m_pPicture->setGeometry(rcPicture.x(), rcPicture.y(),
                            static_cast<int>(CReceiverPicture::PICTURE_WIDTH * dScale),
                            static_cast<int>(CReceiverPicture::PICTURE_HEIGHT * dScale));
    m_pOverallProgress->setGeometry(units.Rect(182, 106, 163, 10));
    m_pOverallText->setGeometry(units.Rect(182, 93, 161, 10));
    m_pPhaseProgress->setGeometry(units.Rect(182, 76, 163, 10));
    m_pPhaseText->setGeometry(units.Rect(183, 64, 162, 10));
}

void CFinish::initializePage()
{
    if (!m_bSheetHooked && wizard() != nullptr) {
        // Closing the sheet while a run is still going stops it at once.
        connect(wizard(), &QDialog::finished, this, [this] { StopRun(); });
        if (CCustomPropertySheet* pSheet = Sheet())
            pSheet->m_fnMayClose = [this] { return MayClose(); };
        m_bSheetHooked = true;
    }
    m_pOverallProgress->setRange(0, 100);
    m_pOverallProgress->setValue(0);
    m_pPhaseProgress->setValue(0);
    m_bFinished = false;
    emit completeChanged();
    m_pResultText->setText(ToDisplayText(WIZ_TEXT_UPDATING));
    m_pPhaseText->setText(QString::fromUtf8(WIZ_TEXT_FIRST_PHASE));
    m_pOverallText->setText(QString::fromUtf8(WIZ_TEXT_FIRST_OVERALL));
    ReleaseLoader();
    m_strPhaseName.clear();
    m_Policy = CHERFLoaderLib::CUpgradePolicy(WIZ_OPTIONS_FIRST_RUN);
    StartRun(m_Policy.Options());
}

bool CFinish::isComplete() const
{
    return m_bFinished;
}

void CFinish::StartRun(uint32_t nOptions)
{
    m_bRunning = false;
    const uint32_t nRun = ++m_nRun;
    m_pLoader = m_LoaderFactory ? m_LoaderFactory() : nullptr;
    if (!m_pLoader)
        return;
    m_pLoader->Create(
        [this, nRun](const CHERFLoaderLib::CLoaderNotification& notification) {
            QCoreApplication::postEvent(this, new CLoaderNotifyEvent(notification, nRun));
        },
        WM_LOADER_NOTIFY);
    m_pLoader->SetPortNumbers(g_nComPort, WIZ_SECONDARY_PORT, WIZ_THIRD_PORT);
    m_bRunning = m_pLoader->Start(m_strPackagePath.c_str(), nOptions) == START_OK;
    // A run that does not start sends nothing: say why at once instead of
    // leaving the page in its initial state.
    if (!m_bRunning)
        ShowResult(WIZ_TEXT_FAILED, m_pLoader->GetRunReport().strError);
}

void CFinish::ReleaseLoader()
{
    StopRun();
    if (m_pLoader)
        m_pLoader->Destroy();
    m_pLoader.reset();
}

void CFinish::StopRun()
{
    if (m_pLoader && m_bRunning) {
        m_pLoader->Cancel();
        m_pLoader->Destroy();
    }
    m_bRunning = false;
    ++m_nRun;  // whatever the stopped run had still queued is dropped
}

bool CFinish::MayClose()
{
    if (!m_bRunning || !m_pLoader)
        return true;
    // Cancel decides atomically against the start of the flash work: once it
    // is accepted no flash work begins, and the close goes on to StopRun.
    return m_pLoader->Cancel() || m_pLoader->MayStop();
}

bool CFinish::event(QEvent* pEvent)
{
    if (pEvent->type() != static_cast<QEvent::Type>(WM_LOADER_NOTIFY))
        return CTemplatePage::event(pEvent);
    const auto* pNotify = static_cast<const CLoaderNotifyEvent*>(pEvent);
    if (m_bRunning && pNotify->Run() == m_nRun)
        OnLoaderNotify(pNotify->Notification());
    return true;
}

void CFinish::OnLoaderNotify(const CHERFLoaderLib::CLoaderNotification& notification)
{
    const int64_t nPayload = notification.nPayload;
    switch (notification.nCode) {
    case HLN_OVERALL_PERCENT:
        m_pOverallText->setText(QString::asprintf(WIZ_TEXT_OVERALL_FORMAT, Percent(nPayload)));
        m_pOverallProgress->setValue(Percent(nPayload));
        break;
    case HLN_PHASE_PERCENT:
        m_pPhaseProgress->setValue(Percent(nPayload));
        m_pPhaseText->setText(
            QString::asprintf(WIZ_TEXT_PHASE_FORMAT, m_strPhaseName.c_str(), Percent(nPayload)));
        break;
    case HLN_PHASE_BEGIN:
        m_strPhaseName = notification.strText;
        break;
    case HLN_RUN:
        // Only the worker's last notification ends a run: after a phase's
        // RUN_CANCELLED the engine still closes its links, and the report is
        // complete only then. RUN_FAILED is never sent.
        if (nPayload == RUN_FINISHED)
            OnRunEnded();
        break;
    case HLN_NO_CANCEL:
        SetAllowClose(false);
        break;
    default:
        break;  // log lines, step statuses and unknown codes change nothing here
    }
}

void CFinish::OnRunEnded()
{
    m_bRunning = false;
    const CHERFLoaderLib::CRunReport report = m_pLoader->GetRunReport();
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
        ShowResult(WIZ_TEXT_SUCCESS);
    else
        ShowResult(WIZ_TEXT_FAILED, CHERFLoaderLib::DescribeFailure(report));
}

void CFinish::ShowResult(const char* pszText, const std::string& strReason)
{
    QString strShown = ToDisplayText(pszText);
    if (!strReason.empty())
        strShown += QStringLiteral("\n\n") + QString::fromStdString(strReason);
    m_pResultText->setText(strShown);
    m_bFinished = true;
    emit completeChanged();
    SetAllowClose(true);
}

void CFinish::SetAllowClose(bool bAllow)
{
    if (CCustomPropertySheet* pSheet = Sheet())
        pSheet->m_bAllowClose = bAllow;
}

CCustomPropertySheet* CFinish::Sheet() const
{
    return dynamic_cast<CCustomPropertySheet*>(wizard());
}

}  // namespace wizard
