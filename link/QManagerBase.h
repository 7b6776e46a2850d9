// Common base of the protocol managers (boot loader, flash monitor,
// passthrough).
//
// Holds the serial ports (not owned), the packet parser and the connected
// flag; builds and sends packets; and defines the virtual interface through
// which the upgrade phases talk to whichever manager they hold. Every
// exchange is synchronous on the calling thread: purge, send one packet, then
// wait for the answer in slices of 200 ms until the caller's time-out. Answers
// are always read from the primary port; packets go out on the secondary port
// when one is set (two links can then share one receiving port).
//
// Operations that return int return the LINK_* codes of link/LinkResult.h.
//
// Threading: a manager is used by one thread at a time; it has no lock. The
// serial handler's own locks protect the ports. Two managers may run on two
// threads at once when they use distinct primary ports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/LinkResult.h"
#include "link/Packet.h"

class CSerialHandler;

constexpr uint32_t LINK_PURGE_RX = 0x0A;   // both receive flags: drop what came in
constexpr uint32_t LINK_PURGE_ALL = 0x0F;  // all four flags
constexpr int LINK_WAIT_SLICE_MS = 200;    // one poll of the receive ring in a reply wait
constexpr int LINK_READ_CHUNK = 2048;      // the most a wait reads in one batch
// The longest packet a receiver may be waiting to complete: a 4096-byte
// data block with its address and length words, and the packet's framing.
constexpr uint32_t LINK_FILLER_BYTES = 4096 + 8 + 7;

// Which of a command's three arguments go out; the others are sent as 0.
constexpr uint8_t LINK_ARG_FIRST = 0x1;
constexpr uint8_t LINK_ARG_SECOND = 0x2;
constexpr uint8_t LINK_ARG_THIRD = 0x4;
// A mode's own argument rule (the boot loader sends the GPS time instead).
constexpr uint8_t LINK_ARG_SPECIAL = 0x8;

// An awaited reply of LINK_ANY_REPLY: every packet is looked at, whatever
// was sent (TakeReply decides what it means).
constexpr int LINK_ANY_REPLY = -1;

// One entry of a mode's command table, indexed by kind.
struct CLinkCommand {
    unsigned nKind;
    uint8_t nCode;       // the byte on the wire
    uint8_t nArgs;       // LINK_ARG_* bits
    int nReply;          // the awaited reply's id, or LINK_ANY_REPLY
    bool bEndsLink;      // an accepted command leaves the mode: the link is over
    // A negative acknowledgement ends a wait for another reply: a monitor
    // refuses what it cannot answer, and waiting on would only run out.
    bool bRefusalEnds = false;
};

// What a mode's connect handshake looks for: its announcement, after which
// the host asks for its information with `nAskCode`; a packet of `nIgnored`
// (a status report) is passed over, any other ends the handshake.
struct CLinkHandshake {
    uint8_t nAnnounce;
    uint8_t nInfo;
    uint8_t nAskCode;
    int nIgnored;         // -1: none
    uint32_t nStartPurge;  // what is purged before the wait
};

class CQManagerBase {
public:
    CQManagerBase() = default;
    virtual ~CQManagerBase() = default;
    CQManagerBase(const CQManagerBase&) = delete;
    CQManagerBase& operator=(const CQManagerBase&) = delete;

    virtual void SetPorts(CSerialHandler* primary, CSerialHandler* secondary);
    // Only the boot and passthrough modes connect this way.
    virtual int Connect(int timeoutMs);
    virtual int Disconnect();
    // Builds one packet and queues it on the sending port; false when there
    // is no port, the payload is unusable or the port refuses the write.
    virtual bool SendPacket(uint8_t id, const uint8_t* bytes, uint16_t length);
    // Sends LINK_FILLER_BYTES filler bytes (0x00, never a start byte) on the
    // sending port. A receiver whose parser read a damaged length field waits
    // for bytes that never come and takes every later packet as part of that
    // one; the filler completes it, its sum fails, and the receiver hunts for
    // the next start byte again. False when the port refuses the write.
    bool SendFiller();
    virtual int Command(unsigned kind, int timeoutMs, uint32_t first, uint32_t second,
                        uint32_t third, CPacket* reply) = 0;
    virtual int WaitForAck(int timeoutMs) = 0;
    virtual int SendData(const uint8_t* bytes, uint32_t address, uint32_t length,
                         int timeoutMs) = 0;
    virtual bool PollStatus(int& first, int& second);

