// CFinish: the wizard's progress page, which runs the upgrade.
//
// What the page does (the upgrade job, the texts and bars per event, the
// times and retry lines, the flash warning, the result texts, when closing
// is barred, Try again) is CProgressFlow's, shared with the Win32 wizard;
// this page is its Qt face: two labels and two bars placed like the dialog
// template, the result text in a scroll area (wrapped, so a long failure
// text can be read to its end), the lines of times, retries and the warning
// below, the page's Try again button, the Finish and Back buttons, the
// cancel question, the posting of the job's events as WM_LOADER_NOTIFY
// events, and the flow's moments handed to CSessionInhibitor (the machine
// kept awake, and its shutdown refused while the flash is written).
//
// Threading: user-interface thread only. The job's sink posts events tagged
// with the job's number; the flow drops those of a job it has finished with.
// StopRun (also run by the destructor and when the sheet closes) stops the
// job and waits for its thread, so no job thread outlives the page. Before
// the sheet closes, it asks the flow whether the upgrade may still be
// stopped, which asks the user.
#pragma once

#include <cstdint>
#include <string>

#include "wizard/JobDriver.h"
#include "wizard/ProgressFlow.h"
#include "wizard/SessionInhibitor.h"
#include "wizard/TemplatePage.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace wizard {

class CCustomPropertySheet;
class CReceiverPicture;
class CScrollText;

class CFinish : public CTemplatePage, private CProgressView {
public:
    CFinish(std::string strPackagePath, CJobFactory factory, QWidget* pParent = nullptr);
    ~CFinish() override;

    void initializePage() override;  // activation: starts the job
    bool isComplete() const override;

    // Ends a job that is still going (the sheet is closing): cancels it and
    // waits for its thread. Nothing when no job is going.
    void StopRun() { m_Flow.StopRun(); }

    QLabel* OverallText() const { return m_pOverallText; }
    QLabel* PhaseText() const { return m_pPhaseText; }
    QProgressBar* PhaseProgress() const { return m_pPhaseProgress; }
    QProgressBar* OverallProgress() const { return m_pOverallProgress; }
    QLabel* ResultText() const { return m_pResultText; }
    CScrollText* ResultArea() const { return m_pResultArea; }
    QLabel* TimesText() const { return m_pTimesText; }
    QLabel* RetryText() const { return m_pRetryText; }
    QLabel* WarningText() const { return m_pWarningText; }
    QPushButton* TryAgainButton() const { return m_pTryAgain; }
    bool IsRunning() const { return m_Flow.IsRunning(); }
    const CSessionInhibitor& SessionLocks() const { return m_SessionLocks; }

protected:
    bool event(QEvent* pEvent) override;
    void PlaceControls(const CDialogUnits& units) override;

private:
    void ShowResultText(const std::string& strText) override;
    void ShowPhase(const std::string& strLine, int nPercent) override;
    void ShowOverall(const std::string& strLine, int nPercent) override;
    void ShowTimes(const std::string& strLine) override;
    void ShowRetry(const std::string& strLine) override;
    void ShowFlashWarning(bool bShown) override;
    void SetFinished(bool bFinished, bool bOfferRetry) override;
    void SetAllowClose(bool bAllow) override;
    bool ConfirmCancel() override;
    CHERFLoaderLib::CJobSink MakeSink(uint32_t nJob) override;
    void UpgradeBegins() override { m_SessionLocks.UpgradeBegins(); }
    void FlashWorkBegins() override { m_SessionLocks.FlashWorkBegins(); }
    void FlashWorkEnds() override { m_SessionLocks.FlashWorkEnds(); }
    void UpgradeEnds() override { m_SessionLocks.UpgradeEnds(); }
    CCustomPropertySheet* Sheet() const;

    QLabel* m_pOverallText;
    QLabel* m_pPhaseText;
    QProgressBar* m_pPhaseProgress;
    QProgressBar* m_pOverallProgress;
    CScrollText* m_pResultArea;
    QLabel* m_pResultText;  // inside m_pResultArea
    QLabel* m_pTimesText;
    QLabel* m_pRetryText;
    QLabel* m_pWarningText;
    QPushButton* m_pTryAgain;
    CReceiverPicture* m_pPicture;
    QTimer* m_pTicker;            // moves the times on between notifications
    bool m_bSheetHooked = false;  // the sheet's closing stops the run
    CSessionInhibitor m_SessionLocks;
    CProgressFlow m_Flow;         // last: destroyed first, while the widgets and locks still exist
};

}  // namespace wizard
