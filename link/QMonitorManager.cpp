#include "link/QMonitorManager.h"

#include <cstring>

#include "link/PerfTimer.h"
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

// Which of the three arguments a command carries; the others go out as 0.
constexpr uint8_t ARG_FIRST = 0x1;
constexpr uint8_t ARG_SECOND = 0x2;
constexpr uint8_t ARG_THIRD = 0x4;

struct CMonitorCommand {
    unsigned nKind;
    uint8_t nCode;
    uint8_t nArgs;
    uint8_t nReply;
    bool bEndsLink;  // an accepted command leaves the monitor: the link is over
    // A monitor that cannot answer a read (longer than its answer carries,
    // or memory it does not read) refuses it: its negative acknowledgement
    // ends the wait, which would otherwise only run out.
    bool bRefusalEnds = false;
};

// Indexed by kind. Kind 13 awaits 0xA7, which the reply table does not admit,
// so it always ends by its time-out; no phase uses it.
const CMonitorCommand kMonitorCommands[MON_CMD_COUNT] = {
    {MON_CMD_READY, 0x90, 0, MON_REPLY_ACK, false},
    {MON_CMD_END_LINK_91, 0x91, ARG_FIRST, MON_REPLY_ACK, true},
    {MON_CMD_END_LINK_92, 0x92, 0, MON_REPLY_ACK, true},
    {MON_CMD_RETURN_TO_BOOT, 0x93, 0, MON_REPLY_ACK, true},
    {MON_CMD_CLOSE, 0x9A, 0, MON_REPLY_ACK, true},
    {MON_CMD_READ_DATA, 0x94, ARG_FIRST | ARG_SECOND, MON_REPLY_DATA, false, true},
    {MON_CMD_PREPARE_FLASH, 0x95, ARG_FIRST, MON_REPLY_ACK, false},
    {MON_CMD_PROGRAM_FLASH, 0x96, ARG_FIRST | ARG_SECOND | ARG_THIRD, MON_REPLY_ACK, false},
    {MON_CMD_VERIFY, 0x97, ARG_FIRST | ARG_SECOND | ARG_THIRD, MON_REPLY_ACK, false},
    {MON_CMD_EXPAND, 0x98, ARG_FIRST | ARG_SECOND | ARG_THIRD, MON_REPLY_ACK, false},
    {MON_CMD_SET_SPEED, 0x99, ARG_FIRST, MON_REPLY_ACK, false},
    {MON_CMD_READ_INFO, 0x9E, 0, MON_REPLY_INFO, false},
    {MON_CMD_READ_FLASH_INFO, 0x9F, 0, MON_REPLY_FLASH, false},
    {MON_CMD_QUERY_9D, 0x9D, 0, MON_REPLY_EXTRA_WAIT, false},
    {MON_CMD_READ_EXTRA, 0xA0, 0, MON_REPLY_EXTRA, false},
};

constexpr uint8_t MON_CODE_READ_INFO = 0x9E;
constexpr int MON_READY_TIMEOUT_MS = 2000;

}  // namespace

CQMonitorManager::CQMonitorManager()
{
    m_Parser.SetReplyTable(kMonitorReplies,
                           static_cast<int>(sizeof(kMonitorReplies) / sizeof(kMonitorReplies[0])));
}

bool CQMonitorManager::SendCommand(uint8_t code, uint32_t first, uint32_t second, uint32_t third)
{
    uint8_t payload[13];
    payload[0] = code;
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
        // An acknowledgement without its byte is a refusal.
        return packet.m_nLength > 0 && packet.m_Data[0] == 1 ? LINK_OK : LINK_FAILED;
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

int CQMonitorManager::WaitForReply(int timeoutMs, int expectedId, CPacket& reply, bool refusalEnds)
{
    CPerfTimer timer;
    timer.Start();
    int nState = LINK_WAITING;
    while (nState == LINK_WAITING) {
        ReceiveBatch(SliceFor(timeoutMs, timer.ElapsedMs()));
        // Packets other than the awaited one (a late answer to an earlier
        // command, a status report) are passed over; the wait goes on.
        while (nState == LINK_WAITING && m_Parser.PopPacket(reply)) {
            if (reply.m_nId == expectedId)
                nState = TakeReply(reply);
            else if (refusalEnds && reply.m_nId == MON_REPLY_ACK && TakeReply(reply) == LINK_FAILED)
                nState = LINK_FAILED;
        }
        // Checked after every batch, also one that has just ended the wait:
        // an answer that comes only as the time-out runs out counts as none.
        if (timer.ElapsedMs() >= timeoutMs)
            nState = LINK_TIMEOUT;
    }
    m_nTimeouts += nState == LINK_TIMEOUT;
    return nState;
}

int CQMonitorManager::Command(unsigned kind, int timeoutMs, uint32_t first, uint32_t second,
                              uint32_t third, CPacket* reply)
{
    // Whatever is left from an earlier exchange must not be taken for this
    // command's answer.
    PurgePrimary(LINK_PURGE_RX);
    m_Parser.Reset();
    if (!m_bConnected || kind >= MON_CMD_COUNT)
        return LINK_FAILED;
    const CMonitorCommand& command = kMonitorCommands[kind];
    if (!SendCommand(command.nCode, (command.nArgs & ARG_FIRST) ? first : 0,
                     (command.nArgs & ARG_SECOND) ? second : 0,
                     (command.nArgs & ARG_THIRD) ? third : 0))
        return LINK_FAILED;
    CPacket localReply;
    int nResult =
        WaitForReply(timeoutMs, command.nReply, reply != nullptr ? *reply : localReply, command.bRefusalEnds);
    if (nResult == LINK_OK && command.bEndsLink)
        Disconnect();
    return nResult;
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
    int nState = LINK_NOT_CONNECTED;
    m_Parser.Reset();
    PurgePrimary(LINK_PURGE_RX);
    CPerfTimer timer;
    timer.Start();
    CPacket packet;
    while (nState == LINK_NOT_CONNECTED) {
        ReceiveBatch(LINK_WAIT_SLICE_MS);
        while (nState == LINK_NOT_CONNECTED && m_Parser.PopPacket(packet)) {
            if (packet.m_nId == MON_REPLY_ANNOUNCE) {
                // The monitor has started: drop anything it sent before its
                // announcement and ask for its information.
                FillBlock(m_MonitorId.data(), m_MonitorId.size(), packet);
                PurgePrimary(LINK_PURGE_ALL);
                m_Parser.Reset();
                if (!SendCommand(MON_CODE_READ_INFO, 0, 0, 0))
                    nState = LINK_FAILED;
            } else if (packet.m_nId == MON_REPLY_INFO) {
                FillBlock(m_MonitorInfo.data(), m_MonitorInfo.size(), packet);
                m_bConnected = true;
                nState = LINK_OK;
            } else {
                nState = LINK_FAILED;  // not a monitor that has just started
            }
        }
        if (nState == LINK_NOT_CONNECTED && timer.ElapsedMs() >= timeoutMs)
            nState = LINK_TIMEOUT;
    }
    if (nState != LINK_OK)
        return nState;
    return Command(MON_CMD_READY, MON_READY_TIMEOUT_MS, 0, 0, 0, nullptr);
}

bool CQMonitorManager::PollStatus(int& first, int& second)
{
    if (m_pPrimary == nullptr || m_pPrimary->GetRxCount() <= 0)
        return true;
    first = 0;
    second = 0;
    DrainPrimary();
    CountStatus(MON_REPLY_STATUS, first, second);
    return true;
}
