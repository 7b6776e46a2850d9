#include "wizard/Finish.h"

#include <utility>

#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "wizard/CustomPropertySheet.h"
#include "wizard/DisplayText.h"
#include "wizard/LoaderNotifyEvent.h"
#include "wizard/ReceiverPicture.h"
#include "wizard/ScrollText.h"
#include "wizard/WizardTexts.h"

namespace wizard {

namespace {
// The template is taller than the original 142 units: the lines of times,
// retries and the flash warning, and Try again, sit below the bars and the
// picture.
constexpr int FINISH_TEMPLATE_WIDTH = 359;
constexpr int FINISH_TEMPLATE_HEIGHT = 172;
constexpr int TICK_MS = 500;

QProgressBar* MakeBar(QWidget* pParent)
{
    auto* pBar = new QProgressBar(pParent);
    pBar->setRange(0, 100);
    pBar->setValue(0);
    pBar->setTextVisible(false);
    return pBar;
}

QLabel* MakeLine(QWidget* pParent, bool bWrap)
{
    auto* pLabel = new QLabel(pParent);
    pLabel->setTextFormat(Qt::PlainText);  // the engine's texts, whatever they hold
    pLabel->setWordWrap(bWrap);
    pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return pLabel;
}
}  // namespace

CFinish::CFinish(std::string strPackagePath, CJobFactory factory, QWidget* pParent)
    : CTemplatePage(FINISH_TEMPLATE_WIDTH, FINISH_TEMPLATE_HEIGHT, pParent),
      m_pOverallText(new QLabel(Canvas())),
      m_pPhaseText(new QLabel(Canvas())),
      m_pPhaseProgress(MakeBar(Canvas())),
      m_pOverallProgress(MakeBar(Canvas())),
      m_pResultArea(new CScrollText(Canvas())),
      m_pResultText(m_pResultArea->Label()),
      m_pTimesText(MakeLine(Canvas(), false)),
      m_pRetryText(MakeLine(Canvas(), true)),
      m_pWarningText(MakeLine(Canvas(), true)),
      m_pTryAgain(new QPushButton(QString::fromUtf8(WIZ_TEXT_TRY_AGAIN), Canvas())),
      m_pPicture(new CReceiverPicture(Canvas())),
      m_pTicker(new QTimer(this)),
      m_Flow(*this, std::move(strPackagePath), std::move(factory))
{
    setButtonText(QWizard::FinishButton, QString::fromUtf8(WIZ_TEXT_FINISH));
    // The result may run to many lines (a failure's reason): wrapped to the
    // area's width, and scrolled when it is longer than the area.
    m_pResultText->setText(ToDisplayText(WIZ_TEXT_UPDATING));
    QFont bold = m_pWarningText->font();
    bold.setBold(true);
    m_pWarningText->setFont(bold);
    m_pWarningText->setText(QString::fromUtf8(WIZ_TEXT_FLASH_WARNING));
    m_pWarningText->hide();
    m_pTryAgain->hide();
    connect(m_pTryAgain, &QPushButton::clicked, this, [this] { m_Flow.TryAgain(); });
    connect(m_pTicker, &QTimer::timeout, this, [this] { m_Flow.Tick(); });
    m_pTicker->start(TICK_MS);
    Relayout();
}

CFinish::~CFinish()
{
    m_Flow.StopRun();
}

void CFinish::PlaceControls(const CDialogUnits& units)
{
    m_pResultArea->setGeometry(units.Rect(178, 4, 177, 56));
    const double dScale = units.PictureScale();
    const QRect rcPicture = units.Rect(7, 7, 0, 0);
    m_pPicture->setGeometry(rcPicture.x(), rcPicture.y(),
                            static_cast<int>(CReceiverPicture::PICTURE_WIDTH * dScale),
                            static_cast<int>(CReceiverPicture::PICTURE_HEIGHT * dScale));
    m_pOverallProgress->setGeometry(units.Rect(182, 106, 163, 10));
    m_pOverallText->setGeometry(units.Rect(182, 93, 161, 10));
    m_pPhaseProgress->setGeometry(units.Rect(182, 76, 163, 10));
    m_pPhaseText->setGeometry(units.Rect(183, 64, 162, 10));
    m_pTimesText->setGeometry(units.Rect(182, 119, 163, 10));
    m_pWarningText->setGeometry(units.Rect(7, 140, 345, 10));
    m_pRetryText->setGeometry(units.Rect(7, 152, 280, 18));
    m_pTryAgain->setGeometry(units.Rect(295, 153, 57, 14));
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
    CCustomPropertySheet* pSheet = Sheet();
    m_Flow.Activate(pSheet != nullptr ? pSheet->m_pPackage : nullptr);
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

void CFinish::ShowTimes(const std::string& strLine)
{
    m_pTimesText->setText(QString::fromStdString(strLine));
}

void CFinish::ShowRetry(const std::string& strLine)
{
    m_pRetryText->setText(QString::fromStdString(strLine));
}

void CFinish::ShowFlashWarning(bool bShown)
{
    m_pWarningText->setVisible(bShown);
}

void CFinish::SetFinished(bool bFinished, bool bOfferRetry)
{
    const bool bRetry = bFinished && bOfferRetry;
    // Back returns to the connection page only from a failure.
    if (wizard() != nullptr)
        wizard()->setOption(QWizard::NoBackButtonOnLastPage, !bRetry);
    m_pTryAgain->setVisible(bRetry);
    emit completeChanged();  // isComplete asks the flow
}

void CFinish::SetAllowClose(bool bAllow)
{
    if (CCustomPropertySheet* pSheet = Sheet())
        pSheet->m_bAllowClose = bAllow;
}

bool CFinish::ConfirmCancel()
{
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(WIZ_TEXT_CAPTION),
                    QString::fromUtf8(WIZ_TEXT_CANCEL_QUESTION), QMessageBox::Yes | QMessageBox::No, wizard());
    box.setInformativeText(QString::fromUtf8(WIZ_TEXT_CANCEL_DETAIL));
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
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
