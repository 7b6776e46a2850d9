// The virtual receiver's boot loader, on the primary port at 19200 baud 8O1.
//
// It announces itself (packet 0x11) at a fixed interval until the host sends
// it a packet, answers the identity request 0x8E with the 38-byte identity
// record read from flash, and takes the boot commands: 0x84 check, 0x85
// speed change (after its acknowledgement), 0x8D memory-map record (only
// when configured), 0x8C power record, 0x14 RAM writes (RAM and monitor area
// only), 0x87 monitor start (only when the complete, unaltered monitor image
// of its board class lies at the monitor address), 0x81, 0x82 and 0x83
// (leave to the application) and 0x8A, 0x8F (restart the boot loader). It
// answers the wake text too and stays where it is.
//
// When the host flushes both directions of its line and then sends nothing
// for 250 ms, the boot loader takes it that the host starts over: it drops
// its session, returns to 19200 baud and announces itself again.
//
// Its parser takes commands of 7 bytes and data blocks of at most 1024 bytes
// (RXF_BOOT_IN); a longer packet is dropped at its length field. A packet
// whose bytes stop coming for the configured gap (100 ms by default, never
// with 0) is abandoned, so that line noise cannot hold the parser inside a
// false packet. The speed change takes effect the configured delay after its
// acknowledgement.
//
// Runs on the receiver's loop thread (CReceiverMode).
#pragma once

#include "receiver/FrameCodec.h"
#include "receiver/ReceiverMode.h"

#include <vector>

class CBootLoader : public CReceiverMode {
public:
    explicit CBootLoader(CReceiverCore& core);

    void Enter(CRxTime now) override;
    void OnBytes(int port, const uint8_t* bytes, size_t count, CRxTime now) override;
    void OnFlush(int port, bool input, bool output, CRxTime now) override;
    void Tick(CRxTime now) override;
    CRxTime NextDeadline() const override;

private:
    void OnPacket(uint8_t id, const std::vector<uint8_t>& payload, CRxTime now);
    void OnCommand(uint8_t code, uint32_t first, CRxTime now);
    void OnData(const std::vector<uint8_t>& payload, CRxTime now);
    void Answer(bool accepted, CRxTime now);
    bool MonitorImageInPlace() const;
    void LeaveToApplication(CRxTime now);

    CPacketReader m_Reader;
    CRxTime m_tLastByte;
    CTextWatch m_Wake;
    bool m_bAnnouncing = true;
    CRxTime m_tNextAnnounce;
    CRxTime m_tFlush = CRxTime::max();
};