    bool IsConnected() const { return m_bConnected; }
    // What the line did to this manager's exchanges since the last
    // ResetLineFaults: waits that ran out and damaged packets dropped.
    uint32_t LineFaults() const { return m_nTimeouts + m_Parser.GetDamagedCount() - m_nDamagedBase; }
    void ResetLineFaults()
    {
        m_nTimeouts = 0;
        m_nDamagedBase = m_Parser.GetDamagedCount();
    }
    CSerialHandler* GetPrimary() const { return m_pPrimary; }
    CSerialHandler* GetSecondary() const { return m_pSecondary; }

protected:
    // The table-driven command: purge and reset, refuse when not connected or
    // the kind is outside the table, send (SendCommandPacket), wait for the
    // entry's reply, and end the link when an accepted command ends it.
    int RunCommand(const CLinkCommand* table, unsigned count, unsigned kind, int timeoutMs, uint32_t first,
                   uint32_t second, uint32_t third, CPacket* reply);
    // Sends one command packet of the mode with the arguments its entry
    // carries (those it does not are already 0).
    // The base sends nothing (a mode without packet commands).
    virtual bool SendCommandPacket(const CLinkCommand& command, uint32_t first, uint32_t second, uint32_t third);
    // The reply wait: slices of the primary port until `timeoutMs`, packets
    // of `expectedId` (or every packet, with LINK_ANY_REPLY) given to
    // TakeReply until it leaves LINK_WAITING. The time-out is checked after
    // every batch, also one that has just ended the wait: an answer that
    // comes only as the time-out runs out counts as none.
    int WaitForReply(int timeoutMs, int expectedId, CPacket& reply, bool refusalEnds = false);
    // The state an awaited packet gives a reply wait (LINK_WAITING: go on),
    // filling the mode's information blocks. The base takes none.
    virtual int TakeReply(const CPacket& packet);
    // The connect handshake: wait for the announcement (kept in `id`), ask for
    // the information (kept in `info`), connected when it comes.
    int RunHandshake(const CLinkHandshake& handshake, int timeoutMs, uint8_t* id, size_t idSize, uint8_t* info,
                     size_t infoSize);
    // The status poll: counts the status reports `statusId` waiting now.
    bool PollStatusOf(int statusId, int& first, int& second);
    // An acknowledgement's state: positive only with the byte 1.
    static int AckState(const CPacket& packet);

    // The port packets go out on: the secondary when set, else the primary.
    CSerialHandler* SendingPort() const;
    bool PurgePrimary(uint32_t flags);
    // Waits up to `sliceMs` for bytes on the primary port and feeds all that
    // are there to the parser. False when no bytes came.
    bool ReceiveBatch(int sliceMs);
    // The slice of a reply wait: LINK_WAIT_SLICE_MS, or what is left of the
    // wait when that is less, so that a short wait is not drawn out to a
    // whole slice.
    static int SliceFor(int timeoutMs, int64_t elapsedMs);
    // Reads whatever the primary port holds now, without waiting, into the
    // parser. False when there was nothing.
    bool DrainPrimary();
    // Counts the queued status packets of `statusId`: payload byte not 0 adds
    // to first, 0 (or no byte) to second; other packets are discarded.
    void CountStatus(int statusId, int& first, int& second);
    // Copies at most `size` bytes of a reply into an information block; a
    // shorter reply leaves the rest of the block as it was.
    static void FillBlock(uint8_t* block, size_t size, const CPacket& packet);
    // Builds and sends a payload of address, length and data bytes.
    bool SendAddressedData(uint8_t id, const uint8_t* bytes, uint32_t address, uint32_t length);

    CSerialHandler* m_pPrimary = nullptr;
    CSerialHandler* m_pSecondary = nullptr;
    CPacketParser m_Parser;
    bool m_bConnected = false;
    int m_nAckId = -1;            // the mode's acknowledgement, for refusals that end a wait
    uint32_t m_nTimeouts = 0;     // reply waits that ran out
    uint32_t m_nDamagedBase = 0;  // the parser's damaged count at the last reset
};
