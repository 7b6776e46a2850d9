#include "engine/UpgradeJob.h"

#include <chrono>

#include "engine/EventQueue.h"
#include "transfer/PackageImage.h"

namespace CHERFLoaderLib {

namespace {

constexpr int QUEUE_WAIT_MS = 100;

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

std::shared_ptr<const CPackageImage> LoadPackage(const std::string& path, std::string& error)
{
    return CPackageImage::Load(path, error);
}

uint32_t CLineRateMemory::Allowed(uint32_t wanted) const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_nLowestFailed != 0 && wanted >= m_nLowestFailed ? 115200 : wanted;
}

void CLineRateMemory::Failed(uint32_t rate)
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (rate > 115200 && (m_nLowestFailed == 0 || rate < m_nLowestFailed))
        m_nLowestFailed = rate;
}

CUpgradeJob::CUpgradeJob(std::shared_ptr<const CPackageImage> package, CJobSettings settings, CJobSink sink)
    : m_pPackage(std::move(package)), m_Settings(std::move(settings)), m_Sink(std::move(sink))
{
}

CUpgradeJob::~CUpgradeJob()
{
    Stop();
}

void CUpgradeJob::SetPorts(const CReceiverPorts& ports)
{
    m_Ports = ports;
}

bool CUpgradeJob::Start()
{
    if (m_Thread.joinable() || m_bFinished)
        return false;
    try {
        m_Thread = std::thread([this] { Main(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool CUpgradeJob::Cancel()
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_bFinished)
        return true;
    if (m_pLoader) {
        if (!m_pLoader->Cancel())
            return false;
        m_bCancelAccepted = true;
        return true;
    }
    // Between runs: once flash work began, only more runs can make the
    // receiver whole again.
    if (m_bFlashTouched)
        return false;
    m_bCancelAccepted = true;
    return true;
}

bool CUpgradeJob::MayStop() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    if (m_bFinished)
        return true;
    if (m_bFlashTouched)
        return false;
    return !m_pLoader || m_pLoader->MayStop();
}

void CUpgradeJob::Stop()
{
    Cancel();
    if (m_Thread.joinable())
        m_Thread.join();
}

void CUpgradeJob::Wait()
{
    if (m_Thread.joinable())
        m_Thread.join();
}

CJobReport CUpgradeJob::Report() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Report;
}

void CUpgradeJob::Emit(const CJobEvent& event)
{
    if (m_Sink)
        m_Sink(event);
}

void CUpgradeJob::Main()
{
    const auto start = std::chrono::steady_clock::now();
    CUpgradePolicy policy(m_Settings.nOptions, m_Settings.bRetry);
    CJobReport result;
    std::optional<CRunReport> first;
    std::optional<CReceiverFacts> identified;
    CRunReport report;
    bool started = false;
    for (;;) {
        CJobEvent begin;
        begin.eKind = CJobEvent::EKind::RunBegins;
        begin.nAttempt = policy.Attempt();
        begin.nOptions = policy.Options();
        Emit(begin);
        ++result.nRuns;
        const bool ran = RunOnce(policy.Options(), report);
        started = started || ran;
        if (!first.has_value())
            first = report;
        if (!identified.has_value() && report.receiver.nBoardId >= 0)
            identified = report.receiver;
        if (!ran || !policy.NextRun(report))
            break;
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_bCancelAccepted && !m_bFlashTouched)
            break;
    }

    result.bStarted = started;
    result.last = report;
    result.receiver = report.receiver;
    if (identified.has_value()) {
        result.receiver.wOldAppVersion = identified->wOldAppVersion;
        result.receiver.wOldBootVersion = identified->wOldBootVersion;
        result.receiver.nBoardId = identified->nBoardId;
        if (result.receiver.strSerial.empty())
            result.receiver.strSerial = identified->strSerial;
    }
    result.bSuccess = CUpgradePolicy::Succeeded(report);
    result.bUnverified = result.bSuccess && report.bFlashUnverified;
    result.bInterrupted = !result.bSuccess && report.bCancelled && !report.bFlashWritten;
    if (!result.bSuccess) {
        result.strReason = report.bStarted ? DescribeFailures(*first, report) : report.strError;
    }
    result.dSeconds = SecondsSince(start);
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        result.nStart = m_Report.nStart;
        m_Report = result;
    }
    m_bFinished = true;
    CJobEvent end;
    end.eKind = CJobEvent::EKind::JobEnds;
    Emit(end);
}

bool CUpgradeJob::RunOnce(uint32_t options, CRunReport& report)
{
    // The engine's notifications come from its threads; the job forwards
    // them from its own, in the order they were sent.
    CEventQueue<CLoaderNotification> queue;
    auto made = std::make_unique<CHERFLoader>();
    made->Create([&queue](const CLoaderNotification& n) { queue.Push(n); }, m_Settings.nMessage);
    made->SetPorts(m_Ports);
    made->SetFlashCheck(m_Settings.nFlashCheck);
    made->SetMonitorFolder(m_Settings.strMonitorFolder);
    const uint32_t rate =
        m_Settings.pRates ? m_Settings.pRates->Allowed(m_Settings.nLineRate) : m_Settings.nLineRate;
    made->SetLineRate(rate);
    CHERFLoader* loader = made.get();
    {
        // From here on Cancel reaches this run.
        std::lock_guard<std::mutex> lock(m_Lock);
        m_pLoader = std::move(made);
    }
    const int32_t startResult = loader->Start(m_pPackage, options);
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Report.nStart = startResult;
        // A cancel that came before the run existed holds for it too.
        if (startResult == START_OK && m_bCancelAccepted)
            loader->Cancel();
    }
    if (startResult != START_OK) {
        report = loader->GetRunReport();
        std::lock_guard<std::mutex> lock(m_Lock);
        m_pLoader.reset();
        return false;
    }
    for (;;) {
        CLoaderNotification n;
        if (!queue.Pop(n, QUEUE_WAIT_MS))
            continue;
        if (n.nCode == HLN_NO_CANCEL) {
            std::lock_guard<std::mutex> lock(m_Lock);
            m_bFlashTouched = true;
        }
        CJobEvent event;
        event.n = n;
        Emit(event);
        if (n.nCode == HLN_CONNECT && n.nPayload == STEP_OK) {
            CJobEvent facts;
            facts.eKind = CJobEvent::EKind::Identified;
            facts.receiver = loader->GetRunReport().receiver;
            Emit(facts);
        }
        if (n.nCode == HLN_RUN && n.nPayload == RUN_FINISHED)
            break;
    }
    report = loader->GetRunReport();
    if (report.bLineRateFailed && m_Settings.pRates)
        m_Settings.pRates->Failed(rate);
    std::unique_ptr<CHERFLoader> finished;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        finished = std::move(m_pLoader);
    }
    finished->Destroy();
    return true;
}

}  // namespace CHERFLoaderLib
