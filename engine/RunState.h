// The outcome and cancel state of one upgrade run: its result code, the
// cancel signal with the one decision between a cancel and the start of the
// flash work, and the run report as it fills.
//
// A group of the upgrade session (HERFLoaderImpl.h): the phases set results
// and report flags through the session's SetError and NoteReport, the worker
// closes the cancel decision, and the front end cancels and reads.
//
// Threading: every operation may be called from any thread at any time. The
// result code and the cancel state are atomics; the report has a lock of its
// own, never held while anything else is called.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/RunReport.h"
#include "platform/Event.h"

namespace CHERFLoaderLib {

// Values of the cancellable flag. The first that moves it away from
// CANCEL_OPEN wins: Cancel to CANCEL_ACCEPTED, or the worker to CANCEL_CLOSED
// when the first phase that may not be cancelled is about to begin.
constexpr int32_t CANCEL_CLOSED = 0;
constexpr int32_t CANCEL_OPEN = 1;
constexpr int32_t CANCEL_ACCEPTED = 2;

class CRunState {
public:
    void SetError(int32_t code) { m_nError.store(code); }
    // Also keeps the reason for the report; the first reason of a run wins,
    // as later failures follow from it.
    void SetError(int32_t code, const std::string& reason);
    int32_t GetError() const { return m_nError.load(); }
    // Replaces the reason: a cause found later that explains the failure
    // better than the first symptom (a port that went away).
    void ReplaceReason(const std::string& reason);

    // The worker clears the cancel flag when it begins.
    void BeginRun() { m_bCancel = 0; }
    // Sets the cancel event: phases that poll IsCancelled stop at their next
    // check. Destroy raises it whatever the run is doing.
    void RaiseCancel() { m_CancelEvent.Set(); }
    // The front end's cancel: false, changing nothing, once the flash work
    // has begun.
    bool Cancel();
    // The worker closes the cancel decision before the first phase that may
    // not be cancelled; false when a cancel was accepted first. `closedNow`
    // tells whether this call closed it.
    bool BeginFlashWork(bool& closedNow);
    bool IsCancelled() const;
    // The worker has sent its last notification.
    void EndRun() { m_bWorkerDone = true; }
    bool MayStop() const;

    // Sets one flag of the run report.
    void NoteReport(bool CRunReport::*flag);
    // The run ends with the receiver kept in its monitor, for this reason.
    void NoteMonitorKept(const std::string& text);
    // A step reported failure (HLN_* of a step).
    void NoteFailedStep(int32_t code);
    void SetStarted(bool started);
    // The package's versions, known once Start has read it.
    void NotePackageVersions(uint16_t app, uint16_t boot);
    // Sets one byte count of the report (the uploads' sizes, for the front
    // ends' speed figures).
    void NoteBytes(uint32_t CRunReport::*field, uint32_t bytes);
    // What an identification of the receiver read. Only the first one of a
    // run counts: the final phase identifies the receiver again, after its
    // flash holds the new versions.
    void NoteReceiver(uint16_t oldApp, uint16_t oldBoot, int32_t board, const std::string& serial);
    // The versions the receiver reported when the final phase identified it.
    void NoteReceiverAfter(uint16_t app, uint16_t boot);
    // The rate the monitor link runs at, and whether a higher rate asked
    // for was refused or did not work.
    void NoteLineRate(uint32_t baud, bool fellBack, bool failed = false);
    // The rate the data upload runs at (the fall-back flag stays).
    void NoteUploadRate(uint32_t baud);
    // The report so far with the result and cancel state filled in. The
    // session adds what only it knows: whether a port went away, and why
    // Start failed.
    CRunReport GetRunReport(bool deviceGone, const std::string& startError) const;

private:
    std::atomic<int32_t> m_nError{HLE_NONE};
    platform::CEvent m_CancelEvent{true};
    std::atomic<int32_t> m_bCancel{0};
    std::atomic<int32_t> m_nCancellable{CANCEL_OPEN};
    std::atomic<bool> m_bWorkerDone{false};
    mutable std::mutex m_ReportLock;
    CRunReport m_Report;  // result, cancel and ports are filled when read
};

}  // namespace CHERFLoaderLib
