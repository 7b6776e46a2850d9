// The session of one upgrade run: everything a run knows and does.
//
// CHERFLoader creates one session per run and calls only its public part.
// Start (on the front end's thread) reads the package, stages its image,
// builds the phase plan, opens the ports and starts the worker thread; the
// worker runs the phase operations in plan order, then the closing sequence,
// and sends HLN_RUN 1 last. The phase operations are private members of this
// class, one source file per phase kind in engine/phases/; Session.cpp holds
// the session's life and its worker loop.
//
// What a run holds is grouped, and each group says who may touch it:
//  - the threads (m_WorkerThread and the two upload threads with their
//    outcomes): the worker thread started by Start, the upload threads
//    started and joined by the data-upload phase on the worker;
//  - the run's settings (m_nOptions, m_pPackage, m_ImageData, the monitor
//    folder and its images, m_strStartError):
//    written by Start on the front end's thread before the worker exists,
//    then only read (the block list locks its own cursor for the upload
//    threads);
//  - m_Links, the ports and their protocol managers (SessionLinks.h): the
//    front end's thread before Start, then the worker alone, except that
//    each upload thread sends on its own monitor manager while the worker
//    waits for them;
//  - m_Receiver, the receiver's identity and the versions of both sides
//    (ReceiverIdentity.h): the worker alone; the upload threads only read
//    its memory map;
//  - m_Run, the result code, the cancel state and the run report
//    (RunState.h): any thread;
//  - m_Progress, the notification sink and the phase plan with its progress
//    (SessionProgress.h): any thread for notifications and progress, the
//    worker alone walks the plan.
// Notify, UpdateProgress, IsCancelled, SetError and NoteReport are the
// session operations every phase uses; during the data upload the upload
// threads call them too.
//
// Lifetime: the session is shared by the handle and by every thread it
// starts, so it is freed only when the last of them lets go. Stop raises
// the cancel signal, waits a bounded time for the worker and then mutes the
// sink; a thread that is still inside a receiver wait finishes that wait on
// its own and frees the session itself. No thread is ever ended by force, so
// no lock is ever left held. Cancel (front end) and the worker's start of the
// flash work decide between them with one atomic exchange, so exactly one of
// them wins.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/AnswerTimer.h"
#include "engine/CheckLadder.h"
#include "engine/HERFLoader.h"
#include "engine/InterruptedRun.h"
#include "engine/MemoryReader.h"
#include "engine/PhasePlan.h"
#include "engine/ReceiverIdentity.h"
#include "engine/RunState.h"
#include "engine/SessionLinks.h"
#include "engine/SessionProgress.h"
#include "package/FirmwareFile.h"
#include "platform/Thread.h"
#include "transfer/DataBuffer.h"
#include "transfer/MonitorFiles.h"
#include "transfer/PackageImage.h"

namespace CHERFLoaderLib {

// How long Stop and the upload phase wait for a thread before giving up on it.
constexpr int THREAD_STOP_WAIT_MS = 5000;

class CHERFLoaderImpl : public std::enable_shared_from_this<CHERFLoaderImpl> {
public:
    CHERFLoaderImpl(CNotifySink sink, uint32_t message);
    ~CHERFLoaderImpl();
    CHERFLoaderImpl(const CHERFLoaderImpl&) = delete;
    CHERFLoaderImpl& operator=(const CHERFLoaderImpl&) = delete;

