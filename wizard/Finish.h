// CFinish: the wizard's progress page, which runs the upgrade.
//
// Activation makes an engine through the page's factory, hands it the COM
// port chosen on the connection page (and the fixed secondary and third
// numbers) and starts it with the package path and the first-run options.
// From then on the page only turns the engine's notifications (arriving as
// WM_LOADER_NOTIFY events) into its two text lines and two bars, bars the
// closing of the sheet once the run may not be interrupted, and when a run
// has ended (HLN_RUN 1) hands its report to the upgrade policy, which says
// whether one more run follows and with which options. Finally it shows one
// result text and enables Finish: the external-power text after a failed
// power check, the success text, or the failure text with the failing step
// and its reason below it. A Start that fails shows the failure text with
// the reason Start gave (the package, the port), so the page never waits for
// a run that is not going.
//
// Threading: user-interface thread only. The engine's sink posts events tagged
// with the run's number; events of a run the page has finished with are
// dropped. StopRun (also run by the destructor and when the sheet closes)
// cancels and destroys the engine, which waits for all its threads, so no
// engine thread outlives the page. Before the sheet closes, MayClose asks the
// engine whether the run may still be stopped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/UpgradePolicy.h"
#include "wizard/LoaderDriver.h"
#include "wizard/TemplatePage.h"

class QLabel;
class QProgressBar;

namespace wizard {

class CCustomPropertySheet;
class CReceiverPicture;

class CFinish : public CTemplatePage {
public:
    CFinish(std::string strPackagePath, CLoaderFactory factory, QWidget* pParent = nullptr);
    ~CFinish() override;

    void initializePage() override;  // activation: starts the first run
    bool isComplete() const override;

    // Ends a run that is still going (the sheet is closing): cancels it and
    // waits for the engine's threads. Nothing when no run is going.
    void StopRun();

    QLabel* OverallText() const { return m_pOverallText; }
    QLabel* PhaseText() const { return m_pPhaseText; }
    QProgressBar* PhaseProgress() const { return m_pPhaseProgress; }
    QProgressBar* OverallProgress() const { return m_pOverallProgress; }
    QLabel* ResultText() const { return m_pResultText; }
    bool IsRunning() const { return m_bRunning; }

protected:
    bool event(QEvent* pEvent) override;
    void PlaceControls(const CDialogUnits& units) override;

private:
    void OnLoaderNotify(const CHERFLoaderLib::CLoaderNotification& notification);
    void OnRunEnded();
    void StartRun(uint32_t nOptions);
    void ReleaseLoader();
    // True when the sheet may close now: no run goes on, or the run accepted
    // the cancel, or it has finished its flash work.
    bool MayClose();
    void ShowResult(const char* pszText, const std::string& strReason = std::string());
    void SetAllowClose(bool bAllow);
    CCustomPropertySheet* Sheet() const;

    QLabel* m_pOverallText;
    QLabel* m_pPhaseText;
    QProgressBar* m_pPhaseProgress;
    QProgressBar* m_pOverallProgress;
    QLabel* m_pResultText;
    CReceiverPicture* m_pPicture;
    std::string m_strPhaseName;
    CHERFLoaderLib::CUpgradePolicy m_Policy;  // of this activation's upgrade
    bool m_bRunning = false;      // a started run has not yet reported its end
    bool m_bFinished = false;     // a result text is shown
    bool m_bSheetHooked = false;  // the sheet's closing stops the run
    uint32_t m_nRun = 0;          // number of the current run; events of others are dropped
    std::unique_ptr<CLoaderDriver> m_pLoader;
    std::string m_strPackagePath;
    CLoaderFactory m_LoaderFactory;
};

}  // namespace wizard
