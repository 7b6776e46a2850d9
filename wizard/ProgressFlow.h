// CProgressFlow: what the progress page does, without a toolkit.
//
// The Qt and the Win32 CFinish each own one and show what it says through
// CProgressView. Activate makes a job driver through the page's factory and
// starts one upgrade job with the package the connection page checked (or,
// without one, the package path), the COM port chosen on the connection
// page (g_nComPort; the secondary and third ports are the engine's
// defaults) and the first-run options; the job makes the runs and the
// policy's retry. OnEvent turns the job's events into the page's two text
// lines and two bars, the time taken and left with the upload's speed (the
// engine's CProgressEstimate, as the command line shows them), a warning
// while the receiver's flash is written, and a line for each attempt that
// failed and each run the policy adds; it bars the closing of the sheet once
// the upgrade may not be interrupted. At the job's end it shows what the job
// reports: the external-power text after a failed power check, the success
// text (or the text for a success whose flash could not be checked), or the
// failure text with the job's reason below it; then the versions the
// receiver reported before and after and the time taken, and enables Finish.
// After a failure it also offers Back and Try again (TryAgain starts the job
// again with the same port and package). A job that cannot be started shows
// the failure text with the reason (the package, the port), so the page
// never waits for an upgrade that is not going.
//
// Before the sheet closes while the job may still be stopped, MayClose asks
// the view whether to cancel the upgrade.
//
// The flow also tells the view the upgrade's moments, which each edition
// hands to a small class of its own that tells the machine (kept awake,
// its session kept from ending while the flash is written): the upgrade
// begins at activation and ends when the result is shown or the job is
// stopped, retries included; the flash work of a run begins with its
// HLN_NO_CANCEL and ends with the run's HLN_RUN 1. Every beginning is
// followed by its end, also when the sheet closes or the page goes away.
//
// Threading: user-interface thread only. The sink of each job comes from
// CProgressView::MakeSink, is called on the job's thread and only posts; the
// page hands every event back to OnEvent with the number of the job that
// sent it, and those of a job the flow has finished with are dropped.
// StopRun (also run by the destructor) cancels the job and waits for its
// thread, so no job thread outlives the flow. MayClose asks the job, not an
// event that may still be queued, whether the upgrade may still be stopped.
// The page calls Tick a few times a second while a job runs, so that the
// times move on between notifications.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/ProgressEstimate.h"
#include "engine/UpgradeJob.h"
#include "wizard/JobDriver.h"

namespace wizard {

// The progress page as the flow sees it; implemented by each toolkit's page.
class CProgressView {
public:
    // The multi-line text at the top, wrapped and scrollable when long;
    // lines are broken with "\r\n".
    virtual void ShowResultText(const std::string& strText) = 0;
    virtual void ShowPhase(const std::string& strLine, int nPercent) = 0;
    virtual void ShowOverall(const std::string& strLine, int nPercent) = 0;
    // The line of times and speed under the bars; empty clears it.
    virtual void ShowTimes(const std::string& strLine) = 0;
    // The line that says what is tried again; empty clears it.
    virtual void ShowRetry(const std::string& strLine) = 0;
    // The warning not to disconnect or switch off the receiver.
    virtual void ShowFlashWarning(bool bShown) = 0;
    // Finished: Finish enabled, and after a failure also Back and the page's
    // Try again (bOfferRetry); not finished: no wizard button enabled and no
    // Try again.
    virtual void SetFinished(bool bFinished, bool bOfferRetry) = 0;
    // The sheet's m_bAllowClose.
    virtual void SetAllowClose(bool bAllow) = 0;
    // Asks "Cancel the upgrade?"; true when the user says yes.
    virtual bool ConfirmCancel() = 0;
    // A sink for job nJob that posts each event to the page's thread, where
    // the page gives it to OnEvent with nJob.
    virtual CHERFLoaderLib::CJobSink MakeSink(uint32_t nJob) = 0;
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
    CProgressFlow(CProgressView& view, std::string strPackagePath, CJobFactory factory);
    ~CProgressFlow();
    CProgressFlow(const CProgressFlow&) = delete;
    CProgressFlow& operator=(const CProgressFlow&) = delete;

    // The page became active: initial texts and bars, then the job with
    // pPackage (the connection page's; null: the job reads the path).
    void Activate(std::shared_ptr<const CPackageImage> pPackage = nullptr);
    // Try again after a failure: the same as activation, with the same
    // package and port. Nothing unless a failure is shown.
    void TryAgain();
    // One event of job nJob, on the user-interface thread.
    void OnEvent(const CHERFLoaderLib::CJobEvent& event, uint32_t nJob);
    // The times move on while no notification comes.
    void Tick();
    // Ends a job that is still going (the sheet is closing): cancels it and
    // waits for its thread; then ends the upgrade's moments that have begun.
    // Nothing when no job is going.
    void StopRun();
    // True when the sheet may close now: no job goes on, or the user agreed
    // to cancel it and the job accepted the cancel, or it may be stopped
    // without harm. False, without asking, once the flash work has begun.
    bool MayClose();

    bool IsRunning() const { return m_bRunning; }
    bool IsFinished() const { return m_bFinished; }
    bool OffersRetry() const { return m_bOfferRetry; }

private:
    void Restart();
    void OnNotification(const CHERFLoaderLib::CLoaderNotification& notification);
    void OnJobEnded();
    void StartJob();
    // Stops a job that is still going and drops whatever it still queued.
    void CancelJob();
    void ShowResult(const std::string& strText, bool bOfferRetry);
    std::string TimesLine() const;
    // The moments' ends, each only after its beginning.
    void EndFlashWork();
    void EndUpgrade();

    CProgressView& m_View;
    std::string m_strPackagePath;
    std::shared_ptr<const CPackageImage> m_pPackage;  // the package of this activation; may be null
    CJobFactory m_JobFactory;
    std::unique_ptr<CJobDriver> m_pJob;
    std::string m_strPhaseName;
    CHERFLoaderLib::CProgressEstimate m_Estimate;
    bool m_bRunning = false;   // a started job has not yet reported its end
    bool m_bFinished = false;  // a result text is shown
    bool m_bOfferRetry = false;    // ... a failure, with Back and Try again
    bool m_bKeepRetryLine = false; // the line of a run the policy added stays through its first phase
    bool m_bUpgradeGoing = false;  // UpgradeBegins told, UpgradeEnds not yet
    bool m_bFlashWork = false;     // FlashWorkBegins told, FlashWorkEnds not yet
    uint32_t m_nJob = 0;       // number of the current job; events of others are dropped
};

}  // namespace wizard
