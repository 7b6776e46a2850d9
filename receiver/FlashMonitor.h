// The flash monitor as the virtual receiver runs it once the boot loader has
// started it: it announces itself (packet 0xA1) on the primary port at 19200
// baud until the host sends it a packet, and takes the fifteen command codes
// 0x90 to 0xA0 in packet 0xA2, RAM writes in packet 0xA4 and the upgrade
// record line in packet 0xA0 on any of its ports.
//
// 0x94 reads back and 0x97 sums any mapped memory, flash included, unless the
// configuration asks for a monitor that refuses flash or one that accepts
// every verify unread. Read-back also follows its own switch: any memory,
// flash only, or none at all (0x94 then is an unknown command). A read is
// answered only up to the configured largest read and only when its answer
// fits in the 1031 bytes the host takes (1024 data bytes in the status
// layout, 1023 in the mirror layout); anything else is refused.
//
// Flash work follows NOR rules (CReceiverMemory): 0x95 erases one sector
// and only at a sector's start, 0x96 programs from RAM and is refused when a
// byte does not end up as asked. 0x98 expands in place in RAM (ExpandInRam).
// 0x93 returns to the boot loader, except on boards 5, 7 and 9, which return
// to the application; 0x9A returns to the application; whichever way it is
// left, a boot loader that is not whole bricks the receiver (CBootWatch).
// With pacing or a slow flash configured, erase and program keep the monitor
// busy for a while. 0x96 writes at most 4096 bytes; a larger count is
// refused. 0x99 takes the configured list of rates, or else the boot
// loader's rates and 230400 to 921600 up to the configured highest rate; the
// new rate takes effect the configured delay after the acknowledgement.
//
// 0x94 answers in the configured layout (EReadReply). The damage fault
// spoils a staged boot image in RAM right after its data packet was taken.
//
// The parsers take commands of 13 bytes, data blocks of at most 1024 bytes and
// the 128-byte text (RXF_MONITOR_IN); a longer packet is dropped at its
// length field. A packet whose bytes stop coming for the configured gap is
// abandoned (never with gap 0).
//
// Answers go out on the port the packet came in on; the third port only
// listens, so its answers leave on the secondary port.
//
// Runs on the receiver's loop thread (CReceiverMode).
#pragma once

#include "receiver/FrameCodec.h"
#include "receiver/ReceiverMode.h"

#include <array>
#include <vector>

class CFlashMonitor : public CReceiverMode {
public:
    explicit CFlashMonitor(CReceiverCore& core);

    void Enter(CRxTime now) override;
    void OnBytes(int port, const uint8_t* bytes, size_t count, CRxTime now) override;
    void Tick(CRxTime now) override;
    CRxTime NextDeadline() const override;

private:
    void OnPacket(int port, uint8_t id, const std::vector<uint8_t>& payload, CRxTime now);
    void OnCommand(int port, uint8_t code, uint32_t a, uint32_t b, uint32_t c, CRxTime now);
    void OnData(int port, const std::vector<uint8_t>& payload, CRxTime now);
    void OnText(int port, const std::vector<uint8_t>& payload, CRxTime now);
    void Answer(int port, bool accepted, CRxTime now);
    bool Erase(uint32_t address, CRxTime now);
    bool ProgramFlash(uint32_t source, uint32_t count, uint32_t target, CRxTime now);
    void ReadBack(int port, uint32_t address, uint32_t length, CRxTime now);
    bool ReadAllowed(uint32_t address, uint32_t length, size_t head) const;
    bool Verify(uint32_t address, uint32_t length, uint32_t expected, CRxTime now);
    bool RefusesFlash(uint32_t address, uint32_t length) const;
    void LeaveWeakBit(uint32_t target, const std::vector<uint8_t>& before, const std::vector<uint8_t>& wanted,
                      bool disturb);
    void Work(uint32_t ms, CRxTime now);
    void FlashInfo(int port, CRxTime now);
    void ExtraInfo(int port, CRxTime now);
    void Leave(uint8_t code, bool toApplication, CRxTime now);
    void DamageBootImage(uint32_t address, uint32_t length);
    bool IsMonitorBaudRate(uint32_t baud) const;

    std::array<CPacketReader, 3> m_Readers;
    std::array<CRxTime, 3> m_LastByte{};
    bool m_bAnnouncing = true;
    uint32_t m_nProgramCommands = 0;  // over the monitor's life, for the weak-bit fault
    bool m_bLoseAnswer = false;       // the packet being handled has its acknowledgement lost
    CRxTime m_tNextAnnounce;
};
