#include "tools/trailmark/ReceiverRun.h"

#include <optional>

#include "engine/PhasePlan.h"
#include "engine/UpgradePolicy.h"
#include "platform/Console.h"
#include "tools/trailmark/Command.h"

using namespace CHERFLoaderLib;

std::string FailureReason(const CJobReport& report)
{
    if (report.last.bPowerFailed)
        return "Please check that you have external power connected and then try again.";
    return report.strReason;
}

void CReceiverRun::Start()
{
    m_pJob = std::make_unique<CUpgradeJob>(m_Settings.pPackage, m_Settings.job,
                                           [this](const CJobEvent& event) { OnJobEvent(event); });
    m_pJob->SetPorts(m_Ports);
    if (!m_pJob->Start()) {
        CJobReport report;
        report.strReason = "cannot start the upgrade thread";
        report.nStart = START_NOT_STARTED;
        Finish(report);
    }
}

void CReceiverRun::Interrupt()
{
    if (!m_pJob)
        return;
    // A refused cancel means the flash work has begun: marked at once, for a
    // console close that is waiting to hear of it.
    const bool stopping = m_pJob->Cancel();
    if (!stopping)
        TakeFlashWork();
    if (m_pJob->IsFinished())
        return;
    CRunEvent message;
    message.eKind = CRunEvent::MESSAGE;
    message.strText = stopping ? "Interrupted: stopping the upgrade"
                               : "Cannot stop now: the receiver's flash is being written, and stopping would leave "
                                 "it without working firmware. Please wait.";
    Post(message);
}

void CReceiverRun::Join()
{
    if (m_pJob)
        m_pJob->Wait();
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

void CReceiverRun::OnJobEvent(const CJobEvent& event)
{
    CRunEvent shown;
    switch (event.eKind) {
    case CJobEvent::EKind::RunBegins:
        shown.eKind = CRunEvent::RUN_STARTED;
        shown.nAttempt = event.nAttempt;
        shown.nOptions = event.nOptions;
        break;
    case CJobEvent::EKind::Notification:
        if (event.n.nCode == HLN_NO_CANCEL)
            TakeFlashWork();
        shown.n = event.n;
        break;
    case CJobEvent::EKind::Identified:
        m_strSerial = event.receiver.strSerial;
        return;
    case CJobEvent::EKind::JobEnds:
        Finish(m_pJob->Report());
        return;
    }
    shown.strSerial = m_strSerial;
    Post(std::move(shown));
}

void CReceiverRun::Finish(const CJobReport& report)
{
    m_Result.nAttempts = report.nRuns;
    m_Result.nStart = report.nStart;
    m_Result.dSeconds = report.dSeconds;
    m_Result.report = report.last;
    m_Result.report.receiver = report.receiver;
    if (!report.bStarted) {
        m_Result.nExitStatus = report.nStart == START_PORT_FAILED ? EXIT_STATUS_PORT : EXIT_STATUS_FAILED;
        m_Result.strReason = report.strReason;
    } else if (report.bSuccess) {
        m_Result.bSuccess = true;
        m_Result.bUnverified = report.bUnverified;
        m_Result.nExitStatus = report.bUnverified && m_Settings.job.nFlashCheck != FLASH_CHECK_NONE
                                   ? EXIT_STATUS_UNVERIFIED
                                   : EXIT_STATUS_OK;
    } else {
        m_Result.strReason = FailureReason(report);
        // Only a job that stopped on the cancel before any flash work ends as
        // interrupted; one that wrote flash and then failed is a failure.
        m_Result.nExitStatus = report.bInterrupted ? EXIT_STATUS_INTERRUPTED : EXIT_STATUS_FAILED;
    }
    CRunEvent done;
    done.eKind = CRunEvent::FINISHED;
    Post(done);
}
