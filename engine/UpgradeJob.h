// One receiver's whole upgrade: the runs the upgrade policy asks for, on a
// thread of the job's own, with what the runs learnt of the receiver merged
// into one report.
//
// A front end (the wizard's progress page, each receiver of `trailmark
// upgrade`, a benchmark, a test) makes one job per receiver with the package
// read once for the whole invocation, the receiver's ports and the settings,
// and starts it. The job starts a run with the policy's first options, and
// when a run has ended (HLN_RUN 1) hands the run's report to the policy
// (UpgradePolicy.h), which says whether another run follows and how; then it
// merges the runs' facts and delivers one report. CHERFLoader stays the
// handle of each run underneath: one per run, as the design has it.
//
// Events, all to the one sink, all on the job's thread, in this order:
//  - RunBegins (attempt, options) before anything of each run;
//  - the run's notifications, exactly as the engine sent them (HLN_PHASE_BEGIN
//    carries the phase's kind and, for the uploads, the bytes they send), up
//    to its HLN_RUN 1; a run whose Start failed sends none;
//  - Identified (the receiver's facts so far) right after a notification
//    HLN_CONNECT 1, once the receiver has given its identity;
//  - JobEnds, always the last event, exactly once: Report() is complete.
//
// Threading: the constructor, SetPorts*, Start, Cancel, MayStop, Stop and
// Report are called from the front end's thread; the sink runs on the job's
// thread and must only queue or post what it is given. Stop (also run by the
// destructor) waits for the job's thread, so no event is delivered after it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/HERFLoader.h"
#include "engine/PortService.h"
#include "engine/UpgradePolicy.h"

class CPackageImage;

namespace CHERFLoaderLib {

// The line rates the receivers of one invocation could not use: a rate that
// a receiver's monitor took but its line (cable, adapter) did not carry is
// not asked of the others, which then run at 115200. A refusal is the
// receiver's own: the others are still asked. Thread-safe.
class CLineRateMemory {
public:
    // The rate to ask for instead of `wanted`.
    uint32_t Allowed(uint32_t wanted) const;
    void Failed(uint32_t rate);

private:
    mutable std::mutex m_Lock;
    uint32_t m_nLowestFailed = 0;  // 0: none failed
};

// The package at `path`, read, staged and proven once for a whole
// invocation, for the jobs to share; null with the reason in `error` (the
// texts a refused package gets everywhere) when it cannot be used.
std::shared_ptr<const CPackageImage> LoadPackage(const std::string& path, std::string& error);

// How one receiver is upgraded.
struct CJobSettings {
    uint32_t nOptions = UPGRADE_FIRST_RUN_OPTIONS;  // the first run's; the policy derives the others
    bool bRetry = true;                              // more runs after a failure, as the policy allows
    int32_t nFlashCheck = FLASH_CHECK_AUTO;
    std::string strMonitorFolder;                    // empty: the built-in monitors
    uint32_t nMessage = 0x83E8;                      // the tag of every notification
    uint32_t nLineRate = 115200;                     // the monitor link's rate asked for (CHERFLoader::SetLineRate)
    std::shared_ptr<CLineRateMemory> pRates;         // shared by the receivers of an invocation; may be null
};

struct CJobEvent {
    enum class EKind { RunBegins, Notification, Identified, JobEnds };
    EKind eKind = EKind::Notification;
    int nAttempt = 0;          // RunBegins: 1 for the first run
    uint32_t nOptions = 0;     // RunBegins: the run's options
    CLoaderNotification n;     // Notification
    CReceiverFacts receiver;   // Identified
};

using CJobSink = std::function<void(const CJobEvent&)>;

// What a whole upgrade came to.
struct CJobReport {
    bool bStarted = false;       // some run's Start succeeded
    bool bSuccess = false;       // the last run succeeded (CUpgradePolicy::Succeeded)
    bool bUnverified = false;    // ... but nothing could check its flash (CRunReport::bFlashUnverified)
    bool bInterrupted = false;   // a cancel stopped it before any flash work
    int nRuns = 0;               // runs started, the first included
    int32_t nStart = START_OK;   // Start's result of the last run
    std::string strReason;       // why it failed, naming the first run's failure as well; empty on success
    CRunReport last;             // the last run's report
    // Merged over the runs: the versions before from the first run that
    // identified the receiver (a later one may see half-new firmware), the
    // board and serial number as soon as any run knew them, the versions
    // after from the last run.
    CReceiverFacts receiver;
    double dSeconds = 0;         // from Start to the job's end
};

class CUpgradeJob {
public:
    CUpgradeJob(std::shared_ptr<const CPackageImage> package, CJobSettings settings, CJobSink sink);
    ~CUpgradeJob();
    CUpgradeJob(const CUpgradeJob&) = delete;
    CUpgradeJob& operator=(const CUpgradeJob&) = delete;

    // The receiver's ports, before Start (as CHERFLoader::SetPorts takes them).
    void SetPorts(const CReceiverPorts& ports);

    // Starts the job's thread; false when it cannot be started (no event then).
    bool Start();
    // Asks the job to stop: accepted before the flash work of its first run
    // that writes flash, refused (false, nothing changes) once any run has
    // begun writing flash and until the job ends.
    bool Cancel();
    // Whether stopping now leaves the receiver as it was found: false from
    // the first flash work until the job's end.
    bool MayStop() const;
    // Cancels (as Cancel) and waits for the job's end.
    void Stop();
    // Waits for the job's end.
    void Wait();
    bool IsFinished() const { return m_bFinished; }
    CJobReport Report() const;

private:
    void Main();
    // One run; false when its Start refused it.
    bool RunOnce(uint32_t options, CRunReport& report);
    void Emit(const CJobEvent& event);

    std::shared_ptr<const CPackageImage> m_pPackage;
    const CJobSettings m_Settings;
    CJobSink m_Sink;
    CReceiverPorts m_Ports;

    mutable std::mutex m_Lock;                // m_pLoader, m_Report and the decisions below
    std::unique_ptr<CHERFLoader> m_pLoader;   // the run going on; null between runs
    bool m_bCancelAccepted = false;
    bool m_bFlashTouched = false;             // some run began its flash work
    CJobReport m_Report;
    std::atomic<bool> m_bFinished{false};
    std::thread m_Thread;
};

}  // namespace CHERFLoaderLib
