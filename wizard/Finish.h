// CFinish: the wizard's progress page, which runs the upgrade.
//
// Activation makes an engine through the page's factory, hands it the COM
// port chosen on the connection page (and the fixed secondary and third
// numbers) and starts it with the package path and the first-run options.
// From then on the page only turns the engine's notifications (arriving as
// WM_LOADER_NOTIFY events) into its two text lines and two bars, bars the
// closing of the sheet once the run may not be interrupted, retries a failed
// run once with the retry options, and finally shows one result text and
// enables Finish. A failed power check gives the external-power text and no
// retry; a failed application-version or device-family check is a failure
// too, also without a retry, because another run cannot pass it.
//
// Threading: user-interface thread only. The engine's sink posts events tagged
// with the run's number; events of a run the page has finished with are
// dropped. StopRun (also run by the destructor and when the sheet closes)
// cancels and destroys the engine, which waits for all its threads, so no
// engine thread outlives the page.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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
    void OnRunEnded(int64_t nPayload);
    void StartRun(uint32_t nOptions);
    void ReleaseLoader();
    void ShowResult(const char* pszText);
    void SetAllowClose(bool bAllow);
    CCustomPropertySheet* Sheet() const;

    QLabel* m_pOverallText;
    QLabel* m_pPhaseText;
    QProgressBar* m_pPhaseProgress;
    QProgressBar* m_pOverallProgress;
    QLabel* m_pResultText;
    CReceiverPicture* m_pPicture;
    std::string m_strPhaseName;
    bool m_bRetried = true;
    bool m_bPowerFailed = false;
    bool m_bCheckFailed = false;  // an application-version or device-family check failed
    bool m_bRunning = false;      // a started run has not yet reported its end
    bool m_bFinished = false;     // a result text is shown
    bool m_bSheetHooked = false;  // the sheet's closing stops the run
    uint32_t m_nRun = 0;          // number of the current run; events of others are dropped
    std::unique_ptr<CLoaderDriver> m_pLoader;
    std::string m_strPackagePath;
    CLoaderFactory m_LoaderFactory;
};

}  // namespace wizard
