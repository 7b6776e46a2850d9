#include "link/QBootManager.h"

#include <chrono>

#include "link/SerialHandler.h"
#include "package/ByteOrder.h"

namespace {

// Replies the boot loader may send, with the largest payload each may carry.
const ReplyLimit kBootReplies[] = {
    {BOOT_REPLY_ANNOUNCE, BOOT_ID_SIZE},         {BOOT_REPLY_ACK, 1},
    {BOOT_REPLY_INFO, BOOT_INFO_SIZE},           {BOOT_REPLY_MEMORY_MAP, BOOT_MEMORY_MAP_SIZE},
    {BOOT_REPLY_POWER, BOOT_POWER_INFO_SIZE},    {BOOT_REPLY_VALUE, 4},
    {BOOT_REPLY_STATUS, 1},
};

// The boot loader's speed, memory-map and power commands carry the first two
// arguments; LINK_ARG_SPECIAL sends the computer's GPS time of week and week
// instead of the caller's.
constexpr uint8_t A1 = LINK_ARG_FIRST, A12 = LINK_ARG_FIRST | LINK_ARG_SECOND, GPS_TIME = LINK_ARG_SPECIAL;
constexpr int ANY = LINK_ANY_REPLY;

// Indexed by kind. Every command is answered through the same wait, which
// takes the acknowledgement or the data reply the command asks for.
const CLinkCommand kBootCommands[BOOT_CMD_COUNT] = {
    {BOOT_CMD_SEND_TIME, 0x81, GPS_TIME, ANY, true},
    {BOOT_CMD_END_LINK_81, 0x81, 0, ANY, true},
    {BOOT_CMD_START_MONITOR, 0x87, 0, ANY, true},
    {BOOT_CMD_END_LINK_8A, 0x8A, 0, ANY, true},
    {BOOT_CMD_CHECK_84, 0x84, 0, ANY, false},
    {BOOT_CMD_READ_INFO, 0x8E, 0, ANY, false},
    {BOOT_CMD_END_LINK_8F, 0x8F, A1, ANY, true},
    {BOOT_CMD_CLOSE_82, 0x82, 0, ANY, true},
    {BOOT_CMD_CLOSE_83, 0x83, 0, ANY, true},
    {BOOT_CMD_SET_SPEED, 0x85, A12, ANY, false},
    {BOOT_CMD_READ_MEMORY_MAP, 0x8D, 0, ANY, false},
    {BOOT_CMD_READ_POWER, 0x8C, A12, ANY, false},
};

// The boot loader announces itself (0x11); the host then asks for its
// identity (0x8E, answered by 0x15). Status reports may come meanwhile.
constexpr CLinkHandshake kBootHandshake = {BOOT_REPLY_ANNOUNCE, BOOT_REPLY_INFO, 0x8E, BOOT_REPLY_STATUS,
                                           LINK_PURGE_ALL};

// Days from the GPS epoch (Sunday 6 January 1980) to 1 January 1987.
constexpr int32_t GPS_DAYS_TO_1987 = 2552;
constexpr int32_t kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

}  // namespace

bool SystemTimeToGps(const CCalendarTime& time, uint16_t& week, int32_t& timeOfWeekMs)
{
    if (time.wMonth < 1 || time.wMonth > 12 || time.wDay < 1 || time.wDay > 31 ||
        time.wDayOfWeek > 6 || time.wHour > 23 || time.wMinute > 59 || time.wSecond > 60)
        return false;
    // Every fourth year is a leap year: right from 1901 to 2099.
    int32_t nDays = GPS_DAYS_TO_1987;
    for (int32_t year = 1987; year < time.wYear; ++year)
        nDays += (year % 4 == 0) ? 366 : 365;
    nDays += kDaysBeforeMonth[time.wMonth - 1];
    if (time.wMonth >= 3 && time.wYear % 4 == 0)
        ++nDays;
    // The week is a signed 16-bit count on the receiver's side.
    week = static_cast<uint16_t>(static_cast<int16_t>((time.wDay + nDays - 1) / 7));
    int32_t nSeconds = ((time.wDayOfWeek * 24 + time.wHour) * 60 + time.wMinute) * 60 + time.wSecond;
    timeOfWeekMs = nSeconds * 1000;
    return true;
}

