// One receiver's upgrade within `trailmark upgrade`, as the command line
// shows it: the engine's upgrade job (engine/UpgradeJob.h) runs the runs and
// retries on a thread of its own, so that a bench can upgrade many receivers
// at once; this class turns the job's events into CRunEvents, tagged with
// the receiver's index, on one CRunEventQueue that the main thread empties
// and shows, and the job's report into the receiver's result (its exit
// status among them).
//
// While the receiver's flash is being written, the receiver holds a share of
// the process's critical work (platform/Console.h), which a console that
// closes waits for: taken when a run's flash work begins (at the engine's
// HLN_NO_CANCEL, before the first erase, or when it refuses a cancel) and given
// back by the main thread once the receiver's end is shown and logged.
//
// Threading: Start, Interrupt, Join and ReleaseFlashWork are called from the
// main thread; the job's events arrive on the job's thread; Result may be
// read once Join returned (or once the receiver's FINISHED event was taken
// from the queue).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "engine/EventQueue.h"
#include "engine/HERFLoader.h"
#include "engine/UpgradeJob.h"

// The upgrade's own exit statuses, besides those of Command.h.
constexpr int EXIT_STATUS_PORT = 3;          // a port cannot be opened
constexpr int EXIT_STATUS_UNVERIFIED = 5;    // upgraded, but the flash could not be verified on this receiver
constexpr int EXIT_STATUS_INTERRUPTED = 130; // Ctrl-C before any flash work

// What one receiver's upgrade came to, for the summary, the JSON summary
// object and the run log.
struct CReceiverResult {
    std::string strPort;   // as the user gave it
    int nExitStatus = 1;   // 0 upgraded, 1 failed, 3 port, 5 unverified, 130 interrupted
    bool bSuccess = false;
    // Upgraded, but the monitor's checks could not be trusted: nothing showed
    // that the flash holds the package (exit status 5 unless the user turned
    // the check off).
    bool bUnverified = false;
    int nAttempts = 0;     // runs started (1 + retries)
    int32_t nStart = 0;    // START_* of the last run's Start; START_OK when it ran
    double dSeconds = 0;   // from the first run's start to the end of the last
    std::string strReason; // empty on success
    CHERFLoaderLib::CRunReport report;  // of the last run
};

struct CRunEvent {
    enum EKind {
        NOTIFICATION,  // n holds an engine notification
        RUN_STARTED,   // nAttempt and nOptions: a run (or a retry) begins
        MESSAGE,       // strText: a line of the program's own
        FINISHED,      // the receiver's last event: its result is ready
    };
    int nReceiver = 0;
    EKind eKind = NOTIFICATION;
    CHERFLoaderLib::CLoaderNotification n;
    int nAttempt = 0;
    uint32_t nOptions = 0;
    std::string strText;
    // The receiver's serial number once its boot loader gave it; empty before.
    std::string strSerial;
};

using CRunEventQueue = CHERFLoaderLib::CEventQueue<CRunEvent>;

// How every receiver of the invocation is upgraded: the package, read once
// for all of them, and the job's settings.
struct CRunSettings {
    std::shared_ptr<const CPackageImage> pPackage;
    CHERFLoaderLib::CJobSettings job;
};

using CHERFLoaderLib::CReceiverPorts;

class CReceiverRun {
public:
    CReceiverRun(int index, std::string port, const CReceiverPorts& ports, const CRunSettings& settings,
                 CRunEventQueue& queue)
        : m_nIndex(index), m_Ports(ports), m_Settings(settings), m_Queue(queue)
    {
        m_Result.strPort = std::move(port);
    }
    ~CReceiverRun()
    {
        Join();
        ReleaseFlashWork();
    }
    CReceiverRun(const CReceiverRun&) = delete;
    CReceiverRun& operator=(const CReceiverRun&) = delete;

    void Start();
    // Ctrl-C: asks the job to stop, and says whether it will.
    void Interrupt();
    void Join();
    const CReceiverResult& Result() const { return m_Result; }
    // Gives back the receiver's share of the critical work, if it took one.
    void ReleaseFlashWork();

private:
    void OnJobEvent(const CHERFLoaderLib::CJobEvent& event);
    void Finish(const CHERFLoaderLib::CJobReport& report);
    void Post(CRunEvent event);
    // Takes the share once; from the job's thread or the main thread.
    void TakeFlashWork();

    int m_nIndex;
    CReceiverPorts m_Ports;
    const CRunSettings& m_Settings;
    CRunEventQueue& m_Queue;
    CReceiverResult m_Result;
    std::string m_strSerial;                // the job's thread alone
    std::atomic<bool> m_bFlashWork{false};  // the share of the critical work is held
    std::unique_ptr<CHERFLoaderLib::CUpgradeJob> m_pJob;
};

// Why an upgrade failed, in words a person can act on, from the job's report.
std::string FailureReason(const CHERFLoaderLib::CJobReport& report);
