// Session life: start, the worker's phase loop and the closing sequence.
#include "engine/HERFLoaderImpl.h"

#include <cstdio>
#include <string>

#include "platform/DebugOut.h"

namespace CHERFLoaderLib {

namespace {

// The result code of a phase that failed without storing one of its own (a
// check that failed, a monitor that did not start, an upload thread that had
// to be abandoned).
int32_t FallbackResult(int32_t kind)
{
    switch (kind) {
    case PHASE_UPLOAD_MONITOR:
    case PHASE_UPLOAD_DATA: return HLE_UPLOAD_FAILED;
    case PHASE_VERIFY_DATA: return HLE_VERIFY_FAILED;
    case PHASE_EXPAND_DATA: return HLE_EXPAND_FAILED;
    case PHASE_PREPARE_FLASH: return HLE_PREPARE_FAILED;
    case PHASE_PROGRAM_FLASH: return HLE_PROGRAM_FAILED;
    default: return HLE_CONNECT_FAILED;
    }
}

// What a notification means, for the trace: "Program flash failed".
std::string TraceWords(int32_t code, int64_t payload)
{
    if (const char* step = StepName(code)) {
        static const char* const STATUS[] = {"begins", "succeeded", "failed", "cancelled"};
        return payload >= STEP_BEGIN && payload <= STEP_CANCELLED ? std::string(step) + " " + STATUS[payload]
                                                                  : std::string(step);
    }
    switch (code) {
    case HLN_RUN:
        return payload == RUN_BEGIN ? "the run begins" : payload == RUN_FINISHED ? "the run has ended" : "cancelled";
    case HLN_NO_CANCEL: return "the flash work begins: the run can no longer be cancelled";
    default: return std::string();
    }
}

}  // namespace

CHERFLoaderImpl::CHERFLoaderImpl(CNotifySink sink, uint32_t message) : m_Progress(std::move(sink), message)
{
}

CHERFLoaderImpl::~CHERFLoaderImpl()
{
    // Only reached when no thread of the run holds the session any more.
    m_ImageData.Clear();
}

int32_t CHERFLoaderImpl::Start(const char* packagePath, uint32_t options)
{
    if (m_bStarted) {
        m_strStartError = "this upgrade session has already run";
        return START_NOT_STARTED;
    }
    std::shared_ptr<const CPackageImage> package =
        packagePath != nullptr ? CPackageImage::Load(packagePath, m_strStartError) : nullptr;
    if (!package) {
        if (m_strStartError.empty())
            m_strStartError = "cannot read the firmware package";
        return START_PACKAGE_FAILED;
    }
    return Start(std::move(package), options);
}

int32_t CHERFLoaderImpl::Start(std::shared_ptr<const CPackageImage> package, uint32_t options)
{
    if (m_bStarted) {
        m_strStartError = "this upgrade session has already run";
        return START_NOT_STARTED;
    }
    if (!package) {
        m_strStartError = "no firmware package";
        return START_PACKAGE_FAILED;
    }
    m_nOptions = options;
    m_pPackage = std::move(package);
    m_pPackage->MakeBlocks(m_ImageData);
    m_Receiver.m_wNewAppVersion = m_pPackage->AppVersion();
    m_Receiver.m_wNewBootVersion = m_pPackage->BootVersion();
    AppendPlanPhases(m_Progress.Plan(), Package().sections, static_cast<uint32_t>(m_pPackage->BlockCount()));
    // The monitor files are checked before any port is touched: a file that
    // cannot work stops the run before the receiver is woken.
    if (!m_Monitors.Load(m_strMonitorFolder, m_strStartError))
        return START_PACKAGE_FAILED;
    m_Run.NotePackageVersions(m_Receiver.m_wNewAppVersion, m_Receiver.m_wNewBootVersion);
    m_Run.NoteBytes(&CRunReport::nDataBytes, m_pPackage->DataBytes());
    if (!m_Links.Open(m_nOptions, m_strStartError))
        return START_PORT_FAILED;
    m_bStarted = true;
    std::shared_ptr<CHERFLoaderImpl> self = shared_from_this();
    // Set before the worker runs, so that a report read at any time after
    // Start returned START_OK says so.
    m_Run.SetStarted(true);
    if (!m_WorkerThread.Start([self] { self->WorkerMain(); })) {
        m_Run.SetStarted(false);
        m_strStartError = "cannot start the upgrade thread";
        return START_NOT_STARTED;
    }
    return START_OK;
}

void CHERFLoaderImpl::WorkerMain()
{
    m_Run.BeginRun();
    m_Progress.ResetPlan();
    for (;;) {
        CFlashPhase* phase = m_Progress.CurrentPhase();
        if (phase == nullptr)
            break;
        bool closedNow = false;
        if (phase->m_bCancellable == 0 && !m_Run.BeginFlashWork(closedNow)) {
            // A cancel was accepted before the flash work could begin: the
            // receiver's flash stays as it is.
            if (GetError() == HLE_NONE)
                SetError(HLE_CANCELLED);
            break;
        }
        m_Progress.PostPhaseBegin(*phase, PhaseBytes(phase->m_nKind));
        if (platform::IsDebugOutEnabled())
            platform::DebugOut((std::string("engine: phase ") + phase->m_pszName + " begins\n").c_str());
        if (closedNow) {
            Notify(HLN_NO_CANCEL, 0);
            // From here on the run holds the receiver in its monitor with
            // its flash about to change: a record on the host lets a later
            // run finish what this one may not.
            NoteMonitorHeld(m_eBootRegion == EBootRegion::Writing);
        }
        const bool go = RunPhase(*phase);
        // A phase that stops the run must leave a result code: a run that
        // ends with HLE_NONE is reported as a success.
        if (!go && GetError() == HLE_NONE)
            SetError(IsCancelled() ? HLE_CANCELLED : FallbackResult(phase->m_nKind));
        if (!go || !m_Progress.Advance())
            break;
        // Once flash work has begun the run goes on to the end whatever is
        // asked: stopping between erase and program would leave the receiver
        // without firmware.
        if (phase->m_bCancellable != 0 && IsCancelled()) {
            if (GetError() == HLE_NONE)
                SetError(HLE_CANCELLED);
            break;
        }
    }
    if (LineHadTrouble())
        NoteReport(&CRunReport::bLineTrouble);
    // A device that went away explains every failure after it; the words say
    // what to do.
    if (GetError() != HLE_NONE && m_Links.AnyPortGone())
        m_Run.ReplaceReason(m_Links.GonePortName() +
                            " went away (the USB adapter was unplugged, or its device was removed): reconnect it, "
                            "keep the receiver powered, and run the upgrade again");
    // A success that the monitor's checks could not back (its rung has none
    // that show what the flash holds, a check fell short, or they were
    // turned off): the front ends must not show it as a plain one.
    if (GetError() == HLE_NONE && m_Run.GetRunReport(false, std::string()).bFlashBegun &&
        (!m_Proof.bProbed || !Rule().bVerified || m_bCheckFellShort || m_nFlashCheck == FLASH_CHECK_NONE))
        NoteReport(&CRunReport::bFlashUnverified);
    const bool keep = KeepsMonitor() && m_Links.m_MonitorMgr.IsConnected();
    bool monitorEnded = false;
    m_Links.Close(m_nOptions, keep, monitorEnded);
    if (keep) {
        const std::string text = MonitorKeptText();
        m_Run.NoteMonitorKept(text);
        NotifyText(HLN_TEXT, text);
    } else if (monitorEnded) {
        ForgetMonitorHeld();
    }
    m_Run.EndRun();
    Notify(HLN_RUN, RUN_FINISHED);
}

uint32_t CHERFLoaderImpl::PhaseBytes(int32_t kind) const
{
    if (kind == PHASE_UPLOAD_DATA)
        return m_pPackage->DataBytes();
    if (kind != PHASE_UPLOAD_MONITOR || m_bFinishThroughMonitor || !m_Receiver.m_pMemoryMap)
        return 0;
    CMonitorImage image;
    std::string source, missing;
    return m_Monitors.Get(m_Receiver.m_pMemoryMap->m_nMapType, image, source, missing) ? image.nLength : 0;
}

bool CHERFLoaderImpl::RunPhase(CFlashPhase& phase)
{
    if (phase.m_nKind == PHASE_PREPARE_FLASH || phase.m_nKind == PHASE_PROGRAM_FLASH)
        NoteReport(&CRunReport::bFlashWritten);
    switch (phase.m_nKind) {
    case PHASE_CONNECT: return RunConnectPhase();
    case PHASE_UPLOAD_MONITOR: return RunUploadMonitor();
    case PHASE_UPLOAD_DATA: return RunUploadData();
    case PHASE_VERIFY_DATA: return RunVerifyData(phase);
    case PHASE_EXPAND_DATA: return RunExpandData(phase);
    case PHASE_PREPARE_FLASH: return RunPrepareFlash(phase);
    case PHASE_PROGRAM_FLASH: return RunProgramFlash(phase);
    case PHASE_RECONNECT: return RunReconnectPhase();
    default: return true;
    }
}

void CHERFLoaderImpl::Stop()
{
    m_Run.RaiseCancel();
    m_WorkerThread.Join(THREAD_STOP_WAIT_MS);
    m_Progress.Mute();
}

CRunReport CHERFLoaderImpl::GetRunReport() const
{
    return m_Run.GetRunReport(m_Links.AnyPortGone(), m_strStartError);
}

void CHERFLoaderImpl::NotifyRetry(int nFailed, const std::string& what, const std::string& why, bool bAgain)
{
    NoteLineTrouble();
    const std::string text = what + ": " + why + (bAgain ? ", sent again" : ", no attempt left");
    if (platform::IsDebugOutEnabled())
        platform::DebugOut(("engine: " + (nFailed > 0 ? "HLN_RETRY " + std::to_string(nFailed) + ": " : "") + text +
                            "\n")
                               .c_str());
    if (nFailed > 0)
        m_Progress.PostNumberText(HLN_RETRY, nFailed, text);
}

void CHERFLoaderImpl::Notify(int32_t code, int64_t payload)
{
    if (payload == STEP_FAILED && StepName(code) != nullptr)
        m_Run.NoteFailedStep(code);
    if (code == HLN_RETRY)
        NoteLineTrouble();
    if (code != HLN_OVERALL_PERCENT && code != HLN_PHASE_PERCENT && platform::IsDebugOutEnabled()) {
        char text[96];
        std::snprintf(text, sizeof text, "engine: %s %lld", NotificationName(code), static_cast<long long>(payload));
        const std::string words = TraceWords(code, payload);
        platform::DebugOut((text + (words.empty() ? std::string() : " (" + words + ")") + "\n").c_str());
    }
    m_Progress.Post(code, payload);
}

}  // namespace CHERFLoaderLib
