#include "receiver/FlashMonitor.h"

#include "receiver/BootLoader.h"
#include "receiver/RamExpander.h"
#include "receiver/ReceiverCore.h"
#include "receiver/ReceiverFirmware.h"
#include "transfer/MonitorImages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {
constexpr uint8_t MON_ANNOUNCE = 0xA1;
constexpr uint8_t MON_COMMAND = 0xA2;
constexpr uint8_t MON_ACK = 0xA3;
constexpr uint8_t MON_DATA = 0xA4;
constexpr uint8_t MON_INFO = 0xA5;
constexpr uint8_t MON_FLASH_INFO = 0xA6;
constexpr uint8_t MON_STATUS_7 = 0xA7;
constexpr uint8_t MON_EXTRA_INFO = 0xA8;
constexpr uint8_t MON_TEXT = 0xA0;
constexpr uint32_t PROGRAM_MAX = 4096;  // the most one program command (0x96) writes
constexpr size_t READ_HEADER_STATUS = 7;  // address, 16-bit length, status
constexpr size_t READ_HEADER_MIRROR = 8;  // address, 32-bit length
constexpr size_t RECORD_MAX = 127;

// Paced flash timing. The AT49BV16X4 and AT49LV8011 data sheets give a
// typical sector erase time of 200 ms, whatever the sector's size, and a
// typical word (16-bit) program time of 20 us. Their worst case is modelled
// as 1 s per sector and 200 us per word. The receiver's ARM core expands at
// 2 MB/s and reads (sums or sends back) memory at 10 MB/s.
constexpr uint32_t ERASE_MS[] = {200, 1000};
constexpr uint32_t WORD_PROGRAM_US[] = {20, 200};
constexpr uint32_t EXPAND_BYTES_PER_MS = 2000;
constexpr uint32_t READ_BYTES_PER_MS = 10000;
}  // namespace

CFlashMonitor::CFlashMonitor(CReceiverCore& core)
    : CReceiverMode(core),
      m_Readers{CPacketReader(RXF_MONITOR_IN), CPacketReader(RXF_MONITOR_IN), CPacketReader(RXF_MONITOR_IN)}
{
}

void CFlashMonitor::Enter(CRxTime now)
{
    m_Core.SetSpeed(19200);
    for (CPacketReader& reader : m_Readers)
        reader.Reset();
    m_bAnnouncing = true;
    m_tNextAnnounce = now;
}

void CFlashMonitor::OnBytes(int port, const uint8_t* bytes, size_t count, CRxTime now)
{
    if (port < 0 || port >= static_cast<int>(m_Readers.size()))
        return;
    if (m_Core.PacketGapPassed(m_LastByte[port], now))
        m_Readers[port].Reset();
    m_LastByte[port] = now;
    for (size_t i = 0; i < count && m_Core.Mode() == RXM_MONITOR; ++i) {
        const ERxFeed fed = m_Readers[port].Feed(bytes[i]);
        if (fed == RXF_OVERSIZE)
            ++m_Core.Stats().m_nOversizePackets;
        else if (fed == RXF_PACKET)
            OnPacket(port, m_Readers[port].Id(), m_Readers[port].Payload(), now);
    }
}

void CFlashMonitor::Tick(CRxTime now)
{
    if (!m_bAnnouncing || now < m_tNextAnnounce)
        return;
    uint8_t id[5];
    RxPutLe32(id, MONITOR_VERSION);
    id[4] = static_cast<uint8_t>(m_Core.Memory().Board().m_nMapType);
    m_Core.SendPacket(0, MON_ANNOUNCE, std::vector<uint8_t>(id, id + 5), now);
    m_tNextAnnounce = now + std::chrono::milliseconds(m_Core.Config().m_nAnnounceMs);
}

CRxTime CFlashMonitor::NextDeadline() const
{
    return m_bAnnouncing ? m_tNextAnnounce : CRxTime::max();
}

