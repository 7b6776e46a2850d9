#include "link/QManagerBase.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

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
