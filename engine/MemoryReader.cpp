#include "engine/MemoryReader.h"

#include <algorithm>
#include <cstdio>

#include "link/QMonitorManager.h"
#include "package/ByteOrder.h"
#include "transfer/Crc32.h"

namespace CHERFLoaderLib {

namespace {
constexpr int READ_ATTEMPTS = 3;        // answers lost after a full wait
constexpr int READ_QUICK_ATTEMPTS = 8;  // quick losses asked again
constexpr int COMPARE_ATTEMPTS = 3;     // a piece that reads wrong is read again: its answer may be damaged
constexpr uint32_t READ_COMMAND_WIRE = 13 + 7;  // the command packet
constexpr uint32_t READ_ANSWER_WIRE = 8 + 7;    // the answer's header (at most) and framing
constexpr size_t HEADER_STATUS16 = 7;           // address, length (16 bits), status
constexpr size_t HEADER_LENGTH32 = 8;           // address, length (32 bits)
}  // namespace

CMemoryReader::CMemoryReader(CQMonitorManager& monitor, std::function<uint32_t()> baud, LossSink onLoss)
    : m_Monitor(monitor), m_Baud(std::move(baud)), m_OnLoss(std::move(onLoss))
{
}

void CMemoryReader::Forget()
{
    m_eLayout = m_eLastLayout = ELayout::Unknown;
    m_nPiece = MIN_PIECE;
}

const char* CMemoryReader::LayoutName(ELayout layout)
{
    switch (layout) {
    case ELayout::Status16: return "address, length (16 bits), status";
    case ELayout::Length32: return "address, length (32 bits)";
    default: return "unknown";
    }
}

uint32_t CMemoryReader::LayoutMost(ELayout layout)
{
    switch (layout) {
    case ELayout::Status16: return static_cast<uint32_t>(MON_READ_REPLY_MAX - HEADER_STATUS16);
    case ELayout::Length32: return static_cast<uint32_t>(MON_READ_REPLY_MAX - HEADER_LENGTH32);
    default: return MIN_PIECE;
    }
}

// The answer's size tells the two layouts apart: the header differs by one
// byte, and the length field must say what was asked.
CMemoryReader::ELayout CMemoryReader::LayoutOf(const std::vector<uint8_t>& payload, uint32_t address, uint32_t length)
{
    const uint8_t* p = payload.data();
    if (payload.size() < HEADER_STATUS16 || GetLe32(p) != address)
        return ELayout::Unknown;
    if (payload.size() == HEADER_STATUS16 + length && GetLe16(p + 4) == length && p[6] == 1)
        return ELayout::Status16;
    if (payload.size() == HEADER_LENGTH32 + length && GetLe32(p + 4) == length)
        return ELayout::Length32;
    return ELayout::Unknown;
}

CMemoryReader::ERead CMemoryReader::ReadPiece(uint32_t address, uint32_t length, std::vector<uint8_t>& bytes)
{
    const uint32_t wire = READ_COMMAND_WIRE + READ_ANSWER_WIRE + length;
    CPacket reply;
    ELayout layout = ELayout::Unknown;
    // An answer that is not this read's (damaged, another layout than the
    // monitor's) counts as lost: it is asked again.
    const int result = TimedExchange(
        m_Timer, wire, m_Baud(), READ_ATTEMPTS, READ_QUICK_ATTEMPTS,
        [&](int waitMs) {
            const int r = m_Monitor.Command(MON_CMD_READ_DATA, waitMs, address, length, 0, &reply);
            if (r != LINK_OK)
                return r;
            layout = reply.m_nId == MON_REPLY_DATA ? LayoutOf(reply.m_Data, address, length) : ELayout::Unknown;
            if (layout == ELayout::Unknown || (m_eLayout != ELayout::Unknown && layout != m_eLayout))
                return LINK_TIMEOUT;
            return LINK_OK;
        },
        [&](const CAnswerLoss& loss) {
            if (!m_OnLoss)
                return;
            char what[64];
            std::snprintf(what, sizeof what, "read of %u bytes at 0x%08X", length, address);
            m_OnLoss(what, loss);
        });
    if (result == LINK_OK) {
        const size_t header = layout == ELayout::Status16 ? HEADER_STATUS16 : HEADER_LENGTH32;
        bytes.assign(reply.m_Data.begin() + static_cast<std::ptrdiff_t>(header), reply.m_Data.end());
        m_eLastLayout = layout;
        ++m_nReads;
        return ERead::Read;
    }
    if (result == LINK_FAILED) {
        ++m_nRefusals;
        return ERead::Refused;
    }
    return ERead::Lost;
}

CMemoryReader::ERead CMemoryReader::ReadSized(uint32_t address, uint32_t length, std::vector<uint8_t>& bytes)
{
    ERead result = ReadPiece(address, length, bytes);
    if (result != ERead::Refused || length <= MIN_PIECE)
        return result;
    // A monitor whose answers carry less than it answered before: once at
    // half the size. Refused again, it is the memory it will not read.
    const uint32_t half = (length + 1) / 2;
    std::vector<uint8_t> rest;
    if ((result = ReadPiece(address, half, bytes)) != ERead::Read ||
        (result = ReadPiece(address + half, length - half, rest)) != ERead::Read)
        return result;
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    m_nPiece = std::min(m_nPiece, half);
    return ERead::Read;
}

uint32_t CMemoryReader::LearnLargestRead(uint32_t address, uint32_t floor)
{
    m_nPiece = floor;
    for (uint32_t size = LayoutMost(m_eLayout); size > floor; size = (size + 1) / 2) {
        std::vector<uint8_t> bytes;
        // A refused read, or an answer too long for the line's packets
        // (lost), means a smaller piece.
        if (ReadPiece(address, size, bytes) == ERead::Read) {
            m_nPiece = size;
            break;
        }
    }
    return m_nPiece;
}

CMemoryReader::ECompare CMemoryReader::Compare(uint32_t address, const std::vector<uint8_t>& expected,
                                               uint32_t& where, const std::function<void(uint32_t done)>& progress)
{
    const uint32_t total = static_cast<uint32_t>(expected.size());
    for (uint32_t offset = 0; offset < total;) {
        const uint32_t n = std::min(m_nPiece, total - offset);
        const uint32_t want = Crc32(expected.data() + offset, n);
        ECompare result = ECompare::Differs;
        for (int attempt = 0; attempt < COMPARE_ATTEMPTS && result == ECompare::Differs; ++attempt) {
            std::vector<uint8_t> piece;
            const ERead read = ReadSized(address + offset, n, piece);
            if (read == ERead::Refused)
                result = ECompare::Refused;
            else if (read == ERead::Lost)
                result = ECompare::Lost;
            else if (Crc32(piece.data(), piece.size()) == want)
                result = ECompare::Match;
        }
        if (result != ECompare::Match) {
            where = address + offset;
            return result;
        }
        offset += n;
        if (progress)
            progress(offset);
    }
    return ECompare::Match;
}

}  // namespace CHERFLoaderLib