void CFlashMonitor::Answer(int port, bool accepted, CRxTime now)
{
    if (m_bLoseAnswer) {
        m_bLoseAnswer = false;
        return;
    }
    m_Core.SendPacket(port, MON_ACK, {static_cast<uint8_t>(accepted ? 1 : 0)}, now);
}

void CFlashMonitor::OnPacket(int port, uint8_t id, const std::vector<uint8_t>& payload,
                             CRxTime now)
{
    ++m_Core.Stats().m_Ports[port].m_nPacketsIn;
    if (port == 0)
        m_bAnnouncing = false;
    if (id == MON_COMMAND) {
        if (payload.size() < 13)
            return Answer(port, false, now);
        if (m_Core.ShouldRefuse(payload[0], port))
            return Answer(port, false, now);
        m_bLoseAnswer = m_Core.ShouldLoseAnswer(payload[0]);
        OnCommand(port, payload[0], RxGetLe32(&payload[1]), RxGetLe32(&payload[5]),
                  RxGetLe32(&payload[9]), now);
        m_bLoseAnswer = false;
    } else if (id == MON_DATA) {
        if (m_Core.ShouldRefuse(RXR_DATA, port))
            return Answer(port, false, now);
        m_bLoseAnswer = m_Core.ShouldLoseAnswer(RXR_DATA);
        OnData(port, payload, now);
        m_bLoseAnswer = false;
    } else if (id == MON_TEXT) {
        if (m_Core.ShouldRefuse(RXR_TEXT, port))
            return Answer(port, false, now);
        OnText(port, payload, now);
    }
}

void CFlashMonitor::OnCommand(int port, uint8_t code, uint32_t a, uint32_t b, uint32_t c,
                              CRxTime now)
{
    CReceiverMemory& memory = m_Core.Memory();
    switch (code) {
    case 0x90:
        return Answer(port, true, now);
    case 0x91:  // restart the monitor
        Answer(port, true, now);
        return m_Core.EnterMode(RXM_MONITOR, now);
    case 0x92:
        Answer(port, true, now);
        return Leave(code, false, now);
    case 0x93: {
        int board = m_Core.Config().m_nBoardId;
        Answer(port, true, now);
        return Leave(code, board == 5 || board == 7 || board == 9, now);
    }
    case 0x9A:
        Answer(port, true, now);
        return Leave(code, true, now);
    case 0x94:
        if (m_Core.Config().m_eMonitorReads == RXMR_NONE)
            break;  // a monitor without read-back: an unknown command
        return ReadBack(port, a, b, now);
    case 0x95:
        return Answer(port, Erase(a, now), now);
    case 0x96:
        return Answer(port, ProgramFlash(a, b, c, now), now);
    case 0x97: {
        const bool match = Verify(a, b, c, now);
        if (match)
            m_Core.BootWatch().OnVerified(memory, a, b);
        return Answer(port, match, now);
    }
    case 0x98: {
        const CRamExpansion expansion = m_Core.BootWatch().Expand(memory, a, b, c);
        Work(expansion.m_nProduced / EXPAND_BYTES_PER_MS, now);
        return Answer(port, expansion.m_bOk, now);
    }
    case 0x99:
        if (m_Core.Config().m_bRefuseSpeed || !IsMonitorBaudRate(a))
            return Answer(port, false, now);
        Answer(port, true, now);
        m_Core.SwitchSpeedAfterAnswer(a, now);  // the acknowledgement leaves at the old rate
        return;
    case 0x9D:
        return m_Core.SendPacket(port, MON_STATUS_7, std::vector<uint8_t>(4, 0), now);
    case 0x9E:
        return m_Core.SendPacket(port, MON_INFO, BuildIdentityRecord(memory, m_Core.Config()),
                                 now);
    case 0x9F:
        return FlashInfo(port, now);
    case 0xA0:
        return ExtraInfo(port, now);
    default:
        break;
    }
    if (code == 0x94)
        ++m_Core.Stats().m_nReadRefusals;
    Answer(port, false, now);
}

