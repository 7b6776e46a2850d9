#include "wizard/Finish.h"

#include <utility>

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>

#include "wizard/CustomPropertySheet.h"
#include "wizard/DisplayText.h"
#include "wizard/LoaderNotifyEvent.h"
#include "wizard/ReceiverPicture.h"
#include "wizard/WizardTexts.h"

namespace wizard {

namespace {
constexpr int FINISH_TEMPLATE_WIDTH = 359;
constexpr int FINISH_TEMPLATE_HEIGHT = 142;

QProgressBar* MakeBar(QWidget* pParent)
{
    auto* pBar = new QProgressBar(pParent);
    pBar->setRange(0, 100);
    pBar->setValue(0);
    pBar->setTextVisible(false);
    return pBar;
}
}  // namespace

CFinish::CFinish(std::string strPackagePath, CJobFactory factory, QWidget* pParent)
    : CTemplatePage(FINISH_TEMPLATE_WIDTH, FINISH_TEMPLATE_HEIGHT, pParent),
      m_pOverallText(new QLabel(Canvas())),
      m_pPhaseText(new QLabel(Canvas())),
      m_pPhaseProgress(MakeBar(Canvas())),
      m_pOverallProgress(MakeBar(Canvas())),
      m_pResultText(new QLabel(ToDisplayText(WIZ_TEXT_UPDATING), Canvas())),
      m_pPicture(new CReceiverPicture(Canvas())),
      m_Flow(*this, std::move(strPackagePath), std::move(factory))
{
    setButtonText(QWizard::FinishButton, QString::fromUtf8(WIZ_TEXT_FINISH));
    m_pResultText->setWordWrap(true);
    m_pResultText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Relayout();
}

CFinish::~CFinish()
{
    m_Flow.StopRun();
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
        connect(wizard(), &QDialog::finished, this, [this] { m_Flow.StopRun(); });
        if (CCustomPropertySheet* pSheet = Sheet())
            pSheet->m_fnMayClose = [this] { return m_Flow.MayClose(); };
        m_bSheetHooked = true;
    }
    m_pOverallProgress->setRange(0, 100);
    m_Flow.Activate();
}

bool CFinish::isComplete() const
{
    return m_Flow.IsFinished();
}

bool CFinish::event(QEvent* pEvent)
{
    if (pEvent->type() != static_cast<QEvent::Type>(WM_LOADER_NOTIFY))
        return CTemplatePage::event(pEvent);
    const auto* pNotify = static_cast<const CLoaderNotifyEvent*>(pEvent);
    m_Flow.OnEvent(pNotify->Event(), pNotify->Job());
    return true;
}

void CFinish::ShowResultText(const std::string& strText)
{
    m_pResultText->setText(ToDisplayText(strText.c_str()));
}

void CFinish::ShowPhase(const std::string& strLine, int nPercent)
{
    m_pPhaseProgress->setValue(nPercent);
    m_pPhaseText->setText(QString::fromStdString(strLine));
}

void CFinish::ShowOverall(const std::string& strLine, int nPercent)
{
    m_pOverallText->setText(QString::fromStdString(strLine));
    m_pOverallProgress->setValue(nPercent);
}

void CFinish::SetFinished(bool)
{
    emit completeChanged();  // isComplete asks the flow
}

void CFinish::SetAllowClose(bool bAllow)
{
    if (CCustomPropertySheet* pSheet = Sheet())
        pSheet->m_bAllowClose = bAllow;
}

CHERFLoaderLib::CJobSink CFinish::MakeSink(uint32_t nJob)
{
    return [this, nJob](const CHERFLoaderLib::CJobEvent& event) {
        QCoreApplication::postEvent(this, new CLoaderNotifyEvent(event, nJob));
    };
}

CCustomPropertySheet* CFinish::Sheet() const
{
    return dynamic_cast<CCustomPropertySheet*>(wizard());
}

}  // namespace wizard
