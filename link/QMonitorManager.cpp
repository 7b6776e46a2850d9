#include "link/QMonitorManager.h"

#include <cstring>

#include "link/SerialHandler.h"
#include "package/ByteOrder.h"

namespace {

// Replies the monitor may send, with the largest payload each may carry.
const ReplyLimit kMonitorReplies[] = {
    {MON_REPLY_ANNOUNCE, MON_ID_SIZE},    {MON_REPLY_ACK, 1},
    {MON_REPLY_INFO, MON_INFO_SIZE},      {MON_REPLY_FLASH, MON_FLASH_INFO_SIZE},
    {MON_REPLY_DATA, MON_READ_REPLY_MAX},               {MON_REPLY_EXTRA, MON_EXTRA_INFO_SIZE},
    {MON_REPLY_STATUS, 1},
};

constexpr uint8_t A1 = LINK_ARG_FIRST, A12 = LINK_ARG_FIRST | LINK_ARG_SECOND,
                  A123 = LINK_ARG_FIRST | LINK_ARG_SECOND | LINK_ARG_THIRD;

// Indexed by kind. Kind 13 awaits 0xA7, which the reply table does not admit,
// so it always ends by its time-out; no phase uses it.
const CLinkCommand kMonitorCommands[MON_CMD_COUNT] = {
    {MON_CMD_READY, 0x90, 0, MON_REPLY_ACK, false},
    {MON_CMD_END_LINK_91, 0x91, A1, MON_REPLY_ACK, true},
    {MON_CMD_END_LINK_92, 0x92, 0, MON_REPLY_ACK, true},
    {MON_CMD_RETURN_TO_BOOT, 0x93, 0, MON_REPLY_ACK, true},
    {MON_CMD_CLOSE, 0x9A, 0, MON_REPLY_ACK, true},
    {MON_CMD_READ_DATA, 0x94, A12, MON_REPLY_DATA, false, true},
    {MON_CMD_PREPARE_FLASH, 0x95, A1, MON_REPLY_ACK, false},
    {MON_CMD_PROGRAM_FLASH, 0x96, A123, MON_REPLY_ACK, false},
    {MON_CMD_VERIFY, 0x97, A123, MON_REPLY_ACK, false},
    {MON_CMD_EXPAND, 0x98, A123, MON_REPLY_ACK, false},
    {MON_CMD_SET_SPEED, 0x99, A1, MON_REPLY_ACK, false},
    {MON_CMD_READ_INFO, 0x9E, 0, MON_REPLY_INFO, false},
    {MON_CMD_READ_FLASH_INFO, 0x9F, 0, MON_REPLY_FLASH, false},
    {MON_CMD_QUERY_9D, 0x9D, 0, MON_REPLY_EXTRA_WAIT, false},
    {MON_CMD_READ_EXTRA, 0xA0, 0, MON_REPLY_EXTRA, false},
};

// The monitor announces itself (0xA1); the host then asks for its
// information (0x9E, answered by 0xA5). Nothing else may come first.
constexpr CLinkHandshake kMonitorHandshake = {MON_REPLY_ANNOUNCE, MON_REPLY_INFO, 0x9E, -1, LINK_PURGE_RX};

constexpr int MON_READY_TIMEOUT_MS = 2000;

}  // namespace

CQMonitorManager::CQMonitorManager()
{
    m_Parser.SetReplyTable(kMonitorReplies,
                           static_cast<int>(sizeof(kMonitorReplies) / sizeof(kMonitorReplies[0])));
    m_nAckId = MON_REPLY_ACK;
}

bool CQMonitorManager::SendCommandPacket(const CLinkCommand& command, uint32_t first, uint32_t second,
                                         uint32_t third)
{
    uint8_t payload[13];
    payload[0] = command.nCode;
    PutLe32(&payload[1], first);
    PutLe32(&payload[5], second);
    PutLe32(&payload[9], third);
    return SendPacket(MON_PKT_COMMAND, payload, sizeof(payload));
}

int CQMonitorManager::TakeReply(const CPacket& packet)
{
    switch (packet.m_nId) {
    case MON_REPLY_ANNOUNCE:
        FillBlock(m_MonitorId.data(), m_MonitorId.size(), packet);
        return LINK_OK;
    case MON_REPLY_ACK:
        return AckState(packet);
    case MON_REPLY_DATA:
        return LINK_OK;  // the payload stays in the caller's reply packet
    case MON_REPLY_INFO:
        FillBlock(m_MonitorInfo.data(), m_MonitorInfo.size(), packet);
        return LINK_OK;
    case MON_REPLY_FLASH:
        FillBlock(m_FlashInfo.data(), m_FlashInfo.size(), packet);
        return LINK_OK;
    case MON_REPLY_EXTRA:
        FillBlock(m_ExtraInfo.data(), m_ExtraInfo.size(), packet);
        return LINK_OK;
    default:
        return LINK_WAITING;
    }
}

int CQMonitorManager::Command(unsigned kind, int timeoutMs, uint32_t first, uint32_t second,
                              uint32_t third, CPacket* reply)
{
    return RunCommand(kMonitorCommands, MON_CMD_COUNT, kind, timeoutMs, first, second, third, reply);
}

int CQMonitorManager::WaitForAck(int timeoutMs)
{
    CPacket reply;
    return WaitForReply(timeoutMs, MON_REPLY_ACK, reply);
}

int CQMonitorManager::SendData(const uint8_t* bytes, uint32_t address, uint32_t length,
                               int timeoutMs)
{
    if (!m_bConnected)
        return LINK_FAILED;
    if (!SendAddressedData(MON_PKT_DATA, bytes, address, length))
        return LINK_FAILED;
    return WaitForAck(timeoutMs);
}

int CQMonitorManager::SendText(const char* text, int timeoutMs)
{
    if (!m_bConnected || text == nullptr)
        return LINK_FAILED;
    uint8_t payload[MON_TEXT_SIZE] = {};
    // The text need not be terminated within its first 127 characters.
    std::memcpy(payload, text, strnlen(text, MON_TEXT_SIZE - 1));
    if (!SendPacket(MON_PKT_TEXT, payload, sizeof(payload)))
        return LINK_FAILED;
    return WaitForAck(timeoutMs);
}

int CQMonitorManager::CheckRunning(int timeoutMs)
{
    m_bConnected = true;
    const int result = Command(MON_CMD_READY, timeoutMs, 0, 0, 0, nullptr);
    if (result != LINK_OK)
        m_bConnected = false;
    return result;
}

int CQMonitorManager::ConnectMonitor(int timeoutMs, bool alreadyRunning)
{
    if (alreadyRunning) {
        m_bConnected = true;
        return Command(MON_CMD_READY, MON_READY_TIMEOUT_MS, 0, 0, 0, nullptr);
    }
    const int nState = RunHandshake(kMonitorHandshake, timeoutMs, m_MonitorId.data(), m_MonitorId.size(),
                                    m_MonitorInfo.data(), m_MonitorInfo.size());
    if (nState != LINK_OK)
        return nState;
    return Command(MON_CMD_READY, MON_READY_TIMEOUT_MS, 0, 0, 0, nullptr);
}

bool CQMonitorManager::PollStatus(int& first, int& second)
{
    return PollStatusOf(MON_REPLY_STATUS, first, second);
}
