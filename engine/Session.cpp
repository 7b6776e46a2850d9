// Session life: start, the worker's phase loop, notifications, progress and
// the closing sequence.
#include <cmath>
#include <thread>

#include "engine/HERFLoaderImpl.h"

namespace CHERFLoaderLib {

namespace {
constexpr int CLOSING_COMMAND_TIMEOUT_MS = 1000;

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
}  // namespace

CHERFLoaderImpl::CHERFLoaderImpl(CNotifySink sink, uint32_t message)
    : m_Sink(std::move(sink)), m_nNotifyMsg(message)
{
}

CHERFLoaderImpl::~CHERFLoaderImpl()
{
    // Only reached when no thread of the run holds the session any more.
    m_ImageData.Clear();
    m_pFlashDevice.reset();
    m_pMemoryMap.reset();
}

int32_t CHERFLoaderImpl::Start(const char* packagePath, uint32_t options)
{
    if (m_bStarted) {
        m_strStartError = "this upgrade session has already run";
        return 1;
    }
    m_nOptions = options;
    if (packagePath == nullptr || !m_Package.Load(packagePath)) {
        m_strStartError = m_Package.m_strError.empty() ? "cannot read the firmware package" : m_Package.m_strError;
        return 2;
    }
    if (!BuildPlan(m_Package, m_ImageData, m_wNewAppVersion, m_wNewBootVersion, m_PhaseMgr)) {
        m_strStartError = m_Package.m_strError.empty() ? "cannot stage the firmware image" : m_Package.m_strError;
        return 2;
    }
    if (!OpenPorts())
        return 3;
    m_bStarted = true;
    std::shared_ptr<CHERFLoaderImpl> self = shared_from_this();
    {
        // Set before the worker runs, so that a report read at any time
        // after Start returned 0 says so.
        std::lock_guard<std::mutex> lock(m_ReportLock);
        m_Report.bStarted = true;
    }
    if (!m_WorkerThread.Start([self] { self->WorkerMain(); })) {
        std::lock_guard<std::mutex> lock(m_ReportLock);
        m_Report.bStarted = false;
        m_strStartError = "cannot start the upgrade thread";
        return 1;
    }
    return 0;
}

const char* CHERFLoaderImpl::PortDevice(int index) const
{
    return m_strPortDevice[index].empty() ? nullptr : m_strPortDevice[index].c_str();
}

bool CHERFLoaderImpl::OpenPort(CSerialHandler& port, int index, bool lines)
{
    const int32_t numbers[3] = {m_nPrimaryPort, m_nSecondaryPort, m_nThirdPort};
    const int32_t number = numbers[index];
    const char* device = PortDevice(index);
    // A port given by its device path needs no number of its own.
    if (device == nullptr && (number < 0 || number > 255)) {
        m_strStartError = "COM" + std::to_string(number) + ": no such port";
        return false;
    }
    if (port.Open(static_cast<uint8_t>(device != nullptr ? 0 : number), 19200, 8, PARITY_ODD, STOPBITS_ONE, device,
                  lines, lines))
        return true;
    m_strStartError = port.GetLastError();
    if (m_strStartError.empty())
        m_strStartError = "cannot open " + (device != nullptr ? std::string(device) : "COM" + std::to_string(number));
    return false;
}

bool CHERFLoaderImpl::OpenPorts()
{
    if (!OpenPort(m_PrimaryPort, 0, true))
        return false;
    if (m_nOptions & HLO_PRIMARY_PORT_ONLY)
        return true;
    if (!OpenPort(m_SecondaryPort, 1, false))
        return false;
    if (m_nOptions & HLO_THIRD_PORT)
        return OpenPort(m_ThirdPort, 2, false);
    return true;
}

void CHERFLoaderImpl::WorkerMain()
{
    m_bCancel = 0;
    {
        std::lock_guard<std::mutex> lock(m_ProgressLock);
        m_PhaseMgr.Reset();
    }
    bool go = true;
    for (;;) {
        CFlashPhase* phase = m_PhaseMgr.GetCurrentPhase();
        if (phase == nullptr)
            break;
        bool closedNow = false;
        if (phase->m_bCancellable == 0 && !BeginFlashWork(closedNow)) {
            // A cancel was accepted before the flash work could begin: the
            // receiver's flash stays as it is.
            if (m_nError == HLE_NONE)
                SetError(HLE_CANCELLED);
            break;
        }
        NotifyText(HLN_PHASE_BEGIN, phase->m_pszName);
        if (closedNow)
            Notify(HLN_NO_CANCEL, 0);
        if (phase->m_nKind == PHASE_PREPARE_FLASH || phase->m_nKind == PHASE_PROGRAM_FLASH)
            NoteReport(&CRunReport::bFlashWritten);

        switch (phase->m_nKind) {
        case PHASE_CONNECT: go = RunConnectPhase(); break;
        case PHASE_UPLOAD_MONITOR: go = RunUploadMonitor(); break;
        case PHASE_UPLOAD_DATA: go = RunUploadData(); break;
        case PHASE_VERIFY_DATA: go = RunVerifyData(*phase); break;
        case PHASE_EXPAND_DATA: go = RunExpandData(*phase); break;
        case PHASE_PREPARE_FLASH: go = RunPrepareFlash(*phase); break;
        case PHASE_PROGRAM_FLASH: go = RunProgramFlash(*phase); break;
        case PHASE_RECONNECT: go = RunReconnectPhase(); break;
        default: break;
        }
        // A phase that stops the run must leave a result code: a run that
        // ends with HLE_NONE is reported as a success.
        if (!go && m_nError == HLE_NONE)
            SetError(IsCancelled() ? HLE_CANCELLED : FallbackResult(phase->m_nKind));
        bool advanced;
        {
            std::lock_guard<std::mutex> lock(m_ProgressLock);
            advanced = go && m_PhaseMgr.Advance();
        }
        if (!advanced)
            break;
        // Once flash work has begun the run goes on to the end whatever is
        // asked: stopping between erase and program would leave the receiver
        // without firmware.
        if (phase->m_bCancellable != 0 && IsCancelled()) {
            if (m_nError == HLE_NONE)
                SetError(HLE_CANCELLED);
            break;
        }
    }
    CloseLinks();
    m_bWorkerDone = true;
    Notify(HLN_RUN, RUN_FINISHED);
}

bool CHERFLoaderImpl::BeginFlashWork(bool& closedNow)
{
    int32_t expected = CANCEL_OPEN;
    closedNow = m_nCancellable.compare_exchange_strong(expected, CANCEL_CLOSED);
    if (closedNow)
        NoteReport(&CRunReport::bFlashBegun);
    return closedNow || expected == CANCEL_CLOSED;
}

bool CHERFLoaderImpl::CloseLinks()
{
    bool pending = true;
    if (m_MonitorMgr.IsConnected()) {
        if (!(m_nOptions & HLO_SKIP_FIRST_CLOSING_COMMAND) &&
            m_MonitorMgr.Command(MON_CMD_CLOSE, CLOSING_COMMAND_TIMEOUT_MS, 0, 0, 0, nullptr) == LINK_OK)
            pending = false;
        if (pending && !(m_nOptions & HLO_SKIP_SECOND_CLOSING_COMMAND) &&
            m_MonitorMgr.Command(MON_CMD_RETURN_TO_BOOT, CLOSING_COMMAND_TIMEOUT_MS, 0, 0, 0, nullptr) ==
                LINK_OK)
            pending = false;
        m_MonitorMgr.Disconnect();
    }
    if (m_BootMgr.IsConnected()) {
        if (pending && !(m_nOptions & HLO_SKIP_FIRST_CLOSING_COMMAND) &&
            m_BootMgr.Command(BOOT_CMD_CLOSE_83, CLOSING_COMMAND_TIMEOUT_MS, 0, 0, 0, nullptr) == LINK_OK)
            pending = false;
        if (pending && !(m_nOptions & HLO_SKIP_SECOND_CLOSING_COMMAND))
            m_BootMgr.Command(BOOT_CMD_CLOSE_82, CLOSING_COMMAND_TIMEOUT_MS, 0, 0, 0, nullptr);
        m_BootMgr.Disconnect();
    }
    m_BootMgr.Disconnect();
    m_MonitorMgr.Disconnect();
    m_SecondaryMonitorMgr.Disconnect();
    if (!m_PrimaryPort.Close())
        return false;
    if (!m_SecondaryPort.Close())
        return false;
    return m_ThirdPort.Close();
}

void CHERFLoaderImpl::Stop()
{
    m_CancelEvent.Set();
    m_WorkerThread.Join(THREAD_STOP_WAIT_MS);
    std::lock_guard<std::mutex> lock(m_NotifyLock);
    m_bMuted = true;
}

bool CHERFLoaderImpl::Cancel()
{
    int32_t expected = CANCEL_OPEN;
    if (!m_nCancellable.compare_exchange_strong(expected, CANCEL_ACCEPTED) && expected != CANCEL_ACCEPTED)
        return false;
    m_CancelEvent.Set();
    return true;
}

bool CHERFLoaderImpl::MayStop() const
{
    return m_nCancellable.load() != CANCEL_CLOSED || m_bWorkerDone.load();
}

bool CHERFLoaderImpl::IsCancelled() const
{
    // An accepted cancel counts from the moment it won, even before the
    // event is set.
    return m_bCancel.load() != 0 || m_nCancellable.load() == CANCEL_ACCEPTED || m_CancelEvent.IsSet();
}

void CHERFLoaderImpl::SetError(int32_t code, const std::string& reason)
{
    SetError(code);
    std::lock_guard<std::mutex> lock(m_ReportLock);
    if (m_Report.strError.empty())
        m_Report.strError = reason;
}

void CHERFLoaderImpl::NoteReport(bool CRunReport::*flag)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    m_Report.*flag = true;
}