void CFlashMonitor::OnData(int port, const std::vector<uint8_t>& payload, CRxTime now)
{
    if (payload.size() < 8)
        return Answer(port, false, now);
    uint32_t address = RxGetLe32(&payload[0]);
    uint32_t length = RxGetLe32(&payload[4]);
    if (payload.size() - 8 != length || m_Core.Memory().Area(address, length) != RXA_RAM)
        return Answer(port, false, now);
    m_Core.Memory().WriteRam(address, payload.data() + 8, length);
    m_Core.BootWatch().OnHostWrite(address, payload.data() + 8, length);
    m_Core.NoteData(port, address);
    Answer(port, true, now);
    DamageBootImage(address, length);
}

// The fault of a receiver that spoils the staged boot image in RAM after
// taking it: two compensating bit flips (FindCompensatingPair), which no sum
// the host can ask for sees; only reading RAM back does.
void CFlashMonitor::DamageBootImage(uint32_t address, uint32_t length)
{
    const EBootRamDamage damage = m_Core.Config().m_eDamageBootRam;
    if (damage == RXD_NONE || (damage == RXD_ONCE && m_Core.Stats().m_nRamDamages > 0))
        return;
    if (m_Core.BootWatch().Damage(m_Core.Memory(), address, length))
        ++m_Core.Stats().m_nRamDamages;
}

// 0x99 takes the configured list of rates; without one, the boot loader's
// rates and, up to the configured limit, the three above them.
bool CFlashMonitor::IsMonitorBaudRate(uint32_t baud) const
{
    const std::vector<uint32_t>& listed = m_Core.Config().m_MonitorRates;
    if (!listed.empty())
        return std::find(listed.begin(), listed.end(), baud) != listed.end();
    return IsReceiverBaudRate(baud) ||
           (IsHighReceiverBaudRate(baud) && baud <= m_Core.Config().m_nMaxBaud);
}

void CFlashMonitor::OnText(int port, const std::vector<uint8_t>& payload, CRxTime now)
{
    size_t n = 0;
    while (n < payload.size() && n < RECORD_MAX && payload[n])
        ++n;
    m_Core.NoteUpgradeRecord(std::string(payload.begin(), payload.begin() + n));
    Answer(port, true, now);
}

// Time a real chip needs: hundreds of milliseconds for a 64 KiB sector, some
// tens for 4 KiB of programming; only when the line is paced.
bool CFlashMonitor::Erase(uint32_t address, CRxTime now)
{
    CReceiverMemory& memory = m_Core.Memory();
    int sector = memory.SectorStartingAt(address);
    if (sector < 0)
        return false;
    memory.EraseSector(sector);
    m_Core.BootWatch().OnErase(address, memory.SectorSize(sector));
    ++m_Core.Stats().m_nErases;
    uint32_t ms = m_Core.Config().m_nSlowFlashMs;
    if (m_Core.Config().m_bPace)
        ms += ERASE_MS[m_Core.Config().m_eFlashTiming];
    if (ms)
        m_Core.Busy(ms, now);
    return true;
}

