#include "receiver/BootLoader.h"

#include "receiver/ReceiverCore.h"
#include "receiver/ReceiverFirmware.h"
#include "transfer/MonitorImages.h"

#include <cstring>

namespace {
constexpr uint8_t BOOT_ANNOUNCE = 0x11;
constexpr uint8_t BOOT_COMMAND = 0x12;
constexpr uint8_t BOOT_ACK = 0x13;
constexpr uint8_t BOOT_DATA = 0x14;
constexpr uint8_t BOOT_INFO = 0x15;
constexpr uint8_t BOOT_MEMORY_MAP = 0x16;
constexpr uint8_t BOOT_POWER = 0x17;
constexpr auto START_OVER_SILENCE = std::chrono::milliseconds(250);
const char* const WAKE_TEXT = "PoLkAdOtSy";
const char* const WAKE_ANSWER = "tUrNiPgReEnSo";
}  // namespace

CBootLoader::CBootLoader(CReceiverCore& core)
    : CReceiverMode(core), m_Reader(RXF_BOOT_IN), m_Wake(WAKE_TEXT)
{
}

void CBootLoader::Enter(CRxTime now)
{
    m_Core.SetSpeed(19200);
    m_Reader.Reset();
    m_Wake.Reset();
    m_bAnnouncing = true;
    m_tNextAnnounce = now;
    m_tFlush = CRxTime::max();
}

void CBootLoader::OnBytes(int port, const uint8_t* bytes, size_t count, CRxTime now)
{
    if (port != 0)
        return;
    m_tFlush = CRxTime::max();
    if (m_Core.PacketGapPassed(m_tLastByte, now))
        m_Reader.Reset();
    m_tLastByte = now;
    for (size_t i = 0; i < count && m_Core.Mode() == RXM_BOOT; ++i) {
        if (m_Wake.Feed(bytes[i])) {
            std::vector<uint8_t> answer(WAKE_ANSWER, WAKE_ANSWER + std::strlen(WAKE_ANSWER));
            m_Core.Send(0, answer, now);
        }
        const ERxFeed fed = m_Reader.Feed(bytes[i]);
        if (fed == RXF_OVERSIZE)
            ++m_Core.Stats().m_nOversizePackets;
        else if (fed == RXF_PACKET)
            OnPacket(m_Reader.Id(), m_Reader.Payload(), now);
    }
}

void CBootLoader::OnFlush(int port, bool input, bool output, CRxTime now)
{
    if (port == 0 && input && output)
        m_tFlush = now;
}

void CBootLoader::Tick(CRxTime now)
{
    if (m_tFlush != CRxTime::max() && now >= m_tFlush + START_OVER_SILENCE) {
        Enter(now);
        m_Core.ClearDataHistory();
    }
    if (m_bAnnouncing && now >= m_tNextAnnounce) {
        uint8_t id[5];
        RxPutLe32(id, ReadFlashVersions(m_Core.Memory()).m_wBootVersion);
        id[4] = static_cast<uint8_t>(m_Core.Config().m_nBoardId);
        m_Core.SendPacket(0, BOOT_ANNOUNCE, std::vector<uint8_t>(id, id + 5), now);
        m_tNextAnnounce = now + std::chrono::milliseconds(m_Core.Config().m_nAnnounceMs);
    }
}

CRxTime CBootLoader::NextDeadline() const
{
    CRxTime next = m_bAnnouncing ? m_tNextAnnounce : CRxTime::max();
    if (m_tFlush != CRxTime::max())
        next = std::min(next, m_tFlush + START_OVER_SILENCE);
    return next;
}

void CBootLoader::Answer(bool accepted, CRxTime now)
{
    m_Core.SendPacket(0, BOOT_ACK, {static_cast<uint8_t>(accepted ? 1 : 0)}, now);
}

void CBootLoader::OnPacket(uint8_t id, const std::vector<uint8_t>& payload, CRxTime now)
{
    ++m_Core.Stats().m_Ports[0].m_nPacketsIn;
    m_bAnnouncing = false;
    if (id == BOOT_COMMAND) {
        if (payload.size() < 7)
            return Answer(false, now);
        if (m_Core.ShouldRefuse(payload[0]))
            return Answer(false, now);
        OnCommand(payload[0], RxGetLe32(&payload[1]), now);
    } else if (id == BOOT_DATA) {
        if (m_Core.ShouldRefuse(RXR_DATA))
            return Answer(false, now);
        OnData(payload, now);
    }
}

void CBootLoader::OnCommand(uint8_t code, uint32_t first, CRxTime now)
{
    switch (code) {
    case 0x8E:
        m_Core.NoteBootContact();
        m_Core.SendPacket(0, BOOT_INFO, BuildIdentityRecord(m_Core.Memory(), m_Core.Config()),
                          now);
        return;
    case 0x84:
        return Answer(true, now);
    case 0x85:
        if (m_Core.Config().m_bRefuseSpeed || !IsReceiverBaudRate(first))
            return Answer(false, now);
        Answer(true, now);
        m_Core.SwitchSpeedAfterAnswer(first, now);  // the acknowledgement leaves at the old rate
        return;
    case 0x8D:
        if (!m_Core.Config().m_bMemoryMapReply)
            return Answer(false, now);
        m_Core.SendPacket(0, BOOT_MEMORY_MAP, m_Core.Memory().MemoryMapRecord(), now);
        return;
    case 0x8C: {
        std::vector<uint8_t> power(24, 0);
        float reading = m_Core.Config().m_fPower;
        std::memcpy(&power[16], &reading, sizeof reading);
        m_Core.SendPacket(0, BOOT_POWER, power, now);
        return;
    }
    case 0x87:
        if (!MonitorImageInPlace())
            return Answer(false, now);
        Answer(true, now);
        ++m_Core.Stats().m_nMonitorStarts;
        m_Core.EnterMode(RXM_MONITOR, now);
        return;
    case 0x81:
    case 0x82:
    case 0x83:
        Answer(true, now);
        m_Core.NoteLeaveBoot();
        return LeaveToApplication(now);
    case 0x8A:
    case 0x8F:
        Answer(true, now);
        return m_Core.EnterMode(RXM_BOOT, now);
    default:
        return Answer(false, now);
    }
}

void CBootLoader::OnData(const std::vector<uint8_t>& payload, CRxTime now)
{
    if (payload.size() < 8)
        return Answer(false, now);
    uint32_t address = RxGetLe32(&payload[0]);
    uint32_t length = RxGetLe32(&payload[4]);
    if (payload.size() - 8 != length)
        return Answer(false, now);
    ERxArea area = m_Core.Memory().Area(address, length);
    if (area != RXA_RAM && area != RXA_MONITOR)
        return Answer(false, now);
    m_Core.Memory().WriteRam(address, payload.data() + 8, length);
    m_Core.NoteData(0, address);
    Answer(true, now);
}

bool CBootLoader::MonitorImageInPlace() const
{
    const CReceiverMemory& memory = m_Core.Memory();
    CMonitorImage image = GetMonitorImage(memory.Board().m_nMapType);
    if (!image.pData || image.nLength == 0)
        return false;
    std::vector<uint8_t> held(image.nLength);
    if (!memory.Read(memory.Board().m_nMonitorAddress, held.data(), image.nLength))
        return false;
    return std::memcmp(held.data(), image.pData, image.nLength) == 0;
}

void CBootLoader::LeaveToApplication(CRxTime now)
{
    if (ReadFlashVersions(m_Core.Memory()).m_bAppValid)
        m_Core.EnterMode(RXM_APPLICATION, now);
    else
        m_Core.EnterMode(RXM_BOOT, now);
}
