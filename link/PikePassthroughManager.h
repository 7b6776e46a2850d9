// The passthrough switch for receivers that sit inside a handheld.
//
// Such a receiver is reached through the handheld's passthrough mode: line
// breaks wake it until it answers with one acknowledgement byte 0x06, then
// three short frames (0x02, 0x00, type, N, N data bytes, check byte, 0x03)
// switch it over. After that the connection phase talks to the boot loader
// with its own manager. Only Connect does anything here; the packet commands
// of the other modes are refused.
//
// Used by the connection phase on the upgrade worker thread, for one
// connection step; no lock of its own.
#pragma once

#include <cstdint>

#include "link/QManagerBase.h"

constexpr uint8_t PASS_FRAME_START = 0x02;
constexpr uint8_t PASS_FRAME_END = 0x03;
constexpr uint8_t PASS_ACK = 0x06;
constexpr uint8_t PASS_TYPE_WRITE = 0x81;
constexpr uint8_t PASS_TYPE_SWITCH = 0x85;
constexpr uint8_t PASS_MAX_DATA = 250;
constexpr int PASS_BREAK_MS = 500;
constexpr int PASS_ACK_WAIT_MS = 100;
constexpr int PASS_FRAME_PAUSE_MS = 500;
constexpr int PASS_DRAIN_MS = 100;  // time for the last frame to leave before the purge

class CPikePassthroughManager : public CQManagerBase {
public:
    CPikePassthroughManager() = default;
    ~CPikePassthroughManager() override = default;

    // LINK_OK when the receiver acknowledged and the three frames were sent,
    // LINK_TIMEOUT when no acknowledgement came within the time-out.
    int Connect(int timeoutMs) override;
    int Command(unsigned kind, int timeoutMs, uint32_t first, uint32_t second, uint32_t third,
                CPacket* reply) override;
    int WaitForAck(int timeoutMs) override;
    int SendData(const uint8_t* bytes, uint32_t address, uint32_t length, int timeoutMs) override;

private:
    // Builds the frame from m_nCode, m_nDataLength and m_Data and writes it.
    bool SendFrame();
    // A type 0x81 frame: the address (high byte first), then the bytes.
    bool SendAddressed(uint32_t address, const uint8_t* bytes, int count);
    // Breaks until a 0x06 comes back or the time-out passes.
    bool WaitForWakeUp(int timeoutMs);

    uint8_t m_nCheck = 0;
    uint8_t m_nCode = 0;
    uint8_t m_nDataLength = 0;
    uint8_t m_Data[256] = {};
    uint8_t m_Frame[256] = {};
    int m_nFrameLength = 0;
};
