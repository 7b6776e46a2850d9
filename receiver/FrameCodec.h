// The receiver's own wire formats: the binary packet shared by its boot loader
// and flash monitor, and the 0x02 ... 0x03 frames of its application's
// information packet and of the handheld's passthrough switch.
//
// The virtual receiver is an independent device: it does not reuse the
// host's parser, so a host that frames packets wrongly is caught here. Each
// packet parser takes the ids of one table (what the host sends the boot
// loader, or the monitor), each up to its longest payload, as the device's
// own parsers do; the modes decide what an id means. The receiver's replies
// have a table too: none may be longer than the host takes.
//
// Plain values; one parser per port, used by the receiver's loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

constexpr uint8_t RXF_PACKET_START = 0x01;
constexpr uint8_t RXF_PACKET_END = 0x04;
constexpr uint8_t RXF_FRAME_START = 0x02;
constexpr uint8_t RXF_FRAME_END = 0x03;

// The longest payload one packet id may carry.
struct CRxPacketLimit {
    uint8_t m_nId;
    uint16_t m_wMax;
};

// The ids a parser takes, or a side sends, each with its longest payload.
struct CRxPacketTable {
    const CRxPacketLimit* m_pRows;
    size_t m_nRows;
    // False when the id is not in the table.
    bool Find(uint8_t id, uint32_t& max) const;
};

// The host's data blocks carry at most 1024 bytes behind their address and
// length words.
constexpr uint32_t RXF_DATA_MAX = 1024;
// The longest read-back answer (0xA4) the host takes.
constexpr uint16_t RXF_READ_REPLY_MAX = 1031;

// What the host sends the boot loader: commands (code, uint32, uint16) and
// data blocks.
inline constexpr CRxPacketLimit RXF_BOOT_IN_ROWS[] = {{0x12, 7}, {0x14, 8 + RXF_DATA_MAX}};
// What the host sends the flash monitor: commands (code, three uint32), data
// blocks and the upgrade record's text.
inline constexpr CRxPacketLimit RXF_MONITOR_IN_ROWS[] = {
    {0xA2, 13}, {0xA4, 8 + RXF_DATA_MAX}, {0xA0, 128}};
// What the boot loader and the monitor send: the longest payload the host
// takes for each reply. 0xA7 (the answer to 0x9D) is not in the host's
// table; the monitor answers with it all the same.
inline constexpr CRxPacketLimit RXF_REPLY_ROWS[] = {
    {0x11, 5},  {0x13, 1},  {0x15, 38}, {0x16, 72},
    {0x17, 24}, {0x18, 1},  {0x19, 4},  {0xA1, 5},
    {0xA3, 1},  {0xA4, RXF_READ_REPLY_MAX}, {0xA5, 38}, {0xA6, 20},
    {0xA7, 4},  {0xA8, 64}, {0xA9, 1}};
inline constexpr CRxPacketTable RXF_BOOT_IN{RXF_BOOT_IN_ROWS, std::size(RXF_BOOT_IN_ROWS)};
inline constexpr CRxPacketTable RXF_MONITOR_IN{RXF_MONITOR_IN_ROWS, std::size(RXF_MONITOR_IN_ROWS)};
inline constexpr CRxPacketTable RXF_REPLIES{RXF_REPLY_ROWS, std::size(RXF_REPLY_ROWS)};

// 0x01, id, length (big-endian), payload, 16-bit sum (big-endian), 0x04.
std::vector<uint8_t> RxEncodePacket(uint8_t id, const uint8_t* payload, size_t length);
inline std::vector<uint8_t> RxEncodePacket(uint8_t id, const std::vector<uint8_t>& payload)
{
    return RxEncodePacket(id, payload.data(), payload.size());
}

// 0x02, status, type, length, data, check byte, 0x03. The check byte is the
// 8-bit sum of status, type, length and data. At most 255 data bytes.
std::vector<uint8_t> RxEncodeFrame(uint8_t status, uint8_t type, const uint8_t* data, size_t length);

// What one byte did to a packet parser.
enum ERxFeed {
    RXF_MORE,      // nothing complete yet (or a packet was spoiled)
    RXF_PACKET,    // a packet is complete: Id() and Payload()
    RXF_OVERSIZE,  // a length field above its id's limit dropped the packet
};

// Incremental packet parser over one table of ids: feed bytes one at a time;
// a complete packet with a correct sum and end byte is reported once. An id
// not in the table is dropped at the id, a length above the id's limit at the
// length field, a bad sum or end byte where it shows; the parser then hunts
// for the next start byte after the byte that spoiled the packet.
class CPacketReader {
public:
    explicit CPacketReader(const CRxPacketTable& table) : m_Table(table) {}
    ERxFeed Feed(uint8_t byte);
    void Reset();
    uint8_t Id() const { return m_nId; }
    const std::vector<uint8_t>& Payload() const { return m_Payload; }
    bool InPacket() const { return m_nState != 0; }

private:
    CRxPacketTable m_Table;
    int m_nState = 0;
    uint8_t m_nId = 0;
    uint32_t m_nLength = 0;
    uint32_t m_nLimit = 0;  // the longest payload of the id being read
    uint32_t m_nSum = 0;
    uint16_t m_wField = 0;
    std::vector<uint8_t> m_Payload;
};

// Incremental parser of 0x02 status type length data check 0x03 frames.
class CFrameReader {
public:
    bool Feed(uint8_t byte);
    void Reset();
    uint8_t Type() const { return m_nType; }
    const std::vector<uint8_t>& Data() const { return m_Data; }

private:
    int m_nState = 0;
    uint8_t m_nType = 0;
    uint8_t m_nLength = 0;
    uint8_t m_nSum = 0;
    std::vector<uint8_t> m_Data;
};

// Little-endian helpers for payloads.
uint32_t RxGetLe32(const uint8_t* p);
uint16_t RxGetLe16(const uint8_t* p);
void RxPutLe32(uint8_t* p, uint32_t value);
void RxPutLe16(uint8_t* p, uint16_t value);

// Watches a byte stream for one text, wherever it starts and however the
// stream is cut into sends.
class CTextWatch {
public:
    explicit CTextWatch(const char* text) : m_pszText(text) {}
    // True when `byte` completes the text.
    bool Feed(uint8_t byte);
    void Reset() { m_Window.clear(); }

private:
    const char* m_pszText;
    std::vector<uint8_t> m_Window;
};