bool CFlashMonitor::ProgramFlash(uint32_t source, uint32_t count, uint32_t target, CRxTime now)
{
    CReceiverMemory& memory = m_Core.Memory();
    if (count > PROGRAM_MAX) {
        ++m_Core.Stats().m_nOversizePrograms;
        return false;
    }
    ERxArea from = memory.Area(source, count);
    if (from != RXA_RAM && from != RXA_MONITOR)
        return false;
    std::vector<uint8_t> bytes(count);
    memory.Read(source, bytes.data(), count);
    ++m_nProgramCommands;
    const bool disturb = m_nProgramCommands == m_Core.Config().m_nDisturbProgram;
    const bool weak = disturb || m_nProgramCommands == m_Core.Config().m_nWeakBitProgram;
    std::vector<uint8_t> before;
    if (weak) {
        before.resize(count);
        memory.Read(target, before.data(), count);
    }
    CReceiverMemory::EProgram result = memory.Program(target, bytes.data(), count);
    if (result == CReceiverMemory::PROGRAM_OUTSIDE)
        return false;
    m_Core.BootWatch().OnProgram(memory, source, bytes.data(), count, target);
    if (weak)
        LeaveWeakBit(target, before, bytes, disturb);
    ++m_Core.Stats().m_nPrograms;
    uint32_t ms = m_Core.Config().m_nSlowFlashMs;
    if (m_Core.Config().m_bPace)
        ms += (count + 1) / 2 * WORD_PROGRAM_US[m_Core.Config().m_eFlashTiming] / 1000;
    if (ms)
        m_Core.Busy(ms, now);
    if (result == CReceiverMemory::PROGRAM_MISMATCH) {
        ++m_Core.Stats().m_nProgramMismatches;
        return false;
    }
    return true;
}

// A weak cell: the first bit this command should have cleared stays at 1,
// and the chip's status says nothing of it. Only a check that reads the
// flash back can notice.
// With `disturb`, the same bit is cleared in the next byte that should have
// kept it at 1 (program disturb), which leaves the byte sum unchanged.
void CFlashMonitor::LeaveWeakBit(uint32_t target, const std::vector<uint8_t>& before,
                                 const std::vector<uint8_t>& wanted, bool disturb)
{
    for (size_t i = 0; i < wanted.size(); ++i) {
        const uint8_t cleared = static_cast<uint8_t>(before[i] & ~wanted[i]);
        if (cleared == 0)
            continue;
        const uint8_t bit = static_cast<uint8_t>(cleared & -cleared);
        const uint8_t stuck = static_cast<uint8_t>(wanted[i] | bit);
        m_Core.Memory().LoadFlash(target + static_cast<uint32_t>(i), &stuck, 1);
        for (size_t k = i + 1; disturb && k < wanted.size(); ++k) {
            if (!(wanted[k] & bit))
                continue;
            const uint8_t lost = static_cast<uint8_t>(wanted[k] & ~bit);
            m_Core.Memory().LoadFlash(target + static_cast<uint32_t>(k), &lost, 1);
            break;
        }
        return;
    }
}

bool CFlashMonitor::RefusesFlash(uint32_t address, uint32_t length) const
{
    return m_Core.Config().m_eMonitorChecks == RXC_REFUSES_FLASH &&
           m_Core.Memory().Area(address, length) == RXA_FLASH;
}

// 0x97: the byte sum of a range of any memory against the host's sum; a
// monitor that does not read flash refuses flash ranges, and a careless one
// accepts every request without summing.
bool CFlashMonitor::Verify(uint32_t address, uint32_t length, uint32_t expected, CRxTime now)
{
    if (RefusesFlash(address, length))
        return false;
    if (m_Core.Config().m_eMonitorChecks == RXC_ACCEPTS_ANY)
        return true;
    uint32_t sum = 0;
    if (!m_Core.Memory().ByteSum(address, length, sum))
        return false;
    Work(length / READ_BYTES_PER_MS, now);
    const bool match = sum == expected;
    if (match && m_Core.Memory().Area(address, length) == RXA_FLASH && length > 0 &&
        static_cast<uint64_t>(length) * 0xFF == expected)
        ++m_Core.Stats().m_nBlankChecks;
    return match;
}

// Time the monitor's own work takes when the line is paced.
void CFlashMonitor::Work(uint32_t ms, CRxTime now)
{
    if (m_Core.Config().m_bPace && ms > 0)
        m_Core.Busy(ms, now);
}

