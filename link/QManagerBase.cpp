#include "link/QManagerBase.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "link/PerfTimer.h"
#include "link/SerialHandler.h"
#include "package/ByteOrder.h"

void CQManagerBase::SetPorts(CSerialHandler* primary, CSerialHandler* secondary)
{
    m_pPrimary = primary;
    m_pSecondary = secondary;
}

int CQManagerBase::Connect(int /*timeoutMs*/)
{
    return LINK_NOT_CONNECTED;
}

int CQManagerBase::Disconnect()
{
    m_bConnected = false;
    return LINK_OK;
}

CSerialHandler* CQManagerBase::SendingPort() const
{
    return m_pSecondary != nullptr ? m_pSecondary : m_pPrimary;
}

bool CQManagerBase::SendFiller()
{
    CSerialHandler* port = SendingPort();
    if (port == nullptr)
        return false;
    const std::vector<uint8_t> filler(LINK_FILLER_BYTES, 0x00);
    return port->Write(filler.data(), static_cast<int>(filler.size()));
}

bool CQManagerBase::SendPacket(uint8_t id, const uint8_t* bytes, uint16_t length)
{
    CSerialHandler* pPort = SendingPort();
    if (pPort == nullptr)
        return false;
    std::vector<uint8_t> packet = EncodePacket(id, bytes, length);
    if (packet.empty())
        return false;
    return pPort->Write(packet.data(), static_cast<int>(packet.size()));
}

bool CQManagerBase::SendAddressedData(uint8_t id, const uint8_t* bytes, uint32_t address,
                                      uint32_t length)
{
    // Address and length take 8 bytes; the whole payload must fit the 16-bit
    // length field of the packet.
    if (length > 0xFFFFu - 8u || (bytes == nullptr && length > 0))
        return false;
    std::vector<uint8_t> payload(8 + static_cast<size_t>(length));
    PutLe32(&payload[0], address);
    PutLe32(&payload[4], length);
    if (length > 0)
        std::memcpy(&payload[8], bytes, length);
    return SendPacket(id, payload.data(), static_cast<uint16_t>(payload.size()));
}

bool CQManagerBase::PurgePrimary(uint32_t flags)
{
    return m_pPrimary != nullptr && m_pPrimary->Purge(flags);
}

bool CQManagerBase::DrainPrimary()
{
    if (m_pPrimary == nullptr)
        return false;
    int nCount = std::min(m_pPrimary->GetRxCount(), LINK_READ_CHUNK);
    if (nCount <= 0)
        return false;
    uint8_t buffer[LINK_READ_CHUNK];
    // Only this thread takes bytes out of the ring, so exactly nCount move.
    m_pPrimary->ReadBlock(buffer, nCount);
    m_Parser.Parse(buffer, static_cast<unsigned>(nCount));
    return true;
}

bool CQManagerBase::ReceiveBatch(int sliceMs)
{
    if (m_pPrimary == nullptr) {
        std::this_thread::sleep_for(std::chrono::milliseconds(sliceMs));
        return false;
    }
    int nSignalled = m_pPrimary->WaitForRx(sliceMs);
    // A wait that fails at once (a closed port) must not turn the caller's
    // time-out loop into a busy spin.
    if (nSignalled < 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(sliceMs));
    // Bytes left from an earlier, already consumed signal are read as well.
    return DrainPrimary();
}

void CQManagerBase::CountStatus(int statusId, int& first, int& second)
{
    CPacket packet;
    while (m_Parser.PopPacket(packet)) {
        if (packet.m_nId != statusId)
            continue;
        if (packet.m_nLength > 0 && packet.m_Data[0] != 0)
            ++first;
        else
            ++second;
    }
}

bool CQManagerBase::PollStatus(int& first, int& second)
{
    first = 0;
    second = 0;
    return true;
}

void CQManagerBase::FillBlock(uint8_t* block, size_t size, const CPacket& packet)
{
    size_t nCopy = std::min(size, packet.m_Data.size());
    if (nCopy > 0)
        std::memcpy(block, packet.m_Data.data(), nCopy);
}

int CQManagerBase::SliceFor(int timeoutMs, int64_t elapsedMs)
{
    const int64_t left = static_cast<int64_t>(timeoutMs) - elapsedMs;
    return static_cast<int>(left < 1 ? 1 : left < LINK_WAIT_SLICE_MS ? left : LINK_WAIT_SLICE_MS);
}

