// Binary packets of the boot loader and the flash monitor, and the incremental
// receive-side parser.
//
// On the wire (both directions): 0x01, id, payload length N (16-bit, high byte
// first), N payload bytes, 16-bit sum of id, length and payload bytes (high
// byte first), 0x04. No escaping: the end is found from the length.
//
// Each protocol manager owns one CPacketParser, gives it the manager's static
// table of acceptable replies and feeds it every batch of received bytes;
// a packet may arrive split over any number of batches. Bytes outside a
// packet, unknown ids, lengths over the table's maximum, checksum mismatches
// and wrong end bytes are dropped silently; the protocol waits only see the
// packets that pass and treat everything else as a time-out.
//
// Threading: a parser is used by one thread at a time (its manager's caller);
// it has no lock. CPacket is a plain value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

constexpr uint8_t PACKET_START = 0x01;
constexpr uint8_t PACKET_END = 0x04;
constexpr int PACKET_OVERHEAD = 7;          // start, id, length (2), checksum (2), end
constexpr uint32_t PACKET_MAX_PAYLOAD = 1280;  // largest payload the parser can hold

// One received (or to be sent) packet: id, payload length and its own copy of
// the payload (empty when the length is 0).
class CPacket {
public:
    CPacket() = default;
    CPacket(int id, int length, const uint8_t* bytes);

    int m_nId = 0;
    int m_nLength = 0;
    std::vector<uint8_t> m_Data;
};

// One acceptable reply: its id and the largest payload it may carry.
struct ReplyLimit {
    int32_t nId;
    uint32_t nMaxLength;
};

// Receive states.
constexpr int PS_START = 0;
constexpr int PS_ID = 1;
constexpr int PS_LENGTH = 2;
constexpr int PS_PAYLOAD = 3;
constexpr int PS_CHECKSUM = 4;
constexpr int PS_END = 5;

class CPacketParser {
public:
    CPacketParser() = default;
    virtual ~CPacketParser() = default;
    CPacketParser(const CPacketParser&) = delete;
    CPacketParser& operator=(const CPacketParser&) = delete;

    // The table must outlive the parser (the managers use static tables).
    void SetReplyTable(const ReplyLimit* table, int count);
    // Feeds received bytes; false, with nothing done, when no table is set.
    bool Parse(const uint8_t* bytes, unsigned count);
    int GetPacketCount() const;
    // Moves the oldest queued packet into `packet`; false (argument untouched)
    // when none is queued.
    bool PopPacket(CPacket& packet);
    // Back to hunting for a start byte; drops the partial and all queued packets.
    void Reset();
    int GetState() const { return m_nState; }
    // Packets that came whole up to their checksum and were dropped for a
    // wrong checksum or end byte: damage on the line. Kept over Reset.
    uint32_t GetDamagedCount() const { return m_nDamaged; }

private:
    const ReplyLimit* FindReply(int id) const;
    void TakeByte(uint8_t byte);
    // Appends a byte to the current field; true when the field of `size`
    // bytes is complete, its big-endian value then in `value`.
    bool CollectField(uint8_t byte, int size, uint32_t& value);

    int m_nState = PS_START;
    int m_nId = 0;
    int m_nLength = 0;
    uint8_t m_Payload[PACKET_MAX_PAYLOAD] = {};
    std::deque<CPacket> m_Packets;
    int m_nFieldPos = 0;
    uint8_t m_FieldBytes[4] = {};
    uint32_t m_nSum = 0;
    const ReplyLimit* m_pReplyTable = nullptr;
    int m_nReplyCount = 0;
    uint32_t m_nDamaged = 0;
};

// Builds one packet in the wire format. Empty when the payload is longer than
// the 16-bit length field can say, or when bytes is null with a length.
std::vector<uint8_t> EncodePacket(uint8_t id, const uint8_t* bytes, size_t length);
