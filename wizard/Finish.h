// CFinish: the wizard's progress page, which runs the upgrade.
//
// What the page does (the upgrade job, the texts and bars per event, the
// result texts, when closing is barred) is CProgressFlow's, shared with the
// Win32 wizard; this page is its Qt face: two labels and two bars placed like
// the dialog template, the result label, the Finish button, the posting of
// the job's events as WM_LOADER_NOTIFY events, and the flow's moments
// handed to CSessionInhibitor (the machine kept awake, and its shutdown
// refused while the flash is written).
//
// Threading: user-interface thread only. The job's sink posts events tagged
// with the job's number; the flow drops those of a job it has finished with.
// StopRun (also run by the destructor and when the sheet closes) stops the
// job and waits for its thread, so no job thread outlives the page. Before
// the sheet closes, it asks the flow whether the upgrade may still be
// stopped.
#pragma once

#include <cstdint>
#include <string>

#include "wizard/JobDriver.h"
#include "wizard/ProgressFlow.h"
#include "wizard/SessionInhibitor.h"
#include "wizard/TemplatePage.h"

class QLabel;
class QProgressBar;

namespace wizard {

class CCustomPropertySheet;
class CReceiverPicture;

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
    bool IsRunning() const { return m_Flow.IsRunning(); }
    const CSessionInhibitor& SessionLocks() const { return m_SessionLocks; }

protected:
    bool event(QEvent* pEvent) override;
    void PlaceControls(const CDialogUnits& units) override;

private:
    void ShowResultText(const std::string& strText) override;
    void ShowPhase(const std::string& strLine, int nPercent) override;
    void ShowOverall(const std::string& strLine, int nPercent) override;
    void SetFinished(bool bFinished) override;
    void SetAllowClose(bool bAllow) override;
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
    QLabel* m_pResultText;
    CReceiverPicture* m_pPicture;
    bool m_bSheetHooked = false;  // the sheet's closing stops the run
    CSessionInhibitor m_SessionLocks;
    CProgressFlow m_Flow;         // last: destroyed first, while the widgets and locks still exist
};

}  // namespace wizard