    // The handle's operations, all on the front end's thread.
    void SetPorts(const CReceiverPorts& ports) { m_Links.m_Ports = ports; }
    void SetMonitorFolder(const std::string& folder) { m_strMonitorFolder = folder; }
    void SetLineRate(uint32_t baud) { m_nLineRate = baud; }
    int32_t Start(const char* packagePath, uint32_t options);
    int32_t Start(std::shared_ptr<const CPackageImage> package, uint32_t options);
    void SetFlashCheck(int32_t mode)
    {
        if (mode >= FLASH_CHECK_NONE && mode <= FLASH_CHECK_AUTO)
            m_nFlashCheck = mode;
    }
    // Raises the cancel signal, waits for the worker (bounded) and mutes the
    // sink. After it returns the sink is never called again.
    void Stop();
    bool Cancel() { return m_Run.Cancel(); }
    bool MayStop() const { return m_Run.MayStop(); }
    int32_t GetError() const { return m_Run.GetError(); }
    const std::string& GetStartError() const { return m_strStartError; }
    bool IsDeviceGone() const { return m_Links.AnyPortGone(); }
    CRunReport GetRunReport() const;

private:
    // Session operations shared by the phases.
    void Notify(int32_t code, int64_t payload);
    void NotifyText(int32_t code, const std::string& text) { m_Progress.PostText(code, text); }
    // An exchange failed and is sent again (bAgain) or given up: `what`
    // names the block, chunk or command and where it goes, `why` what went
    // wrong. nFailed is the number of the attempt that failed: from 1 on it
    // is also HLN_RETRY with that number and the text "what: why, sent
    // again" (or ", no attempt left"); 0 is a quick re-send that costs no
    // attempt and only goes to the trace. The line counts as troubled.
    void NotifyRetry(int nFailed, const std::string& what, const std::string& why, bool bAgain);
    void UpdateProgress(double value) { m_Progress.UpdateProgress(value); }
    bool IsCancelled() const { return m_Run.IsCancelled(); }
    void SetError(int32_t code) { m_Run.SetError(code); }
    void SetError(int32_t code, const std::string& reason) { m_Run.SetError(code, reason); }
    void NoteReport(bool CRunReport::*flag) { m_Run.NoteReport(flag); }

    // The worker: the phase loop and the closing sequence (Session.cpp).
    void WorkerMain();
    bool RunPhase(CFlashPhase& phase);
    // The bytes a phase of this kind sends: the monitor or the image data.
    uint32_t PhaseBytes(int32_t kind) const;

    // Phase operations, one per phase kind (engine/phases/).
    bool RunConnectPhase();
    bool RunUploadMonitor();
    bool RunUploadData();
    bool RunVerifyData(CFlashPhase& phase);
    bool RunExpandData(CFlashPhase& phase);
    bool RunPrepareFlash(CFlashPhase& phase);
    bool RunProgramFlash(CFlashPhase& phase);
    bool RunReconnectPhase();

    // Reaching and identifying the receiver, also used by the final phase
    // (ConnectPhase.cpp).
    bool ConnectReceiver();
    // Reaches the receiver the way the options choose; false when it did
    // not answer.
    bool ReachReceiver();
    int WakeWithText();
    int ConnectViaPassthrough();
    bool ConnectWithCommandLine(bool& connected);
    int IdentifyReceiver();
    // Ends a connection by the boot loader's answer: the step notification,
    // the versions on success, the result code on failure.
    bool EndConnect(int linkResult, bool finalPhase);
    void ReportVersions(const uint8_t* identity);
    // The words a person can act on when the receiver did not answer.
    std::string NoAnswerText(const char* what) const;
    int SwitchBootToHighSpeed();
    bool CreateMemoryMap();
    bool ApplyFlashIds();

    // The package against the receiver's layout, before anything is
    // written: RAM once the memory map is known, flash once the chip is.
    // A package that does not fit is refused (HLE_PACKAGE_REFUSED and the
    // reason as a text line) (PackageFit.cpp).
    bool CheckPackageFitsRam();
    bool CheckPackageFitsFlash();
    bool RefusePackage(const std::string& reason);

    // A flash monitor that an interrupted upgrade left running
    // (Reattach.cpp). FindRunningMonitor looks for one on the primary port;
    // ReattachMonitor decides what to do with it: end it when the boot
    // region holds a whole boot loader (the run then starts over the usual
    // way), or finish the upgrade through it when it does not.
    enum class EReattach { NotFound, Ended, Finishing, Failed };
    bool FindRunningMonitor(bool recordFirst);
    EReattach ReattachMonitor();
    void NoteMonitorHeld(bool bootTouched);
    void ForgetMonitorHeld();

    // Monitor upload (MonitorUpload.cpp).
    int UploadMonitor();
    int ConnectToMonitor(std::string& flashText);
    int ReadFlashChip(std::string& flashText);
    int SwitchMonitorToHighSpeed();
    // A rate above 115200 (LineRate.cpp): the ports of the monitor link
    // set to a rate, the ready checks at one, and the negotiation.
    void SetMonitorLineRate(uint32_t baud);
    bool MonitorAnswersAt(uint32_t baud);
    int RaiseLineRate();

    // Data upload (DataUpload.cpp).
    void UploadWorker(CQMonitorManager& manager, std::atomic<bool>& outcome);
    // A block as a retry names it: its number, size, place and link.
    std::string BlockName(const CDataBufferItem& block, bool secondary) const;
    bool StartUploadThread(platform::CThread& thread, bool secondary);

