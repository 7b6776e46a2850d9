#include "link/PikePassthroughManager.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "link/PerfTimer.h"
#include "link/SerialHandler.h"

namespace {

// The handheld's register that switches its port over to the receiver.
constexpr uint32_t PASS_SWITCH_ADDRESS = 0x00500004;
const uint8_t kSwitchPrepare[2] = {0x00, 0x00};
const uint8_t kSwitchSelect[2] = {0x08, 0x08};

}  // namespace

bool CPikePassthroughManager::SendFrame()
{
    CSerialHandler* pPort = SendingPort();
    if (pPort == nullptr || m_nDataLength > PASS_MAX_DATA)
        return false;
    m_nCheck = static_cast<uint8_t>(m_nCode + m_nDataLength);
    for (int i = 0; i < m_nDataLength; ++i)
        m_nCheck = static_cast<uint8_t>(m_nCheck + m_Data[i]);
    m_nFrameLength = 0;
    m_Frame[m_nFrameLength++] = PASS_FRAME_START;
    m_Frame[m_nFrameLength++] = 0x00;
    m_Frame[m_nFrameLength++] = m_nCode;
    m_Frame[m_nFrameLength++] = m_nDataLength;
    std::memcpy(&m_Frame[m_nFrameLength], m_Data, m_nDataLength);
    m_nFrameLength += m_nDataLength;
    m_Frame[m_nFrameLength++] = m_nCheck;
    m_Frame[m_nFrameLength++] = PASS_FRAME_END;
    bool bWritten = pPort->Write(m_Frame, m_nFrameLength);
    m_nFrameLength = 0;
    return bWritten;
}

bool CPikePassthroughManager::SendAddressed(uint32_t address, const uint8_t* bytes, int count)
{
    if (count < 0 || count > PASS_MAX_DATA - 4 || (bytes == nullptr && count > 0))
        return false;
    m_Data[0] = static_cast<uint8_t>(address >> 24);
    m_Data[1] = static_cast<uint8_t>(address >> 16);
    m_Data[2] = static_cast<uint8_t>(address >> 8);
    m_Data[3] = static_cast<uint8_t>(address);
    if (count > 0)
        std::memcpy(&m_Data[4], bytes, static_cast<size_t>(count));
    m_nDataLength = static_cast<uint8_t>(count + 4);
    m_nCode = PASS_TYPE_WRITE;
    return SendFrame();
}

bool CPikePassthroughManager::WaitForWakeUp(int timeoutMs)
{
    CSerialHandler* pSend = SendingPort();
    CPerfTimer timer;
    timer.Start();
    uint8_t buffer[LINK_READ_CHUNK];
    for (;;) {
        bool bAcked = false;
        // The handheld only listens after a break; SendBreak returns once the
        // 500 ms break is over.
        if (!pSend->SendBreak(PASS_BREAK_MS))
            std::this_thread::sleep_for(std::chrono::milliseconds(PASS_BREAK_MS));
        m_pPrimary->WaitForRx(PASS_ACK_WAIT_MS);
        // The acknowledgement may come during the break, after other bytes.
        int nCount = std::min(m_pPrimary->GetRxCount(), LINK_READ_CHUNK);
        if (nCount > 0) {
            m_pPrimary->ReadBlock(buffer, nCount);
            bAcked = std::find(buffer, buffer + nCount, PASS_ACK) != buffer + nCount;
        }
        // An acknowledgement seen in the pass in which the time-out passes
        // still counts.
        if (bAcked)
            return true;
        if (timer.ElapsedMs() >= timeoutMs)
            return false;
    }
}

int CPikePassthroughManager::Connect(int timeoutMs)
{
    if (m_pPrimary == nullptr)
        return LINK_FAILED;
    int nResult = LINK_TIMEOUT;
    PurgePrimary(LINK_PURGE_RX);
    if (WaitForWakeUp(timeoutMs)) {
        PurgePrimary(LINK_PURGE_RX);
        // The handheld needs time to act on each register write before the
        // next frame arrives.
        SendAddressed(PASS_SWITCH_ADDRESS, kSwitchPrepare, sizeof(kSwitchPrepare));
        std::this_thread::sleep_for(std::chrono::milliseconds(PASS_FRAME_PAUSE_MS));
        SendAddressed(PASS_SWITCH_ADDRESS, kSwitchSelect, sizeof(kSwitchSelect));
        std::this_thread::sleep_for(std::chrono::milliseconds(PASS_FRAME_PAUSE_MS));
        m_nCode = PASS_TYPE_SWITCH;
        m_nDataLength = 0;
        SendFrame();
        // The closing purge also clears the transmit side: give the queued
        // frame time to leave the port first, or it would be thrown away.
        std::this_thread::sleep_for(std::chrono::milliseconds(PASS_DRAIN_MS));
        nResult = LINK_OK;
    }
    PurgePrimary(LINK_PURGE_ALL);
    return nResult;
}

int CPikePassthroughManager::Command(unsigned, int, uint32_t, uint32_t, uint32_t, CPacket*)
{
    return LINK_FAILED;
}

int CPikePassthroughManager::WaitForAck(int)
{
    return LINK_FAILED;
}

int CPikePassthroughManager::SendData(const uint8_t*, uint32_t, uint32_t, int)
{
    return LINK_FAILED;
}
