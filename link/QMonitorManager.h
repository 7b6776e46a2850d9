// The flash-monitor protocol.
//
// The monitor is a small program the upgrade writes into the receiver's RAM
// through the boot loader. Once started it announces itself (packet 0xA1);
// ConnectMonitor then asks for its information (0xA5) and checks that it is
// ready. Commands go out as packet 0xA2 (code and three 32-bit arguments),
// image data as 0xA4 and the upgrade record text as 0xA0; the monitor answers
// each with an acknowledgement 0xA3 (byte 1 = accepted) or with the reply the
// command table names. Used by the monitor upload, data upload, verify, flash
// and completion phases, and by the closing sequence.
//
// Threading: one thread at a time per manager. During the data upload the
// primary and secondary managers run on two threads with distinct ports.
#pragma once

#include <array>
#include <cstdint>

#include "link/QManagerBase.h"

// Packets the host sends to the monitor.
constexpr uint8_t MON_PKT_TEXT = 0xA0;
constexpr uint8_t MON_PKT_COMMAND = 0xA2;
constexpr uint8_t MON_PKT_DATA = 0xA4;

// Packets the monitor sends.
constexpr uint8_t MON_REPLY_ANNOUNCE = 0xA1;
constexpr uint8_t MON_REPLY_ACK = 0xA3;
constexpr uint8_t MON_REPLY_DATA = 0xA4;
constexpr uint8_t MON_REPLY_INFO = 0xA5;
constexpr uint8_t MON_REPLY_FLASH = 0xA6;
constexpr uint8_t MON_REPLY_EXTRA_WAIT = 0xA7;  // awaited by kind 13; the monitor never sends it
constexpr uint8_t MON_REPLY_EXTRA = 0xA8;
constexpr uint8_t MON_REPLY_STATUS = 0xA9;

// Command kinds (the caller's numbers, not the codes on the wire).
constexpr unsigned MON_CMD_READY = 0;
constexpr unsigned MON_CMD_END_LINK_91 = 1;
constexpr unsigned MON_CMD_END_LINK_92 = 2;
constexpr unsigned MON_CMD_RETURN_TO_BOOT = 3;
constexpr unsigned MON_CMD_CLOSE = 4;
constexpr unsigned MON_CMD_READ_DATA = 5;
constexpr unsigned MON_CMD_PREPARE_FLASH = 6;
constexpr unsigned MON_CMD_PROGRAM_FLASH = 7;
constexpr unsigned MON_CMD_VERIFY = 8;
constexpr unsigned MON_CMD_EXPAND = 9;
constexpr unsigned MON_CMD_SET_SPEED = 10;
constexpr unsigned MON_CMD_READ_INFO = 11;
constexpr unsigned MON_CMD_READ_FLASH_INFO = 12;
constexpr unsigned MON_CMD_QUERY_9D = 13;
constexpr unsigned MON_CMD_READ_EXTRA = 14;
constexpr unsigned MON_CMD_COUNT = 15;

constexpr size_t MON_ID_SIZE = 5;
constexpr size_t MON_INFO_SIZE = 38;
constexpr size_t MON_FLASH_INFO_SIZE = 20;
constexpr size_t MON_EXTRA_INFO_SIZE = 64;
constexpr size_t MON_TEXT_SIZE = 128;
// The largest read-back reply (0xA4) the host takes. Monitors lay it out as
// the address, a 16-bit length and a status byte before the bytes (so at
// most 1024 bytes fit), or as the address and a 32-bit length (at most
// 1023); a longer packet is dropped as noise.
constexpr size_t MON_READ_REPLY_MAX = 1031;

class CQMonitorManager : public CQManagerBase {
public:
    CQMonitorManager();
    ~CQMonitorManager() override = default;

    int Command(unsigned kind, int timeoutMs, uint32_t first, uint32_t second, uint32_t third,
                CPacket* reply) override;
    int WaitForAck(int timeoutMs) override;
    int SendData(const uint8_t* bytes, uint32_t address, uint32_t length, int timeoutMs) override;
    bool PollStatus(int& first, int& second) override;
    // The connect handshake: wait for the announcement, ask for the monitor
    // information, then run a ready check. With alreadyRunning (a second link
    // to a monitor that is running) only the ready check is made.
    virtual int ConnectMonitor(int timeoutMs, bool alreadyRunning);
    // Whether a monitor already runs on the primary port (one that an earlier
    // host left there): a ready check within `timeoutMs`. Connected when it
    // answers, not connected otherwise.
    int CheckRunning(int timeoutMs);
    // Sends a text record (at most 127 characters are sent) and awaits the
    // acknowledgement.
    int SendText(const char* text, int timeoutMs);

    // Information blocks, exactly as received. A reply shorter than its block
    // fills only the block's first bytes; the rest keep their earlier values.
    const std::array<uint8_t, MON_ID_SIZE>& GetMonitorId() const { return m_MonitorId; }
    const std::array<uint8_t, MON_INFO_SIZE>& GetMonitorInfo() const { return m_MonitorInfo; }
    const std::array<uint8_t, MON_FLASH_INFO_SIZE>& GetFlashInfo() const { return m_FlashInfo; }
    const std::array<uint8_t, MON_EXTRA_INFO_SIZE>& GetExtraInfo() const { return m_ExtraInfo; }

protected:
    bool SendCommandPacket(const CLinkCommand& command, uint32_t first, uint32_t second, uint32_t third) override;
    // The state a packet of the awaited id gives a reply wait.
    int TakeReply(const CPacket& packet) override;

private:

    std::array<uint8_t, MON_ID_SIZE> m_MonitorId{};
    std::array<uint8_t, MON_INFO_SIZE> m_MonitorInfo{};
    std::array<uint8_t, MON_FLASH_INFO_SIZE> m_FlashInfo{};
    std::array<uint8_t, MON_EXTRA_INFO_SIZE> m_ExtraInfo{};
};
