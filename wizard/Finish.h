// CFinish: the wizard's progress page, which runs the upgrade.
//
// What the page does (the engine per run, the texts and bars per
// notification, the retry through the upgrade policy, the result texts, when
// closing is barred) is CProgressFlow's, shared with the Win32 wizard; this
// page is its Qt face: two labels and two bars placed like the dialog
// template, the result label, the Finish button, the posting of the
// engine's notifications as WM_LOADER_NOTIFY events, and the flow's moments
// handed to CSessionInhibitor (the machine kept awake, and its shutdown
// refused while the flash is written).
//
// Threading: user-interface thread only. The engine's sink posts events tagged
// with the run's number; the flow drops those of a run it has finished with.
// StopRun (also run by the destructor and when the sheet closes) cancels and
// destroys the engine, which waits for all its threads, so no engine thread
// outlives the page. Before the sheet closes, it asks the flow whether the
// run may still be stopped.
#pragma once

#include <cstdint>
#include <string>

#include "wizard/LoaderDriver.h"
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
    CFinish(std::string strPackagePath, CLoaderFactory factory, QWidget* pParent = nullptr);
    ~CFinish() override;

    void initializePage() override;  // activation: starts the first run
    bool isComplete() const override;

    // Ends a run that is still going (the sheet is closing): cancels it and
    // waits for the engine's threads. Nothing when no run is going.
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
    CHERFLoaderLib::CNotifySink MakeSink(uint32_t nRun) override;
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
