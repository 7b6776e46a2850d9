// The boot-loader protocol, and the GPS time the boot loader is given.
//
// The connection phase uses it to connect to the receiver's boot loader (the
// loader announces itself with 0x11; the host asks for its identity, 0x15),
// to read the memory-map data and the power state and to switch to high speed.
// The monitor upload writes the monitor image into RAM with SendData and
// starts it with command kind 2; the closing sequence sends kinds 7 and 8.
// Commands go out as packet 0x12 (code, a 32-bit and a 16-bit argument), data
// as 0x14; every answer is looked at, whichever command was sent.
//
// Threading: used by the upgrade worker thread only; no lock of its own.
#pragma once

#include <array>
#include <cstdint>

#include "link/QManagerBase.h"
#include "package/ByteOrder.h"

// Packets the host sends to the boot loader.
constexpr uint8_t BOOT_PKT_COMMAND = 0x12;
constexpr uint8_t BOOT_PKT_DATA = 0x14;

// Packets the boot loader sends.
constexpr uint8_t BOOT_REPLY_ANNOUNCE = 0x11;
constexpr uint8_t BOOT_REPLY_ACK = 0x13;
constexpr uint8_t BOOT_REPLY_INFO = 0x15;
constexpr uint8_t BOOT_REPLY_MEMORY_MAP = 0x16;
constexpr uint8_t BOOT_REPLY_POWER = 0x17;
constexpr uint8_t BOOT_REPLY_STATUS = 0x18;
constexpr uint8_t BOOT_REPLY_VALUE = 0x19;

// Command kinds (the caller's numbers, not the codes on the wire).
constexpr unsigned BOOT_CMD_SEND_TIME = 0;
constexpr unsigned BOOT_CMD_END_LINK_81 = 1;
constexpr unsigned BOOT_CMD_START_MONITOR = 2;
constexpr unsigned BOOT_CMD_END_LINK_8A = 3;
constexpr unsigned BOOT_CMD_CHECK_84 = 4;
constexpr unsigned BOOT_CMD_READ_INFO = 5;
constexpr unsigned BOOT_CMD_END_LINK_8F = 6;
constexpr unsigned BOOT_CMD_CLOSE_82 = 7;
constexpr unsigned BOOT_CMD_CLOSE_83 = 8;
constexpr unsigned BOOT_CMD_SET_SPEED = 9;
constexpr unsigned BOOT_CMD_READ_MEMORY_MAP = 10;
constexpr unsigned BOOT_CMD_READ_POWER = 11;
constexpr unsigned BOOT_CMD_COUNT = 12;

constexpr size_t BOOT_ID_SIZE = 5;
constexpr size_t BOOT_INFO_SIZE = 38;
constexpr size_t BOOT_MEMORY_MAP_SIZE = 72;
constexpr size_t BOOT_POWER_INFO_SIZE = 24;

// A calendar time in UTC, as the computer's clock gives it.
struct CCalendarTime {
    uint16_t wYear;
    uint16_t wMonth;      // 1 to 12
    uint16_t wDayOfWeek;  // 0 = Sunday
    uint16_t wDay;        // 1 to 31
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

// Converts a UTC calendar time to the full GPS week and the time of week in
// milliseconds (no leap seconds applied, milliseconds ignored). Counts years
// from 1987 on; earlier dates are counted as if in 1987. False, with nothing
// written, when a field is out of its calendar range.
bool SystemTimeToGps(const CCalendarTime& time, uint16_t& week, int32_t& timeOfWeekMs);
// The computer's clock now, converted as above; always true.
bool GpsTimeNow(uint16_t& week, int32_t& timeOfWeekMs);

class CQBootManager : public CQManagerBase {
public:
    CQBootManager();
    ~CQBootManager() override = default;

    // The boot handshake: wait for the announcement, ask for the identity.
    int Connect(int timeoutMs) override;
    int Command(unsigned kind, int timeoutMs, uint32_t first, uint32_t second, uint32_t third,
                CPacket* reply) override;
    int WaitForAck(int timeoutMs) override;
    int SendData(const uint8_t* bytes, uint32_t address, uint32_t length, int timeoutMs) override;
    bool PollStatus(int& first, int& second) override;

    // Information blocks, exactly as received. A reply shorter than its block
    // fills only the block's first bytes; the rest keep their earlier values.
    const std::array<uint8_t, BOOT_ID_SIZE>& GetBootId() const { return m_BootId; }
    const std::array<uint8_t, BOOT_INFO_SIZE>& GetBootInfo() const { return m_BootInfo; }
    const std::array<uint8_t, BOOT_MEMORY_MAP_SIZE>& GetMemoryMapData() const
    {
        return m_MemoryMapData;
    }
    const std::array<uint8_t, BOOT_POWER_INFO_SIZE>& GetPowerInfo() const { return m_PowerInfo; }
    uint32_t GetBootValue() const { return GetLe32(m_BootValue.data()); }

protected:
    bool SendCommandPacket(const CLinkCommand& command, uint32_t first, uint32_t second, uint32_t third) override;
    // The state a received packet gives an acknowledgement wait.
    int TakeReply(const CPacket& packet) override;

private:

    std::array<uint8_t, BOOT_ID_SIZE> m_BootId{};
    std::array<uint8_t, BOOT_INFO_SIZE> m_BootInfo{};
    std::array<uint8_t, BOOT_MEMORY_MAP_SIZE> m_MemoryMapData{};
    std::array<uint8_t, BOOT_POWER_INFO_SIZE> m_PowerInfo{};
    std::array<uint8_t, 4> m_BootValue{};  // little-endian, as received
};
