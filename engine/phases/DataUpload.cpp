// Phases 2 and 3: copy every staged block into the receiver's RAM over one or
// two monitor links, then have the monitor check each section's byte sum.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "engine/AnswerTimer.h"
#include "engine/HERFLoaderImpl.h"

namespace CHERFLoaderLib {

namespace {
constexpr int BLOCK_ATTEMPTS = 3;         // failures after a full wait (or a refusal)
constexpr int BLOCK_QUICK_ATTEMPTS = 10;  // failures in all, when the others were quick losses
constexpr uint32_t PING_WIRE_BYTES = 13 + 7 + 1 + 7;       // the command packet and its answer
constexpr uint32_t BLOCK_WIRE_OVERHEAD = 8 + 7 + 1 + 7;    // address, length, framing, and the answer
// After this many quick losses in a row the monitor's parser may be inside a
// packet whose length field the line damaged (CQManagerBase::SendFiller).
constexpr int QUICK_LOSSES_BEFORE_FILLER = 3;
constexpr int PING_TIMEOUT_MS = 1000;
constexpr int BLOCK_TIMEOUT_MS = 3000;
constexpr int SECONDARY_START_DELAY_MS = 1000;
constexpr int VERIFY_TIMEOUT_MS = 5000;
constexpr int UPLOAD_POLL_MS = 10;
double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Why an exchange of the upload failed, for the retry's text.
std::string FailureWhy(const char* exchange, int result, int waitMs)
{
    if (result == LINK_TIMEOUT)
        return std::string("no answer to ") + exchange + " within " + std::to_string(waitMs) + " ms";
    return std::string(exchange) + (result == LINK_FAILED ? " was refused" : " could not be sent");
}
}  // namespace

// "data block 17 of 302 (1024 bytes to RAM 0x00FB4C00, primary link)".
std::string CHERFLoaderImpl::BlockName(const CDataBufferItem& block, bool secondary) const
{
    int index = 0;
    while (index < m_ImageData.GetCount() && m_ImageData.GetItem(index) != &block)
        ++index;
    char text[128];
    std::snprintf(text, sizeof text, "data block %d of %d (%u bytes to RAM 0x%08X, %s link)", index + 1,
                  m_ImageData.GetCount(), block.m_nLength,
                  m_Receiver.GetRamTop() + static_cast<uint32_t>(block.m_nRamOffset), secondary ? "second" : "primary");
    return text;
}

bool CHERFLoaderImpl::StartUploadThread(platform::CThread& thread, bool secondary)
{
    std::shared_ptr<CHERFLoaderImpl> self = shared_from_this();
    return thread.Start([self, secondary] {
        if (secondary) {
            // The secondary link joins a little later, so that the primary
            // link has the first blocks.
            for (int waited = 0; waited < SECONDARY_START_DELAY_MS && !self->IsCancelled() && !self->m_bStopUpload;
                 waited += UPLOAD_POLL_MS)
                std::this_thread::sleep_for(std::chrono::milliseconds(UPLOAD_POLL_MS));
            self->UploadWorker(self->m_Links.m_SecondaryMonitorMgr, self->m_bSecondaryUploadOk);
        } else {
            self->UploadWorker(self->m_Links.m_MonitorMgr, self->m_bPrimaryUploadOk);
        }
    });
}

bool CHERFLoaderImpl::RunUploadData()
{
    m_bSecondaryUploadOk = true;
    m_bPrimaryUploadOk = true;
    m_bStopUpload = false;
    // From here on whatever the line loses or damages counts against the
    // cheap flash check (FLASH_CHECK_AUTO).
    m_Links.m_MonitorMgr.ResetLineFaults();
    m_Links.m_SecondaryMonitorMgr.ResetLineFaults();
    m_bLineTrouble = false;
    m_nQuickRetries = m_ImageData.GetCount();
    m_Run.NoteUploadRate(m_nRateNow);
    UpdateProgress(0);
    NotifyText(HLN_TEXT, m_Links.m_bUseSecondary ? "Using secondary port" : "Not using secondary port!!");
    m_ImageData.Rewind();
    Notify(HLN_DATA_UPLOAD, STEP_BEGIN);

    // A thread that cannot be started uploads nothing: its outcome is a failure.
    if (!StartUploadThread(m_PrimaryUploadThread, false))
        m_bPrimaryUploadOk = false;
    if (m_Links.m_bUseSecondary && !StartUploadThread(m_SecondaryUploadThread, true))
        m_bSecondaryUploadOk = false;

    // Wait for the cancel signal or for the first thread to end.
    while (!IsCancelled() && m_PrimaryUploadThread.IsRunning() &&
           (!m_Links.m_bUseSecondary || m_SecondaryUploadThread.IsRunning()))
        std::this_thread::sleep_for(std::chrono::milliseconds(UPLOAD_POLL_MS));

    // The other thread may finish its last blocks for a while; past the
    // bounded wait it is told to stop and counts as failed. Threads end
    // cooperatively after their current exchange (a few seconds at most):
    // the phase waits for them so that no thread ever uses a link that the
    // run goes on using or closes.
    auto stop = [this](platform::CThread& thread, std::atomic<bool>& outcome) {
        if (!thread.Join(THREAD_STOP_WAIT_MS)) {
            m_bStopUpload = true;
            thread.Join(-1);
            outcome = false;
        }
    };
    stop(m_PrimaryUploadThread, m_bPrimaryUploadOk);
    if (m_Links.m_bUseSecondary)
        stop(m_SecondaryUploadThread, m_bSecondaryUploadOk);

    const bool ok = m_bPrimaryUploadOk && m_bSecondaryUploadOk;
    if (IsCancelled()) {
        Notify(HLN_DATA_UPLOAD, STEP_CANCELLED);
    } else if (ok) {
        UpdateProgress(m_ImageData.GetPosition());
        Notify(HLN_DATA_UPLOAD, STEP_OK);
    } else {
        Notify(HLN_DATA_UPLOAD, STEP_FAILED);
    }
    if (!ok && GetError() == HLE_NONE)
        SetError(IsCancelled() ? HLE_CANCELLED : HLE_UPLOAD_FAILED);
    return ok;
}

// A block whose packet or answer was lost would cost the design's whole wait
// (3 s) before it is sent again. The waits are learnt from the run instead
// (AnswerTimer.h), and a quick loss is tried again at once: a block may take
// more than the design's three attempts when each failure was quick, within
// a budget for the whole upload. After a quick loss the line is left quiet
// for as long again before the next exchange, whose purge then drops any late
// answer to the lost attempt: acknowledgements carry nothing to tell them
// apart, so a late one must never meet the next packet.
void CHERFLoaderImpl::UploadWorker(CQMonitorManager& manager, std::atomic<bool>& outcome)
{
    outcome = false;
    if (IsCancelled())
        return;
    const uint32_t ramTop = m_Receiver.GetRamTop();
    const uint32_t baud = m_nRateNow;
    CAnswerTimer pingTimer(PING_TIMEOUT_MS), blockTimer(BLOCK_TIMEOUT_MS);
    for (;;) {
        CDataBufferItem* block = m_ImageData.GetNextItem();
        if (block == nullptr) {
            outcome = true;
            return;
        }
        int failures = 0, slowFailures = 0, quickInRow = 0;
        int result = LINK_WAITING;
        while (!IsCancelled() && !m_bStopUpload && !m_Links.AnyPortGone() && result != LINK_OK &&
               slowFailures < BLOCK_ATTEMPTS && failures < BLOCK_QUICK_ATTEMPTS) {
            // The ping makes sure the monitor listens before a whole block is sent.
            int wait = pingTimer.WaitMs(PING_WIRE_BYTES, baud);
            auto sent = std::chrono::steady_clock::now();
            const int ping = manager.Command(MON_CMD_READY, wait, 0, 0, 0, nullptr);
            bool quick = ping == LINK_TIMEOUT && pingTimer.IsQuick(wait);
            std::string why;
            if (ping == LINK_OK) {
                pingTimer.Note(MsSince(sent), PING_WIRE_BYTES, baud);
                const uint32_t wire = block->m_nLength + BLOCK_WIRE_OVERHEAD;
                wait = blockTimer.WaitMs(wire, baud);
                sent = std::chrono::steady_clock::now();
                result = manager.SendData(block->m_pData.get(), ramTop + static_cast<uint32_t>(block->m_nRamOffset),
                                          block->m_nLength, wait);
                if (result == LINK_OK) {
                    blockTimer.Note(MsSince(sent), wire, baud);
                    UpdateProgress(m_ImageData.GetPosition());
                    continue;
                }
                quick = result == LINK_TIMEOUT && blockTimer.IsQuick(wait);
                why = FailureWhy("the block", result, wait);
            } else {
                why = FailureWhy("the ready check before it", ping, wait);
            }
            ++failures;
            quickInRow = quick ? quickInRow + 1 : 0;
            if (!quick || m_nQuickRetries.fetch_sub(1) <= 0)
                ++slowFailures;
            const bool filler = quick && quickInRow % QUICK_LOSSES_BEFORE_FILLER == 0;
            if (filler)
                why += " (a quick loss, the third in a row: filler bytes go first)";
            else if (quick)
                why += " (a quick loss)";
            const bool again = !IsCancelled() && !m_bStopUpload && slowFailures < BLOCK_ATTEMPTS &&
                               failures < BLOCK_QUICK_ATTEMPTS;
            NotifyRetry(failures, BlockName(*block, &manager == &m_Links.m_SecondaryMonitorMgr), why, again);
            if (filler && manager.SendFiller())
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(static_cast<int>(CAnswerTimer::WireMs(LINK_FILLER_BYTES, baud))));
            if (quick)
                std::this_thread::sleep_for(std::chrono::milliseconds(blockTimer.QuietMs()));
        }
        if (IsCancelled()) {
            SetError(HLE_CANCELLED);
            Notify(HLN_RUN, RUN_CANCELLED);
            return;
        }
        if (m_bStopUpload)
            return;
        if (result != LINK_OK) {
            SetError(HLE_UPLOAD_FAILED);
            return;
        }
    }
}

bool CHERFLoaderImpl::RunVerifyData(CFlashPhase& phase)
{
    Notify(HLN_VERIFY, STEP_BEGIN);
    UpdateProgress(0);
    const CFirmwareSection* section = phase.m_pSection;
    int result = LINK_FAILED;
    if (section != nullptr && m_Receiver.m_pMemoryMap)
        // A verify whose answer was lost is asked again, as the flash
        // commands are.
        result = FlashCommand(MON_CMD_VERIFY, VERIFY_TIMEOUT_MS,
                              m_Receiver.GetRamTop() + static_cast<uint32_t>(section->stagingOffset), section->length,
                              section->checksum);
    if (result == LINK_OK) {
        Notify(HLN_VERIFY, STEP_OK);
        UpdateProgress(1);
        return true;
    }
    SetError(HLE_VERIFY_FAILED);
    Notify(HLN_VERIFY, STEP_FAILED);
    return false;
}

}  // namespace CHERFLoaderLib
