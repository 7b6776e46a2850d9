#include "engine/RunState.h"

namespace CHERFLoaderLib {

void CRunState::SetError(int32_t code, const std::string& reason)
{
    SetError(code);
    std::lock_guard<std::mutex> lock(m_ReportLock);
    if (m_Report.strError.empty())
        m_Report.strError = reason;
}

void CRunState::ReplaceReason(const std::string& reason)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    m_Report.strError = reason;
}

bool CRunState::Cancel()
{
    int32_t expected = CANCEL_OPEN;
    if (!m_nCancellable.compare_exchange_strong(expected, CANCEL_ACCEPTED) && expected != CANCEL_ACCEPTED)
        return false;
    m_CancelEvent.Set();
    return true;
}

bool CRunState::BeginFlashWork(bool& closedNow)
{
    int32_t expected = CANCEL_OPEN;
    closedNow = m_nCancellable.compare_exchange_strong(expected, CANCEL_CLOSED);
    if (closedNow)
        NoteReport(&CRunReport::bFlashBegun);
    return closedNow || expected == CANCEL_CLOSED;
}

bool CRunState::IsCancelled() const
{
    // An accepted cancel counts from the moment it won, even before the
    // event is set.
    return m_bCancel.load() != 0 || m_nCancellable.load() == CANCEL_ACCEPTED || m_CancelEvent.IsSet();
}

bool CRunState::MayStop() const
{
    return m_nCancellable.load() != CANCEL_CLOSED || m_bWorkerDone.load();
}

void CRunState::NoteReport(bool CRunReport::*flag)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    m_Report.*flag = true;
}

void CRunState::NoteMonitorKept(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    m_Report.bMonitorKept = true;
    m_Report.strMonitorKept = text;
}

void CRunState::NoteFailedStep(int32_t code)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    m_Report.nFailedStep = code;
}

void CRunState::SetStarted(bool started)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    m_Report.bStarted = started;
}

void CRunState::NotePackageVersions(uint16_t app, uint16_t boot)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    m_Report.receiver.wNewAppVersion = app;
    m_Report.receiver.wNewBootVersion = boot;
}

void CRunState::NoteBytes(uint32_t CRunReport::*field, uint32_t bytes)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    m_Report.*field = bytes;
}

void CRunState::NoteReceiver(uint16_t oldApp, uint16_t oldBoot, int32_t board, const std::string& serial)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    CReceiverFacts& facts = m_Report.receiver;
    if (facts.nBoardId != -1)
        return;
    facts.wOldAppVersion = oldApp;
    facts.wOldBootVersion = oldBoot;
    facts.nBoardId = board;
    facts.strSerial = serial;
}

void CRunState::NoteReceiverAfter(uint16_t app, uint16_t boot)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    m_Report.receiver.bIdentifiedAfter = true;
    m_Report.receiver.wNowAppVersion = app;
    m_Report.receiver.wNowBootVersion = boot;
}

void CRunState::NoteLineRate(uint32_t baud, bool fellBack, bool failed)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    m_Report.nLineRate = baud;
    m_Report.bLineRateFell = fellBack;
    m_Report.bLineRateFailed = failed;
}

void CRunState::NoteUploadRate(uint32_t baud)
{
    std::lock_guard<std::mutex> lock(m_ReportLock);
    m_Report.nLineRate = baud;
}

CRunReport CRunState::GetRunReport(bool deviceGone, const std::string& startError) const
{
    CRunReport report;
    {
        std::lock_guard<std::mutex> lock(m_ReportLock);
        report = m_Report;
    }
    report.nResult = GetError();
    report.bCancelled = m_nCancellable.load() == CANCEL_ACCEPTED;
    report.bDeviceGone = deviceGone;
    if (!report.bStarted)
        report.strError = startError;
    else if (report.nResult == HLE_NONE && !report.bCheckRefused && !report.bPowerFailed)
        report.strError.clear();
    else if (report.strError.empty())
        report.strError = DefaultErrorText(report.nResult);
    return report;
}

}  // namespace CHERFLoaderLib
