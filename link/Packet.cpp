#include "link/Packet.h"

CPacket::CPacket(int id, int length, const uint8_t* bytes) : m_nId(id), m_nLength(length)
{
    if (length > 0 && bytes != nullptr)
        m_Data.assign(bytes, bytes + length);
    else
        m_nLength = 0;
}

void CPacketParser::SetReplyTable(const ReplyLimit* table, int count)
{
    m_pReplyTable = table;
    m_nReplyCount = table != nullptr && count > 0 ? count : 0;
}

const ReplyLimit* CPacketParser::FindReply(int id) const
{
    for (int i = 0; i < m_nReplyCount; ++i) {
        if (m_pReplyTable[i].nId == id)
            return &m_pReplyTable[i];
    }
    return nullptr;
}

bool CPacketParser::Parse(const uint8_t* bytes, unsigned count)
{
    if (m_pReplyTable == nullptr || m_nReplyCount == 0)
        return false;
    if (bytes == nullptr)
        return true;
    for (unsigned i = 0; i < count; ++i)
        TakeByte(bytes[i]);
    return true;
}

bool CPacketParser::CollectField(uint8_t byte, int size, uint32_t& value)
{
    m_FieldBytes[m_nFieldPos++] = byte;
    if (m_nFieldPos < size)
        return false;
    value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | m_FieldBytes[i];
    m_nFieldPos = 0;
    return true;
}

// A byte that rejects the packet is consumed by that step: the hunt for the
// next start byte begins with the following byte.
void CPacketParser::TakeByte(uint8_t byte)
{
    uint32_t value = 0;
    switch (m_nState) {
    case PS_START:
        if (CollectField(byte, 1, value) && value == PACKET_START) {
            m_nSum = 0;
            m_nState = PS_ID;
        }
        break;
    case PS_ID:
        m_nSum += byte;
        if (CollectField(byte, 1, value)) {
            m_nId = static_cast<int>(value);
            m_nState = FindReply(m_nId) != nullptr ? PS_LENGTH : PS_START;
        }
        break;
    case PS_LENGTH:
        m_nSum += byte;
        if (CollectField(byte, 2, value)) {
            const ReplyLimit* pReply = FindReply(m_nId);
            // The payload buffer bounds every table maximum as well.
            if (pReply != nullptr && value <= pReply->nMaxLength && value <= PACKET_MAX_PAYLOAD) {
                m_nLength = static_cast<int>(value);
                m_nState = m_nLength > 0 ? PS_PAYLOAD : PS_CHECKSUM;
            } else {
                m_nState = PS_START;
            }
        }
        break;
    case PS_PAYLOAD:
        m_Payload[m_nFieldPos++] = byte;
        m_nSum += byte;
        if (m_nFieldPos >= m_nLength) {
            m_nFieldPos = 0;
            m_nState = PS_CHECKSUM;
        }
        break;
    case PS_CHECKSUM:
        if (CollectField(byte, 2, value)) {
            m_nState = (m_nSum & 0xFFFF) == value ? PS_END : PS_START;
            m_nDamaged += m_nState == PS_START;
        }
        break;
    case PS_END:
        if (CollectField(byte, 1, value) && value == PACKET_END)
            m_Packets.emplace_back(m_nId, m_nLength, m_Payload);
        else
            ++m_nDamaged;
        m_nState = PS_START;
        break;
    default:
        m_nState = PS_START;
        m_nFieldPos = 0;
        break;
    }
}

int CPacketParser::GetPacketCount() const
{
    return static_cast<int>(m_Packets.size());
}

bool CPacketParser::PopPacket(CPacket& packet)
{
    if (m_Packets.empty())
        return false;
    packet = std::move(m_Packets.front());
    m_Packets.pop_front();
    return true;
}

void CPacketParser::Reset()
{
    m_nState = PS_START;
    m_nFieldPos = 0;
    m_nSum = 0;
    m_Packets.clear();
}

std::vector<uint8_t> EncodePacket(uint8_t id, const uint8_t* bytes, size_t length)
{
    std::vector<uint8_t> packet;
    if (length > 0xFFFF || (bytes == nullptr && length > 0))
        return packet;
    packet.reserve(length + PACKET_OVERHEAD);
    packet.push_back(PACKET_START);
    packet.push_back(id);
    packet.push_back(static_cast<uint8_t>(length >> 8));
    packet.push_back(static_cast<uint8_t>(length));
    if (length > 0)
        packet.insert(packet.end(), bytes, bytes + length);
    uint32_t sum = 0;
    for (size_t i = 1; i < packet.size(); ++i)
        sum += packet[i];
    packet.push_back(static_cast<uint8_t>(sum >> 8));
    packet.push_back(static_cast<uint8_t>(sum));
    packet.push_back(PACKET_END);
    return packet;
}