    // Programming (FlashPhases.cpp). FlashCommand sends an erase, program or
    // verify again when its answer did not come.
    int FlashCommand(unsigned kind, int timeoutMs, uint32_t first, uint32_t second, uint32_t third);
    // One exchange with the monitor whose wait is learnt by `timer`
    // (AnswerTimer.h): a quick loss is asked again at once, up to a few
    // times; a full wait or a refusal counts as one of `attempts`.
    int TimedCommand(CAnswerTimer& timer, unsigned kind, uint32_t wireBytes, uint32_t first, uint32_t second,
                     uint32_t third, CPacket* reply, int attempts);
    bool EraseRange(uint32_t start, uint32_t end, bool report);
    bool ProgramSection(const CFirmwareSection& section, uint32_t count, uint32_t ramBase);
    bool ProgramSectionFromRam(const CFirmwareSection& section);
    bool Expand(const CFirmwareSection& section);
    bool UploadSectionAgain(const CFirmwareSection& section);
    bool SendBlockAgain(const CDataBufferItem& block);

    // The boot loader's protection (BootGuard.cpp), by the rung of checks
    // this receiver's monitor has shown (CheckLadder.h): its region is
    // written only when it must be, from a copy checked as far as the monitor
    // allows, and rewritten only when a check that worked shows that it
    // differs. The monitor is kept (never ended) only while the region's
    // write was cut off or such a check shows it incomplete.
    enum class EBootPlan { Write, AlreadyHeld, Refused };
    EBootPlan PlanBootSection(const CFirmwareSection& section);
    bool ProveProgramSource(const CFirmwareSection& section, std::string& reason);
    bool ConfirmBootSection(const CFirmwareSection& section, uint32_t start, uint32_t end);
    bool RewriteBootSection(const CFirmwareSection& section, uint32_t start, uint32_t end);
    bool KeepsMonitor() const
    {
        return m_eBootRegion == EBootRegion::Writing || m_eBootRegion == EBootRegion::Differs ||
               m_eBootRegion == EBootRegion::Unknown;
    }
    // What a person must know when the run keeps the monitor: why, and what
    // a later run does about it.
    std::string MonitorKeptText() const;

    // What the monitor's checks are worth, and the checks built on them
    // (FlashCheck.cpp). The probe runs once, before the first erase: it reads
    // the boot loader's first bytes back, has the monitor accept their right
    // sum and refuse a wrong one, and learns the largest read it answers.
    // The rung it finds (m_Proof) decides every check after it.
    void ProbeMonitorChecks();
    const CCheckRule& Rule() const { return m_Proof.Rule(); }
    bool IsSectorBlank(uint32_t address, uint32_t size);
    // Without flash reads: whether the monitor's sums over flash work, shown
    // on a sector just erased (it must read as blank, and a sum one off must
    // be refused).
    void ProveFlashSums(uint32_t address, uint32_t size);
    bool CheckProgrammedFlash(const CFirmwareSection& section);
    int32_t EffectiveFlashCheck() const;
    // The bytes a section programmed, rebuilt on the host; false, with the
    // run's error set, when they cannot be.
    bool ImageToCheck(const CFirmwareSection& section, std::vector<uint8_t>& image);
    // Whether the line lost or damaged anything since the data upload began:
    // a retry, a repeated command, a wait that ran out, a damaged packet.
    bool LineHadTrouble() const;
    void NoteLineTrouble() { m_bLineTrouble = true; }
    // A check the run wanted could not be made: said once, and the run
    // cannot end verified.
    void NoteCheckFellShort(const std::string& text);
    // The monitor's byte sum over programmed flash against the image's:
    // Match, Differs (only where the sums are shown to work), or Unknown
    // (no answer, or sums that show nothing).
    enum class ESum { Match, Differs, Unknown };
    ESum SumCheck(uint32_t address, const std::vector<uint8_t>& image);
    // Reads a programmed section back and compares it with the package by
    // CRC-32; a sector that differs is erased and programmed again (three
    // repairs at most). A piece that cannot be read falls to the byte sum.
    bool ReadBackAndRepair(const CFirmwareSection& section);
    bool RepairSector(const CFirmwareSection& section, const std::vector<uint8_t>& image, uint32_t where);
    // The section's bytes in RAM that "Program flash" reads: the staged
    // section, or the expansion at the RAM base for a compressed one.
    uint32_t ProgramSourceOf(const CFirmwareSection& section) const;
    // The section's RAM copy made right again: read back and compared where
    // the monitor reads RAM, else sent again (and expanded again).
    bool RestoreProgramSource(const CFirmwareSection& section, const std::vector<uint8_t>& wanted, uint32_t ram);
    // Before the final phase: the sections checked only by sum are read
    // back when the line had trouble since; and the verdict of the
    // receiver's own report after the upgrade.
    bool ConfirmAfterLineTrouble();
    bool CheckReportedVersions();
    // Memory compared by CRC-32 through the reader, with the run's texts.
    using ECompare = CMemoryReader::ECompare;
    ECompare CompareMemory(uint32_t address, const std::vector<uint8_t>& expected, uint32_t& where);

