// CProgressFlow: what the progress page does, without a toolkit.
//
// The Qt and the Win32 CFinish each own one and show what it says through
// CProgressView. Activate makes an engine through the page's factory, hands
// it the COM port chosen on the connection page (g_nComPort, and the fixed
// secondary and third numbers) and starts it with the package path and the
// first-run options. OnNotification turns the engine's notifications into
// the page's two text lines and two bars, bars the closing of the sheet once
// the run may not be interrupted, and when a run has ended (HLN_RUN 1) hands
// its report to the upgrade policy, which says whether one more run follows
// and with which options. Finally it shows one result text and enables
// Finish: the external-power text after a failed power check, the success
// text, or the failure text with the failing step and its reason below it.
// A Start that fails shows the failure text with the reason Start gave (the
// package, the port), so the page never waits for a run that is not going.
//
// The flow also tells the view the upgrade's moments, which each edition
// hands to a small class of its own that tells the machine (kept awake,
// its session kept from ending while the flash is written): the upgrade
// begins at activation and ends when the result is shown or the run is
// stopped, retries included; the flash work of a run begins with its
// HLN_NO_CANCEL and ends with the run. Every beginning is followed by its
// end, also when the sheet closes or the page goes away.
//
// Threading: user-interface thread only. The sink of each run comes from
// CProgressView::MakeSink, is called on the engine's threads and only posts;
// the page hands every notification back to OnNotification with the number
// of the run that sent it, and those of a run the flow has finished with are
// dropped. StopRun (also run by the destructor) cancels and destroys the
// engine, which waits for its threads, so no engine thread outlives the flow.
// MayClose asks the engine, not a notification that may still be queued,
// whether the run may still be stopped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/HERFLoader.h"
#include "engine/UpgradePolicy.h"
#include "wizard/LoaderDriver.h"

namespace wizard {

// The progress page as the flow sees it; implemented by each toolkit's page.
class CProgressView {
public:
    // The multi-line text at the top; lines are broken with "\r\n".
    virtual void ShowResultText(const std::string& strText) = 0;
    virtual void ShowPhase(const std::string& strLine, int nPercent) = 0;
    virtual void ShowOverall(const std::string& strLine, int nPercent) = 0;
    // Finish enabled (true) or no wizard button enabled (false).
    virtual void SetFinished(bool bFinished) = 0;
    // The sheet's m_bAllowClose.
    virtual void SetAllowClose(bool bAllow) = 0;
    // A sink for run nRun that posts each notification to the page's thread,
    // where the page gives it to OnNotification with nRun.
    virtual CHERFLoaderLib::CNotifySink MakeSink(uint32_t nRun) = 0;
    // The upgrade's moments (see above), in pairs: UpgradeBegins ...
    // UpgradeEnds, and within them FlashWorkBegins ... FlashWorkEnds.
    virtual void UpgradeBegins() = 0;
    virtual void FlashWorkBegins() = 0;
    virtual void FlashWorkEnds() = 0;
    virtual void UpgradeEnds() = 0;

protected:
    ~CProgressView() = default;
};

class CProgressFlow {
public:
    CProgressFlow(CProgressView& view, std::string strPackagePath, CLoaderFactory factory);
    ~CProgressFlow();
    CProgressFlow(const CProgressFlow&) = delete;
    CProgressFlow& operator=(const CProgressFlow&) = delete;

    // The page became active: initial texts and bars, then the first run.
    void Activate();
    // One notification of run nRun, on the user-interface thread.
    void OnNotification(const CHERFLoaderLib::CLoaderNotification& notification, uint32_t nRun);
    // Ends a run that is still going (the sheet is closing): cancels it and
    // waits for the engine's threads; then ends the upgrade's moments that
    // have begun. Nothing when no run is going.
    void StopRun();
    // True when the sheet may close now: no run goes on, or the run accepted
    // the cancel, or it has finished its flash work.
    bool MayClose();

    bool IsRunning() const { return m_bRunning; }
    bool IsFinished() const { return m_bFinished; }

private:
    void OnRunEnded();
    void StartRun(uint32_t nOptions);
    // Cancels and destroys a run that is still going; the upgrade goes on
    // (a retry follows, or the result is shown).
    void CancelRun();
    void ReleaseLoader();
    void ShowResult(const char* pszText, const std::string& strReason = std::string());
    // The moments' ends, each only after its beginning.
    void EndFlashWork();
    void EndUpgrade();

    CProgressView& m_View;
    std::string m_strPackagePath;
    CLoaderFactory m_LoaderFactory;
    std::unique_ptr<CLoaderDriver> m_pLoader;
    CHERFLoaderLib::CUpgradePolicy m_Policy;  // of this activation's upgrade
    std::optional<CHERFLoaderLib::CRunReport> m_FirstReport;  // of its first run, once ended
    std::string m_strPhaseName;
    bool m_bRunning = false;   // a started run has not yet reported its end
    bool m_bFinished = false;  // a result text is shown
    bool m_bUpgradeGoing = false;  // UpgradeBegins told, UpgradeEnds not yet
    bool m_bFlashWork = false;     // FlashWorkBegins told, FlashWorkEnds not yet
    uint32_t m_nRun = 0;       // number of the current run; notifications of others are dropped
};

}  // namespace wizard