bool GpsTimeNow(uint16_t& week, int32_t& timeOfWeekMs)
{
    using namespace std::chrono;
    auto now = system_clock::now();
    auto today = floor<days>(now);
    year_month_day date{today};
    hh_mm_ss<seconds> clock{floor<seconds>(now - today)};
    CCalendarTime time{};
    time.wYear = static_cast<uint16_t>(static_cast<int>(date.year()));
    time.wMonth = static_cast<uint16_t>(static_cast<unsigned>(date.month()));
    time.wDay = static_cast<uint16_t>(static_cast<unsigned>(date.day()));
    time.wDayOfWeek = static_cast<uint16_t>(weekday{today}.c_encoding());
    time.wHour = static_cast<uint16_t>(clock.hours().count());
    time.wMinute = static_cast<uint16_t>(clock.minutes().count());
    time.wSecond = static_cast<uint16_t>(clock.seconds().count());
    SystemTimeToGps(time, week, timeOfWeekMs);
    return true;
}

CQBootManager::CQBootManager()
{
    m_Parser.SetReplyTable(kBootReplies, static_cast<int>(sizeof(kBootReplies) / sizeof(kBootReplies[0])));
    m_nAckId = BOOT_REPLY_ACK;
}

bool CQBootManager::SendCommandPacket(const CLinkCommand& command, uint32_t first, uint32_t second, uint32_t)
{
    if (command.nArgs & LINK_ARG_SPECIAL) {
        uint16_t week = 0;
        int32_t timeOfWeek = 0;
        GpsTimeNow(week, timeOfWeek);
        first = static_cast<uint32_t>(timeOfWeek);
        second = week;
    }
    uint8_t payload[7];
    payload[0] = command.nCode;
    PutLe32(&payload[1], first);
    payload[5] = static_cast<uint8_t>(second);
    payload[6] = static_cast<uint8_t>(second >> 8);
    return SendPacket(BOOT_PKT_COMMAND, payload, sizeof(payload));
}

int CQBootManager::TakeReply(const CPacket& packet)
{
    switch (packet.m_nId) {
    case BOOT_REPLY_ACK:
        return AckState(packet);
    case BOOT_REPLY_MEMORY_MAP:
        FillBlock(m_MemoryMapData.data(), m_MemoryMapData.size(), packet);
        return LINK_OK;
    case BOOT_REPLY_POWER:
        FillBlock(m_PowerInfo.data(), m_PowerInfo.size(), packet);
        return LINK_OK;
    case BOOT_REPLY_VALUE:
        FillBlock(m_BootValue.data(), m_BootValue.size(), packet);
        return LINK_OK;
    case BOOT_REPLY_STATUS:
        return LINK_WAITING;  // progress reports while the loader works
    default:
        // An announcement or identity now means the loader has restarted.
        return LINK_FAILED;
    }
}

int CQBootManager::WaitForAck(int timeoutMs)
{
    CPacket packet;
    return WaitForReply(timeoutMs, LINK_ANY_REPLY, packet);
}

int CQBootManager::Command(unsigned kind, int timeoutMs, uint32_t first, uint32_t second, uint32_t third,
                           CPacket* reply)
{
    return RunCommand(kBootCommands, BOOT_CMD_COUNT, kind, timeoutMs, first, second, third, reply);
}

int CQBootManager::SendData(const uint8_t* bytes, uint32_t address, uint32_t length, int timeoutMs)
{
    if (!m_bConnected)
        return LINK_FAILED;
    CSerialHandler* pPort = SendingPort();
    if (pPort != nullptr)
        pPort->Purge(LINK_PURGE_ALL);
    if (!SendAddressedData(BOOT_PKT_DATA, bytes, address, length))
        return LINK_FAILED;
    return WaitForAck(timeoutMs);
}

int CQBootManager::Connect(int timeoutMs)
{
    return RunHandshake(kBootHandshake, timeoutMs, m_BootId.data(), m_BootId.size(), m_BootInfo.data(),
                        m_BootInfo.size());
}

bool CQBootManager::PollStatus(int& first, int& second)
{
    return PollStatusOf(BOOT_REPLY_STATUS, first, second);
}
