#include "receiver/FrameCodec.h"

std::vector<uint8_t> RxEncodePacket(uint8_t id, const uint8_t* payload, size_t length)
{
    std::vector<uint8_t> out;
    out.reserve(length + 7);
    out.push_back(RXF_PACKET_START);
    out.push_back(id);
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length));
    uint32_t sum = id + static_cast<uint8_t>(length >> 8) + static_cast<uint8_t>(length);
    for (size_t i = 0; i < length; ++i) {
        out.push_back(payload[i]);
        sum += payload[i];
    }
    out.push_back(static_cast<uint8_t>(sum >> 8));
    out.push_back(static_cast<uint8_t>(sum));
    out.push_back(RXF_PACKET_END);
    return out;
}

std::vector<uint8_t> RxEncodeFrame(uint8_t status, uint8_t type, const uint8_t* data, size_t length)
{
    if (length > 255)
        length = 255;
    std::vector<uint8_t> out{RXF_FRAME_START, status, type, static_cast<uint8_t>(length)};
    uint8_t check = static_cast<uint8_t>(status + type + length);
    for (size_t i = 0; i < length; ++i) {
        out.push_back(data[i]);
        check = static_cast<uint8_t>(check + data[i]);
    }
    out.push_back(check);
    out.push_back(RXF_FRAME_END);
    return out;
}

bool CRxPacketTable::Find(uint8_t id, uint32_t& max) const
{
    for (size_t i = 0; i < m_nRows; ++i) {
        if (m_pRows[i].m_nId == id) {
            max = m_pRows[i].m_wMax;
            return true;
        }
    }
    return false;
}

// States: 0 start, 1 id, 2 length high, 3 length low, 4 payload,
// 5 sum high, 6 sum low, 7 end.
ERxFeed CPacketReader::Feed(uint8_t byte)
{
    switch (m_nState) {
    case 0:
        if (byte == RXF_PACKET_START) {
            m_nSum = 0;
            m_Payload.clear();
            m_nState = 1;
        }
        return RXF_MORE;
    case 1:
        m_nId = byte;
        m_nSum += byte;
        m_nState = m_Table.Find(byte, m_nLimit) ? 2 : 0;
        return RXF_MORE;
    case 2:
        m_wField = static_cast<uint16_t>(byte << 8);
        m_nSum += byte;
        m_nState = 3;
        return RXF_MORE;
    case 3:
        m_nLength = m_wField | byte;
        m_nSum += byte;
        // A parser with fixed buffers cannot follow a longer packet: it
        // drops it here and looks for the next start byte in what follows.
        if (m_nLength > m_nLimit) {
            m_nState = 0;
            return RXF_OVERSIZE;
        }
        m_nState = m_nLength ? 4 : 5;
        return RXF_MORE;
    case 4:
        m_Payload.push_back(byte);
        m_nSum += byte;
        if (m_Payload.size() == m_nLength)
            m_nState = 5;
        return RXF_MORE;
    case 5:
        m_wField = static_cast<uint16_t>(byte << 8);
        m_nState = 6;
        return RXF_MORE;
    case 6:
        m_nState = ((m_wField | byte) == (m_nSum & 0xFFFF)) ? 7 : 0;
        return RXF_MORE;
    default:
        m_nState = 0;
        return byte == RXF_PACKET_END ? RXF_PACKET : RXF_MORE;
    }
}

void CPacketReader::Reset()
{
    m_nState = 0;
    m_Payload.clear();
}

// States: 0 start, 1 status, 2 type, 3 length, 4 data, 5 check, 6 end.
bool CFrameReader::Feed(uint8_t byte)
{
    switch (m_nState) {
    case 0:
        if (byte == RXF_FRAME_START)
            m_nState = 1;
        return false;
    case 1:
        m_nSum = byte;
        m_nState = byte == 0 ? 2 : 0;
        return false;
    case 2:
        m_nType = byte;
        m_nSum = static_cast<uint8_t>(m_nSum + byte);
        m_nState = 3;
        return false;
    case 3:
        m_nLength = byte;
        m_nSum = static_cast<uint8_t>(m_nSum + byte);
        m_Data.clear();
        m_nState = byte ? 4 : 5;
        return false;
    case 4:
        m_Data.push_back(byte);
        m_nSum = static_cast<uint8_t>(m_nSum + byte);
        if (m_Data.size() == m_nLength)
            m_nState = 5;
        return false;
    case 5:
        m_nState = byte == m_nSum ? 6 : 0;
        return false;
    default:
        m_nState = 0;
        return byte == RXF_FRAME_END;
    }
}

void CFrameReader::Reset()
{
    m_nState = 0;
    m_Data.clear();
}

uint32_t RxGetLe32(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t RxGetLe16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void RxPutLe32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void RxPutLe16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

bool CTextWatch::Feed(uint8_t byte)
{
    size_t n = 0;
    while (m_pszText[n])
        ++n;
    m_Window.push_back(byte);
    if (m_Window.size() > n)
        m_Window.erase(m_Window.begin());
    if (m_Window.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (m_Window[i] != static_cast<uint8_t>(m_pszText[i]))
            return false;
    m_Window.clear();
    return true;
}
