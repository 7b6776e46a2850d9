#include "tools/trailmark/ReceiverRun.h"

#include <optional>

#include "engine/PhasePlan.h"
#include "engine/UpgradePolicy.h"
#include "platform/Console.h"
#include "tools/trailmark/Command.h"

using namespace CHERFLoaderLib;

namespace {

constexpr uint32_t LOADER_MESSAGE = 0x83E8;
constexpr int POLL_MS = 100;

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void CRunEventQueue::Push(CRunEvent event)
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Items.push_back(std::move(event));
    }
    m_Ready.notify_one();
}

bool CRunEventQueue::Pop(CRunEvent& event, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!m_Ready.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_Items.empty(); }))
        return false;
    event = std::move(m_Items.front());
    m_Items.pop_front();
    return true;
}

std::string FailureReason(const CRunReport& first, const CRunReport& report)
{
    if (report.bPowerFailed)
        return "Please check that you have external power connected and then try again.";
    std::string reason = DescribeFailures(first, report);
    if (report.bDeviceGone)
        reason = "the serial device disappeared; " + reason;
    return reason;
}

void CReceiverRun::Start()
{
    m_Thread = std::thread([this] { Upgrade(); });
}

void CReceiverRun::Join()
{
    if (m_Thread.joinable())
        m_Thread.join();
}

void CReceiverRun::TakeFlashWork()
{
    if (!m_bFlashWork.exchange(true))
        platform::BeginCriticalWork();
}

void CReceiverRun::ReleaseFlashWork()
{
    if (m_bFlashWork.exchange(false))
        platform::EndCriticalWork();
}

void CReceiverRun::Post(CRunEvent event)
{
    event.nReceiver = m_nIndex;
    m_Queue.Push(std::move(event));
}

void CReceiverRun::Upgrade()
{
    const auto start = std::chrono::steady_clock::now();
    CUpgradePolicy policy(m_Settings.nOptions, m_Settings.bRetry);
    CRunReport report;
    std::optional<CRunReport> first;
    std::optional<CReceiverFacts> identified;
    bool started = true;
    do {
        CRunEvent begin;
        begin.eKind = CRunEvent::RUN_STARTED;
        begin.nAttempt = policy.Attempt();
        begin.nOptions = policy.Options();
        Post(begin);
        ++m_Result.nAttempts;
        started = RunOnce(policy.Options(), report);
        if (!first.has_value())
            first = report;
        if (!identified.has_value() && report.receiver.nBoardId >= 0)
            identified = report.receiver;
    } while (started && !*m_Settings.pInterrupted && policy.NextRun(report));

    m_Result.report = report;
    // What the receiver held before this upgrade is what the first run that
    // identified it saw: a later run may find part of the new firmware.
    if (identified.has_value()) {
        CReceiverFacts& facts = m_Result.report.receiver;
        facts.wOldAppVersion = identified->wOldAppVersion;
        facts.wOldBootVersion = identified->wOldBootVersion;
        facts.nBoardId = identified->nBoardId;
        if (facts.strSerial.empty())
            facts.strSerial = identified->strSerial;
    }
    m_Result.dSeconds = SecondsSince(start);
    if (!started) {
        m_Result.nExitStatus = m_Result.nStart == START_PORT_FAILED ? EXIT_STATUS_PORT : EXIT_STATUS_FAILED;
        m_Result.strReason = report.strError;
    } else if (CUpgradePolicy::Succeeded(report)) {
        m_Result.bSuccess = true;
        m_Result.bUnverified = report.bFlashUnverified;
        m_Result.nExitStatus = report.bFlashUnverified && m_Settings.nFlashCheck != FLASH_CHECK_NONE
                                   ? EXIT_STATUS_UNVERIFIED
                                   : EXIT_STATUS_OK;
    } else {
        m_Result.strReason = FailureReason(*first, report);
        // Only a run that stopped on the cancel before any flash work ends as
        // interrupted; one that wrote flash and then failed is a failure.
        m_Result.nExitStatus =
            report.bCancelled && !report.bFlashWritten ? EXIT_STATUS_INTERRUPTED : EXIT_STATUS_FAILED;
    }
    CRunEvent done;
    done.eKind = CRunEvent::FINISHED;
    Post(done);
}

bool CReceiverRun::RunOnce(uint32_t options, CRunReport& report)
{
    // The engine's sink only queues; this thread forwards each notification
    // with what the views need to know besides it. The sink runs on the
    // engine's worker, which sends HLN_NO_CANCEL before its first erase: the
    // flash work is marked before the flash is touched.
    CRunEventQueue own;
    CHERFLoader loader;
    loader.Create(
        [this, &own](const CLoaderNotification& n) {
            if (n.nCode == HLN_NO_CANCEL)
                TakeFlashWork();
            CRunEvent event;
            event.n = n;
            own.Push(std::move(event));
        },
        LOADER_MESSAGE);
    loader.SetPorts(m_Ports.port[0], m_Ports.port[1], m_Ports.port[2]);
    loader.SetFlashCheck(m_Settings.nFlashCheck);
    loader.SetMonitorFolder(m_Settings.strMonitorDir);
    const int32_t startResult = loader.Start(m_Settings.strPackage.c_str(), options);
    if (startResult != START_OK) {
        report = loader.GetRunReport();
        m_Result.nStart = startResult;
        return false;
    }
    bool cancelAsked = false;
    std::string serial, phase;
    for (;;) {
        CRunEvent event;
        if (own.Pop(event, POLL_MS)) {
            const CLoaderNotification& n = event.n;
            if (n.nCode == HLN_PHASE_BEGIN)
                phase = n.strText;
            // The monitor's size is known only once the phase has chosen it,
            // so the figures are looked at again with each text line.
            if (n.nCode == HLN_PHASE_BEGIN || n.nCode == HLN_TEXT) {
                const CRunReport now = loader.GetRunReport();
                serial = now.receiver.strSerial;
                if (phase == PHASE_NAME_UPLOAD_MONITOR)
                    event.nPhaseBytes = now.nMonitorBytes;
                else if (phase == PHASE_NAME_UPLOAD_DATA)
                    event.nPhaseBytes = now.nDataBytes;
            }
            event.strSerial = serial;
            const bool last = n.nCode == HLN_RUN && n.nPayload == RUN_FINISHED;
            Post(std::move(event));
            if (last)
                break;
        }
        if (*m_Settings.pInterrupted && !cancelAsked) {
            cancelAsked = true;
            // A refused cancel means the flash work has begun: marked at once,
            // for a console close that is waiting to hear of it.
            const bool stopping = loader.Cancel();
            if (!stopping)
                TakeFlashWork();
            CRunEvent message;
            message.eKind = CRunEvent::MESSAGE;
            message.strText = stopping ? "Interrupted: stopping the upgrade"
                                       : "Cannot stop now: the receiver's flash is being written, and stopping "
                                         "would leave it without working firmware. Please wait.";
            Post(message);
        }
    }
    report = loader.GetRunReport();
    loader.Destroy();
    return true;
}
