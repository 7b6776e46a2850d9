// The receiver's own wire formats: the binary packet shared by its boot loader
// and flash monitor, and the 0x02 ... 0x03 frames of its application's
// information packet and of the handheld's passthrough switch.
//
// The virtual receiver is an independent device: it does not reuse the
// host's parser, so a host that frames packets wrongly is caught here. The
// packet parser accepts any id; the modes decide what an id means.
//
// Plain values; one parser per port, used by the receiver's loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint8_t RXF_PACKET_START = 0x01;
constexpr uint8_t RXF_PACKET_END = 0x04;
constexpr uint8_t RXF_FRAME_START = 0x02;
constexpr uint8_t RXF_FRAME_END = 0x03;
// Longest payload the receiver takes: a 4096-byte data block and its address
// and length words. Longer packets are dropped as line noise.
constexpr uint32_t RXF_MAX_PAYLOAD = 4104;

// 0x01, id, length (big-endian), payload, 16-bit sum (big-endian), 0x04.
std::vector<uint8_t> RxEncodePacket(uint8_t id, const uint8_t* payload, size_t length);
inline std::vector<uint8_t> RxEncodePacket(uint8_t id, const std::vector<uint8_t>& payload)
{
    return RxEncodePacket(id, payload.data(), payload.size());
}

// 0x02, status, type, length, data, check byte, 0x03. The check byte is the
// 8-bit sum of status, type, length and data. At most 255 data bytes.
std::vector<uint8_t> RxEncodeFrame(uint8_t status, uint8_t type, const uint8_t* data, size_t length);

// Incremental packet parser: feed bytes one at a time; a complete packet with
// a correct sum and end byte is reported once. Bad packets are dropped and the
// parser hunts for the next start byte after the byte that spoiled them.
class CPacketReader {
public:
    // True when `byte` completed a packet; read it from Id() and Payload().
    bool Feed(uint8_t byte);
    void Reset();
    uint8_t Id() const { return m_nId; }
    const std::vector<uint8_t>& Payload() const { return m_Payload; }
    bool InPacket() const { return m_nState != 0; }

private:
    int m_nState = 0;
    uint8_t m_nId = 0;
    uint32_t m_nLength = 0;
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