CRunReport CHERFLoaderImpl::GetRunReport() const
{
    CRunReport report;
    {
        std::lock_guard<std::mutex> lock(m_ReportLock);
        report = m_Report;
    }
    report.nResult = GetError();
    report.bCancelled = m_nCancellable.load() == CANCEL_ACCEPTED;
    report.bDeviceGone = AnyPortGone();
    if (!report.bStarted)
        report.strError = m_strStartError;
    else if (report.nResult == HLE_NONE && !report.bCheckRefused && !report.bPowerFailed)
        report.strError.clear();
    else if (report.strError.empty())
        report.strError = DefaultErrorText(report.nResult);
    return report;
}

void CHERFLoaderImpl::Notify(int32_t code, int64_t payload)
{
    if (payload == STEP_FAILED && StepName(code) != nullptr) {
        std::lock_guard<std::mutex> lock(m_ReportLock);
        m_Report.nFailedStep = code;
    }
    CLoaderNotification n;
    n.nMessage = m_nNotifyMsg;
    n.nCode = code;
    n.nPayload = payload;
    std::lock_guard<std::mutex> lock(m_NotifyLock);
    if (!m_bMuted && m_Sink)
        m_Sink(n);
}

void CHERFLoaderImpl::NotifyText(int32_t code, const std::string& text)
{
    CLoaderNotification n;
    n.nMessage = m_nNotifyMsg;
    n.nCode = code;
    n.strText = text;
    std::lock_guard<std::mutex> lock(m_NotifyLock);
    if (!m_bMuted && m_Sink)
        m_Sink(n);
}

void CHERFLoaderImpl::UpdateProgress(double value)
{
    // The two upload threads report at the same time: the value and the two
    // percentages must come from one consistent state, and the pair must
    // reach the sink together.
    std::lock_guard<std::mutex> lock(m_ProgressLock);
    CProgressPercent percent = m_PhaseMgr.UpdateProgress(value);
    Notify(HLN_OVERALL_PERCENT, percent.nOverall);
    Notify(HLN_PHASE_PERCENT, percent.nPhase);
}

bool CHERFLoaderImpl::AnyPortGone() const
{
    return m_PrimaryPort.IsDeviceGone() || m_SecondaryPort.IsDeviceGone() || m_ThirdPort.IsDeviceGone();
}

uint32_t CHERFLoaderImpl::GetRamTop() const
{
    return ::GetRamTop(m_pMemoryMap.get());
}

}  // namespace CHERFLoaderLib