    // The completion record (ReconnectPhase.cpp).
    void SendUpgradeLogLine();

    // The threads.
    platform::CThread m_WorkerThread;
    platform::CThread m_PrimaryUploadThread;
    platform::CThread m_SecondaryUploadThread;
    std::atomic<bool> m_bPrimaryUploadOk{true};
    std::atomic<bool> m_bSecondaryUploadOk{true};
    std::atomic<bool> m_bStopUpload{false};  // the phase asks the upload threads to end
    std::atomic<int> m_nQuickRetries{0};     // quick attempts left to the upload, both threads

    // The run's settings.
    uint32_t m_nOptions = 0;
    std::shared_ptr<const CPackageImage> m_pPackage;  // read, staged and proven once; shared
    const CFirmwareFileEntry& Package() const { return m_pPackage->Entry(); }
    CSyncDataVector m_ImageData;
    std::string m_strMonitorFolder;  // empty: the built-in monitor images
    CMonitorSet m_Monitors;          // the monitor images the run sends, checked by Start
    std::string m_strStartError;  // why Start failed, one line
    int32_t m_nFlashCheck = FLASH_CHECK_AUTO;
    // Sections confirmed by their byte sum only (the flash check "auto" on a
    // line that was clean then): read back before the run ends if the line
    // has lost or damaged anything since (the worker alone).
    std::vector<const CFirmwareSection*> m_SumOnly;
    std::atomic<bool> m_bLineTrouble{false};

    // What the monitor has shown it can check (the worker alone).
    CMonitorProof m_Proof;
    bool m_bCheckFellShort = false;
    bool m_bStarted = false;

    // The boot region and the monitor (the worker alone). Writing from the
    // region's first erase (or from finding a monitor whose region is not
    // whole) until its programming is done and checked as far as the monitor
    // allows (Written), or until a check that worked shows it still differs
    // from the package after every attempt (Differs). Unknown: a monitor
    // left running that this run cannot work with, left as it was found.
    enum class EBootRegion { Untouched, Writing, Written, Differs, Unknown };
    EBootRegion m_eBootRegion = EBootRegion::Untouched;
    bool m_bBootHeld = false;              // the region already holds the package's boot loader
    bool m_bFinishThroughMonitor = false;  // a monitor left running is finishing this upgrade
    uint32_t m_nRateNow = 19200;     // the rate the primary line runs at now (boot loader or monitor)
    uint32_t m_nLineRate = 115200;   // the line rate asked for the monitor link (ReceiverLines.h)
    CInterruptedRun m_Held;                // what the run records while it holds the monitor
    // The answer times the worker has learnt: program and the monitor's
    // chunks through the boot loader.
    CAnswerTimer m_ProgramTimer{5000};
    CAnswerTimer m_ChunkTimer{2000};
    bool m_bHeldSaved = false;

    CSessionLinks m_Links;
    CReceiverIdentity m_Receiver;
    CRunState m_Run;
    CSessionProgress m_Progress;
    // Reads the receiver's memory through the monitor link (the worker
    // alone); after m_Links, whose monitor manager it uses.
    CMemoryReader m_Reader{m_Links.m_MonitorMgr, [this] { return m_nRateNow; },
                           [this](const std::string& what, const CAnswerLoss& loss) {
                               const std::string why = "no answer within " + std::to_string(loss.nWaitMs) + " ms";
                               if (loss.bQuick)
                                   NotifyRetry(0, what, why + " (a quick loss)", true);
                               else
                                   NotifyRetry(loss.bAgain ? loss.nFailed : 0, what, why, loss.bAgain);
                           }};
};

}  // namespace CHERFLoaderLib