int CQManagerBase::AckState(const CPacket& packet)
{
    // An acknowledgement without its byte is a refusal.
    return packet.m_nLength > 0 && packet.m_Data[0] == 1 ? LINK_OK : LINK_FAILED;
}

int CQManagerBase::WaitForReply(int timeoutMs, int expectedId, CPacket& reply, bool refusalEnds)
{
    CPerfTimer timer;
    timer.Start();
    int nState = LINK_WAITING;
    while (nState == LINK_WAITING) {
        ReceiveBatch(SliceFor(timeoutMs, timer.ElapsedMs()));
        // Packets other than the awaited one (a late answer to an earlier
        // command, a status report) are passed over; the wait goes on.
        while (nState == LINK_WAITING && m_Parser.PopPacket(reply)) {
            if (expectedId == LINK_ANY_REPLY || reply.m_nId == expectedId)
                nState = TakeReply(reply);
            else if (refusalEnds && reply.m_nId == m_nAckId && AckState(reply) == LINK_FAILED)
                nState = LINK_FAILED;
        }
        if (timer.ElapsedMs() >= timeoutMs)
            nState = LINK_TIMEOUT;
    }
    m_nTimeouts += nState == LINK_TIMEOUT;
    return nState;
}

int CQManagerBase::RunCommand(const CLinkCommand* table, unsigned count, unsigned kind, int timeoutMs,
                              uint32_t first, uint32_t second, uint32_t third, CPacket* reply)
{
    // Whatever is left from an earlier exchange must not be taken for this
    // command's answer.
    PurgePrimary(LINK_PURGE_RX);
    m_Parser.Reset();
    if (!m_bConnected || kind >= count)
        return LINK_FAILED;
    const CLinkCommand& command = table[kind];
    if (!SendCommandPacket(command, (command.nArgs & LINK_ARG_FIRST) ? first : 0,
                           (command.nArgs & LINK_ARG_SECOND) ? second : 0,
                           (command.nArgs & LINK_ARG_THIRD) ? third : 0))
        return LINK_FAILED;
    CPacket localReply;
    const int nResult = WaitForReply(timeoutMs, command.nReply, reply != nullptr ? *reply : localReply,
                                     command.bRefusalEnds);
    if (nResult == LINK_OK && command.bEndsLink)
        Disconnect();
    return nResult;
}

int CQManagerBase::RunHandshake(const CLinkHandshake& handshake, int timeoutMs, uint8_t* id, size_t idSize,
                                uint8_t* info, size_t infoSize)
{
    int nState = LINK_NOT_CONNECTED;
    m_Parser.Reset();
    PurgePrimary(handshake.nStartPurge);
    CPerfTimer timer;
    timer.Start();
    CPacket packet;
    while (nState == LINK_NOT_CONNECTED) {
        ReceiveBatch(LINK_WAIT_SLICE_MS);
        while (nState == LINK_NOT_CONNECTED && m_Parser.PopPacket(packet)) {
            if (packet.m_nId == handshake.nAnnounce) {
                // The mode has announced itself: drop what came before and
                // ask for its information.
                FillBlock(id, idSize, packet);
                PurgePrimary(LINK_PURGE_ALL);
                m_Parser.Reset();
                CLinkCommand ask{0, handshake.nAskCode, 0, handshake.nInfo, false};
                if (!SendCommandPacket(ask, 0, 0, 0))
                    nState = LINK_FAILED;
            } else if (packet.m_nId == handshake.nInfo) {
                FillBlock(info, infoSize, packet);
                m_bConnected = true;
                nState = LINK_OK;
            } else if (packet.m_nId != handshake.nIgnored) {
                nState = LINK_FAILED;  // not a mode that has just announced itself
            }
        }
        if (nState == LINK_NOT_CONNECTED && timer.ElapsedMs() >= timeoutMs)
            nState = LINK_TIMEOUT;
    }
    return nState;
}

bool CQManagerBase::PollStatusOf(int statusId, int& first, int& second)
{
    if (m_pPrimary == nullptr || m_pPrimary->GetRxCount() <= 0)
        return true;
    first = 0;
    second = 0;
    DrainPrimary();
    CountStatus(statusId, first, second);
    return true;
}

bool CQManagerBase::SendCommandPacket(const CLinkCommand&, uint32_t, uint32_t, uint32_t)
{
    return false;
}

int CQManagerBase::TakeReply(const CPacket&)
{
    return LINK_WAITING;
}
