// The session of one upgrade run: everything a run knows and does.
//
// CHERFLoader creates one session per run. Start (on the front end's thread)
// reads the package, stages its image, builds the phase plan, opens the ports
// and starts the worker thread; the worker runs the phase operations in plan
// order, then the closing sequence, and sends HLN_RUN 1 last. The phase
// operations live in this class; they are spread over several source files
// (connection and checks, monitor upload, data upload and verification,
// flash phases, completion record).
//
// Lifetime: the session is shared by the handle and by every thread it
// starts, so it is freed only when the last of them lets go. Destroy raises
// the cancel signal, waits a bounded time for the worker and then stops all
// notifications; a thread that is still inside a receiver wait finishes that
// wait on its own and frees the session itself. No thread is ever ended by
// force, so no lock is ever left held.
//
// Threading: Start, Destroy and the queries run on the front end's thread.
// The phases run on the worker; during the data upload two upload threads
// also call Notify, UpdateProgress, IsCancelled and SetError. m_nError is
// atomic; the progress state is guarded by m_ProgressLock; notifications are
// delivered under m_NotifyLock so that none reaches the sink after Destroy;
// the run report is guarded by m_ReportLock. Cancel (front end) and the
// worker's start of the flash work decide between them with one atomic
// exchange of m_nCancellable, so exactly one of them wins.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/HERFLoader.h"
#include "engine/PhasePlan.h"
#include "link/QBootManager.h"
#include "link/QMonitorManager.h"
#include "link/SerialHandler.h"
#include "package/FirmwareFile.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "transfer/DataBuffer.h"
#include "transfer/FlashDevice.h"
#include "transfer/MemoryMap.h"

namespace CHERFLoaderLib {

// How long Destroy and the upload phase wait for a thread before giving up on it.
constexpr int THREAD_STOP_WAIT_MS = 5000;

// Values of m_nCancellable. The first that moves it away from CANCEL_OPEN
// wins: Cancel to CANCEL_ACCEPTED, or the worker to CANCEL_CLOSED when the
// first phase that may not be cancelled is about to begin.
constexpr int32_t CANCEL_CLOSED = 0;
constexpr int32_t CANCEL_OPEN = 1;
constexpr int32_t CANCEL_ACCEPTED = 2;

class CHERFLoaderImpl : public std::enable_shared_from_this<CHERFLoaderImpl> {
public:
    CHERFLoaderImpl(CNotifySink sink, uint32_t message);
    ~CHERFLoaderImpl();
    CHERFLoaderImpl(const CHERFLoaderImpl&) = delete;
    CHERFLoaderImpl& operator=(const CHERFLoaderImpl&) = delete;

    int32_t Start(const char* packagePath, uint32_t options);
    // Raises the cancel signal, waits for the worker (bounded) and mutes the
    // sink. After it returns the sink is never called again.
    void Stop();
    bool Cancel();
    bool MayStop() const;
    CRunReport GetRunReport() const;

    // Session operations shared by the phases.
    void Notify(int32_t code, int64_t payload);
    void NotifyText(int32_t code, const std::string& text);
    void UpdateProgress(double value);
    bool IsCancelled() const;
    void SetError(int32_t code) { m_nError.store(code); }
    // Also keeps the reason for the report; the first reason of a run wins,
    // as later failures follow from it.
    void SetError(int32_t code, const std::string& reason);
    // Sets one flag of the run report.
    void NoteReport(bool CRunReport::*flag);
    int32_t GetError() const { return m_nError.load(); }

    // Phase operations, one per phase kind.
    bool RunConnectPhase();
    bool RunUploadMonitor();
    bool RunUploadData();
    bool RunVerifyData(CFlashPhase& phase);
    bool RunExpandData(CFlashPhase& phase);
    bool RunPrepareFlash(CFlashPhase& phase);
    bool RunProgramFlash(CFlashPhase& phase);
    bool RunReconnectPhase();