// 0xA4 answer in one of the two layouts monitors use: address, length (16
// bits), status 1, then the bytes; or address, length (32 bits), then the
// bytes, the mirror of the host's own data packet. A read this monitor does
// not answer is refused (ReadAllowed).
void CFlashMonitor::ReadBack(int port, uint32_t address, uint32_t length, CRxTime now)
{
    const bool mirror = m_Core.Config().m_eReadReply == RXRB_MIRROR;
    const size_t head = mirror ? READ_HEADER_MIRROR : READ_HEADER_STATUS;
    std::vector<uint8_t> reply;
    if (ReadAllowed(address, length, head)) {
        reply.assign(head + length, 0);
        if (!m_Core.Memory().Read(address, reply.data() + head, length))
            reply.clear();
    }
    if (reply.empty()) {
        ++m_Core.Stats().m_nReadRefusals;
        return Answer(port, false, now);
    }
    Work(length / READ_BYTES_PER_MS, now);
    RxPutLe32(&reply[0], address);
    if (mirror) {
        RxPutLe32(&reply[4], length);
    } else {
        RxPutLe16(&reply[4], static_cast<uint16_t>(length));
        reply[6] = 1;
    }
    CRxStats& stats = m_Core.Stats();
    stats.m_nLargestRead = std::max(stats.m_nLargestRead, length);
    m_Core.SendPacket(port, MON_DATA, reply, now);
}

// A read is answered only when its answer, `head` bytes and the data, fits
// in the longest read-back answer the host takes, it is no longer than the
// configured largest read, and it reads memory this monitor reads: flash only
// when so configured, and no flash for a monitor that refuses flash checks.
bool CFlashMonitor::ReadAllowed(uint32_t address, uint32_t length, size_t head) const
{
    const CReceiverConfig& config = m_Core.Config();
    if (length > config.m_nMaxRead || head + length > RXF_READ_REPLY_MAX)
        return false;
    if (RefusesFlash(address, length))
        return false;
    return config.m_eMonitorReads != RXMR_FLASH || m_Core.Memory().Area(address, length) == RXA_FLASH;
}

// 0xA6 answer: manufacturer, device code, flash base, size, sector count.
void CFlashMonitor::FlashInfo(int port, CRxTime now)
{
    const CReceiverMemory& memory = m_Core.Memory();
    std::vector<uint8_t> info(20, 0);
    RxPutLe16(&info[0], RXM_MANUFACTURER_CODE);
    // A chip the host does not know is modelled by reporting another code.
    const int32_t code = m_Core.Config().m_nFlashCodeOverride;
    RxPutLe16(&info[2], code >= 0 ? static_cast<uint16_t>(code) : memory.Chip().m_wDevice);
    RxPutLe32(&info[4], RXM_FLASH_BASE);
    RxPutLe32(&info[8], memory.Chip().m_nSize);
    RxPutLe32(&info[12], static_cast<uint32_t>(memory.SectorCount()));
    m_Core.SendPacket(port, MON_FLASH_INFO, info, now);
}

// 0xA8 answer: product name (32 bytes) and serial number (16 bytes).
void CFlashMonitor::ExtraInfo(int port, CRxTime now)
{
    std::vector<uint8_t> extra(64, 0);
    const std::string& name = m_Core.Config().m_strProductName;
    const std::string& serial = m_Core.Config().m_strSerial;
    std::memcpy(&extra[0], name.data(), std::min<size_t>(name.size(), 31));
    std::memcpy(&extra[32], serial.data(), std::min<size_t>(serial.size(), 16));
    m_Core.SendPacket(port, MON_EXTRA_INFO, extra, now);
}

// Leaving the monitor is where a boot loader that is not whole shows: the
// receiver jumps into it (or, from the application, will at its next reset)
// and never comes back.
void CFlashMonitor::Leave(uint8_t code, bool toApplication, CRxTime now)
{
    char event[48];
    std::snprintf(event, sizeof event, "left the flash monitor (0x%02X)", code);
    if (!m_Core.CheckBootLoader(event))
        return;
    if (toApplication && ReadFlashVersions(m_Core.Memory()).m_bAppValid)
        m_Core.EnterMode(RXM_APPLICATION, now);
    else
        m_Core.EnterMode(RXM_BOOT, now);
}