    // Connection helpers, also used by the final phase.
    bool ConnectReceiver();
    int WakeWithText();
    int ConnectViaPassthrough();
    bool ConnectWithCommandLine(bool& connected);
    int IdentifyReceiver();
    // Ends a connection by the boot loader's answer: the step notification,
    // the versions on success, the result code on failure.
    bool EndConnect(int linkResult, bool finalPhase);
    void ReportVersions();
    bool IsHighSpeedBoard() const;
    int SwitchBootToHighSpeed();
    bool CreateMemoryMap();
    bool ApplyFlashIds();
    uint32_t GetRamTop() const;

    // The package against the receiver's layout, before anything is
    // written: RAM once the memory map is known, flash once the chip is.
    // A package that does not fit is refused (HLE_PACKAGE_REFUSED and the
    // reason as a text line).
    bool CheckPackageFitsRam();
    bool CheckPackageFitsFlash();
    bool RefusePackage(const std::string& reason);

    // Monitor upload helpers.
    int UploadMonitor();
    int ConnectToMonitor(std::string& flashText);
    int SwitchMonitorToHighSpeed();

    // Data upload helpers.
    void UploadWorker(CQMonitorManager& manager, std::atomic<bool>& outcome);
    bool StartUploadThread(platform::CThread& thread, bool secondary);

    // Programming helpers.
    bool ProgramSection(const CFirmwareSection& section, uint32_t count, uint32_t ramBase);

    void SendUpgradeLogLine();
    bool CloseLinks();
    void WorkerMain();
    // Closes the cancel decision for the flash work; false when a cancel was
    // accepted first. `closedNow` tells whether this call closed it.
    bool BeginFlashWork(bool& closedNow);
    bool OpenPorts();
    bool OpenPort(CSerialHandler& port, int index, bool lines);
    // The device path given for port 0..2, or null for its COM number.
    const char* PortDevice(int index) const;
    bool AnyPortGone() const;

    std::string m_strStartError;  // why Start failed, one line

    platform::CThread m_WorkerThread;
    platform::CThread m_PrimaryUploadThread;
    platform::CThread m_SecondaryUploadThread;
    std::atomic<bool> m_bPrimaryUploadOk{true};
    std::atomic<bool> m_bSecondaryUploadOk{true};
    std::atomic<bool> m_bStopUpload{false};   // the phase asks the upload threads to end
    CFirmwareFileEntry m_Package;
    CFlashPhaseMgr m_PhaseMgr;
    uint32_t m_nOptions = 0;
    CNotifySink m_Sink;
    uint32_t m_nNotifyMsg = 0;
    int32_t m_nPrimaryPort = 1;
    int32_t m_nSecondaryPort = 3;
    int32_t m_nThirdPort = 4;
    std::string m_strPortDevice[3];  // device paths given for the ports; empty: COM number
    CSerialHandler m_PrimaryPort;
    CSerialHandler m_SecondaryPort;
    CSerialHandler m_ThirdPort;
    CQBootManager m_BootMgr;
    CQMonitorManager m_MonitorMgr;
    CQMonitorManager m_SecondaryMonitorMgr;
    bool m_bUseSecondary = false;
    std::atomic<int32_t> m_nError{HLE_NONE};
    CSyncDataVector m_ImageData;
    std::unique_ptr<CFlashDevice_Info> m_pFlashDevice;
    std::unique_ptr<CMemoryMap_Info> m_pMemoryMap;
    bool m_bReceiverMemoryMap = false;
    platform::CEvent m_CancelEvent{true};
    std::atomic<int32_t> m_bCancel{0};
    std::atomic<int32_t> m_nCancellable{CANCEL_OPEN};
    std::atomic<bool> m_bWorkerDone{false};  // the worker has sent HLN_RUN 1
    uint16_t m_wNewAppVersion = 0;
    uint16_t m_wOldAppVersion = 0;
    uint16_t m_wNewBootVersion = 0;
    uint16_t m_wOldBootVersion = 0;
    int32_t m_nBoardId = -1;

    mutable std::mutex m_ReportLock;
    CRunReport m_Report;             // under m_ReportLock; result, cancel and ports filled when read
    std::mutex m_ProgressLock;
    std::mutex m_NotifyLock;
    bool m_bMuted = false;           // under m_NotifyLock
    bool m_bStarted = false;
};

}  // namespace CHERFLoaderLib
