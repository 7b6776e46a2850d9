#include "receiver/ReceiverCore.h"

#include "receiver/ApplicationMode.h"
#include "receiver/BootLoader.h"
#include "receiver/FlashMonitor.h"
#include "receiver/FrameCodec.h"
#include "receiver/ReceiverFirmware.h"

#include <algorithm>

namespace {
constexpr auto BREAK_SETTLE = std::chrono::milliseconds(50);
constexpr size_t REFUSAL_CODES = RXR_TEXT + 1;
}  // namespace

CReceiverCore::CReceiverCore(const CReceiverConfig& config)
    : m_Config(config), m_Random(config.m_nSeed), m_RefusalSeen(REFUSAL_CODES, 0), m_RefusalSeenOnPort(REFUSAL_CODES * RX_MAX_PORTS, 0),
      m_LostSeen(REFUSAL_CODES, 0)
{
    m_BreakDue.fill(CRxTime::max());
}

CReceiverCore::~CReceiverCore() = default;

bool CReceiverCore::Start(CRxTime now, std::string& error)
{
    if (!ValidateReceiverConfig(m_Config, error))
        return false;
    CReceiverChip_Info chip;
    FindReceiverChip(m_Config.m_strChip, chip);
    m_pMemory = std::make_unique<CReceiverMemory>(m_Config.m_nBoardId, chip);
    if (!LoadInitialFirmware(*m_pMemory, m_Config, error))
        return false;
    m_pApplication = std::make_unique<CApplicationMode>(*this);
    m_pBoot = std::make_unique<CBootLoader>(*this);
    m_pMonitor = std::make_unique<CFlashMonitor>(*this);
    CFlashVersions v = ReadFlashVersions(*m_pMemory);
    m_BootWatch.Start(*m_pMemory, v.m_bBootValid);
    // Without a valid application the receiver can only run its boot loader;
    // without a boot loader either, it never says anything.
    if (m_Config.m_eStart == RXS_BOOT_LOADER || !v.m_bAppValid)
        EnterMode(RXM_BOOT, now);
    else
        EnterMode(RXM_APPLICATION, now);
    return true;
}

CReceiverMode* CReceiverCore::Current() const
{
    switch (m_eMode) {
    case RXM_APPLICATION:
        return m_pApplication.get();
    case RXM_BOOT:
        return m_pBoot.get();
    case RXM_MONITOR:
        return m_pMonitor.get();
    default:
        return nullptr;
    }
}

void CReceiverCore::EnterMode(EReceiverMode mode, CRxTime now)
{
    if (m_bBricked)
        return;
    // A jump into a boot region that holds no boot loader runs erased flash.
    if (mode == RXM_BOOT && !ReadFlashVersions(*m_pMemory).m_bBootValid)
        return Brick("entered a boot region that holds no boot loader");
    m_eMode = mode;
    m_DataSeen.clear();
    if (CReceiverMode* current = Current())
        current->Enter(now);
}

void CReceiverCore::OnHostBytes(int port, const uint8_t* bytes, size_t count, CRxTime now)
{
    if (port < 0 || port >= RX_MAX_PORTS || count == 0)
        return;
    m_Stats.m_Ports[port].m_nBytesIn += count;
    // Faults that cut the line take effect at an exact byte count.
    uint64_t before = m_nBytesReceived;
    m_nBytesReceived += count;
    size_t take = count;
    bool powerLoss = false, unplug = false;
    int64_t lossAt = m_Config.m_nPowerLossAfter, unplugAt = m_Config.m_nUnplugAfter;
    if (lossAt >= 0 && m_Stats.m_nPowerLosses == 0 &&
        m_nBytesReceived >= static_cast<uint64_t>(lossAt)) {
        take = std::min<uint64_t>(take, std::max<int64_t>(0, lossAt - static_cast<int64_t>(before)));
        powerLoss = true;
    }
    if (unplugAt >= 0 && !m_bUnplugged && m_nBytesReceived >= static_cast<uint64_t>(unplugAt)) {
        take = std::min<uint64_t>(take, std::max<int64_t>(0, unplugAt - static_cast<int64_t>(before)));
        unplug = true;
    }
    if (m_eMode != RXM_OFF && m_eMode != RXM_BRICKED && take > 0) {
        std::vector<uint8_t> line(bytes, bytes + take);
        LoseLine(line, m_Config.m_dDropRx, m_Config.m_dCorruptRx);
        if (m_HostBaud[port] != m_nSpeed)
            line = Garble(line, m_HostBaud[port], m_nSpeed);
        if (now < m_tBusyUntil || !m_Pending.empty())
            m_Pending.push_back({port, std::move(line)});
        else
            Deliver(port, line.data(), line.size(), now);
    }
    if (powerLoss)
        PowerLoss(now);
    if (unplug) {
        m_bUnplugged = true;
        CRxOutgoing out;
        out.m_nPort = 0;
        out.m_bUnplug = true;
        m_Outgoing.push_back(std::move(out));
    }
}

void CReceiverCore::Deliver(int port, const uint8_t* bytes, size_t count, CRxTime now)
{
    if (CReceiverMode* current = Current(); current && count)
        current->OnBytes(port, bytes, count, now);
}

void CReceiverCore::OnHostFlush(int port, bool input, bool output, CRxTime now)
{
    if (port < 0 || port >= RX_MAX_PORTS)
        return;
    uint32_t baud = m_HostBaud[port];
    if (output && (baud == 9600 || baud == 38400))
        m_BreakDue[port] = now + BREAK_SETTLE;
    if (CReceiverMode* current = Current())
        current->OnFlush(port, input, output, now);
}

void CReceiverCore::OnHostSettings(int port, uint32_t hostBaud, CRxTime now)
{
    (void)now;
    if (port < 0 || port >= RX_MAX_PORTS)
        return;
    m_HostBaud[port] = hostBaud;
    // The application's port follows the host between its two rates: 19200
    // for the wake text and 9600 for the text command.
    if (m_eMode == RXM_APPLICATION && port == 0 && m_Config.m_eStart != RXS_PASSTHROUGH &&
        (hostBaud == 9600 || hostBaud == 19200))
        SetSpeed(hostBaud);
}

void CReceiverCore::Tick(CRxTime now)
{
    if (now >= m_tSpeedDue)
        SetSpeed(m_nSpeedDue);
    if (m_eMode == RXM_OFF && now >= m_tPowerBack) {
        m_tPowerBack = CRxTime::max();
        // Power is back: the boot loader runs if the boot region still holds
        // one; a receiver whose boot region was erased stays silent for good.
        EnterMode(RXM_BOOT, now);
    }
    for (int port = 0; port < RX_MAX_PORTS; ++port) {
        if (m_BreakDue[port] <= now) {
            m_BreakDue[port] = CRxTime::max();
            if (CReceiverMode* current = Current())
                current->OnBreak(port, now);
        }
    }
    while (!m_Pending.empty() && now >= m_tBusyUntil) {
        CPending p = std::move(m_Pending.front());
        m_Pending.erase(m_Pending.begin());
        Deliver(p.m_nPort, p.m_Bytes.data(), p.m_Bytes.size(), now);
    }
    if (CReceiverMode* current = Current(); current && current->NextDeadline() <= now)
        current->Tick(now);
}

CRxTime CReceiverCore::NextDeadline() const
{
    CRxTime next = std::min(m_tPowerBack, m_tSpeedDue);
    for (CRxTime t : m_BreakDue)
        next = std::min(next, t);
    if (!m_Pending.empty())
        next = std::min(next, m_tBusyUntil);
    if (CReceiverMode* current = Current())
        next = std::min(next, current->NextDeadline());
    return next;
}

std::vector<CRxOutgoing> CReceiverCore::TakeOutgoing()
{
    std::vector<CRxOutgoing> out;
    out.swap(m_Outgoing);
    return out;
}

void CReceiverCore::Send(int port, const std::vector<uint8_t>& bytes, CRxTime now)
{
    if (m_eMode == RXM_OFF || m_eMode == RXM_BRICKED || bytes.empty())
        return;
    // The third port only listens; what is said to it leaves on the second.
    if (port == 2)
        port = 1;
    if (port < 0 || port >= m_Config.m_nPorts || (port > 0 && m_Config.m_bSilentSecondary))
        return;
    std::vector<uint8_t> line = bytes;
    LoseLine(line, m_Config.m_dDropTx, m_Config.m_dCorruptTx);
    m_Stats.m_Ports[port].m_nBytesOut += line.size();
    CRxOutgoing out;
    out.m_nPort = port;
    out.m_Bytes = std::move(line);
    // Whether they arrive readable depends on the host's rate when they get
    // there: a speed change's acknowledgement leaves at the old rate.
    out.m_nBaud = m_nSpeed;
    out.m_tNotBefore = std::max(now, m_tBusyUntil);
    m_Outgoing.push_back(std::move(out));
}

// A reply longer than the host's table allows would be dropped by the host's
// parser at its length field; the receiver never sends one, and counts it so
// that a test sees the fault.
void CReceiverCore::SendPacket(int port, uint8_t id, const std::vector<uint8_t>& payload,
                               CRxTime now)
{
    uint32_t max = 0;
    if (!RXF_REPLIES.Find(id, max) || payload.size() > max) {
        ++m_Stats.m_nOversizeReplies;
        return;
    }
    if (port >= 0 && port < RX_MAX_PORTS)
        ++m_Stats.m_Ports[port == 2 ? 1 : port].m_nPacketsOut;
    Send(port, RxEncodePacket(id, payload), now);
}

void CReceiverCore::SwitchSpeedAfterAnswer(uint32_t baud, CRxTime now)
{
    if (m_Config.m_nSwitchDelayMs == 0)
        return SetSpeed(baud);
    // The acknowledgement leaves once the receiver is no longer busy.
    m_nSpeedDue = baud;
    m_tSpeedDue = std::max(now, m_tBusyUntil) + std::chrono::milliseconds(m_Config.m_nSwitchDelayMs);
}

bool CReceiverCore::PacketGapPassed(CRxTime lastByte, CRxTime now) const
{
    return m_Config.m_nPacketGapMs > 0 && now - lastByte > std::chrono::milliseconds(m_Config.m_nPacketGapMs);
}

void CReceiverCore::Busy(uint32_t ms, CRxTime now)
{
    m_tBusyUntil = std::max(now, m_tBusyUntil) + std::chrono::milliseconds(ms);
}

bool CReceiverCore::ShouldRefuse(int code, int port)
{
    if (code < 0 || code >= static_cast<int>(REFUSAL_CODES) || port < 0 || port >= RX_MAX_PORTS)
        return false;
    const uint32_t any = ++m_RefusalSeen[code];
    const uint32_t here = ++m_RefusalSeenOnPort[static_cast<size_t>(port) * REFUSAL_CODES + code];
    for (const CRefusalRule& rule : m_Config.m_Refusals) {
        const uint32_t n = rule.m_nPort == 0 ? any : rule.m_nPort - 1 == port ? here : 0;
        if (rule.m_nCode == code && n != 0 && n >= rule.m_nFirst && n - rule.m_nFirst < rule.m_nCount) {
            ++m_Stats.m_nRefused;
            return true;
        }
    }
    return false;
}

bool CReceiverCore::ShouldLoseAnswer(int code)
{
    if (code < 0 || code >= static_cast<int>(REFUSAL_CODES) || m_Config.m_LostAnswers.empty())
        return false;
    const uint32_t n = ++m_LostSeen[code];
    for (const CRefusalRule& rule : m_Config.m_LostAnswers) {
        if (rule.m_nCode == code && n >= rule.m_nFirst && n - rule.m_nFirst < rule.m_nCount) {
            ++m_Stats.m_nLostAnswers;
            return true;
        }
    }
    return false;
}

void CReceiverCore::NoteData(int port, uint32_t address)
{
    uint64_t key = (static_cast<uint64_t>(port) << 32) | address;
    if (std::find(m_DataSeen.begin(), m_DataSeen.end(), key) != m_DataSeen.end())
        ++m_Stats.m_nRetries;
    else
        m_DataSeen.push_back(key);
}

void CReceiverCore::NoteUpgradeRecord(const std::string& line)
{
    m_Stats.m_strUpgradeRecord = line;
    m_Stats.m_bUpgradeRecord = true;
    m_bRecordThenContact = false;
}

void CReceiverCore::NoteBootContact()
{
    if (m_Stats.m_bUpgradeRecord)
        m_bRecordThenContact = true;
}

void CReceiverCore::NoteLeaveBoot()
{
    if (m_bRecordThenContact)
        m_bFinished = true;
}

// A host that closes the primary port after contacting the boot loader again
// is done with the receiver too.
void CReceiverCore::NoteHostClosed(int port)
{
    if (port == 0 && m_bRecordThenContact)
        m_bFinished = true;
}

int CReceiverCore::BitsPerByte() const
{
    return (m_eMode == RXM_BOOT || m_eMode == RXM_MONITOR) ? 11 : 10;
}

// Bit errors: the distance to the next flipped bit is drawn once per error
// (geometric), so a clean line costs one subtraction a byte. The bits of a
// byte that can flip and be seen are its 8 data bits and, on the 8O1
// protocols, its parity bit; a flipped start or stop bit is a framing error
// that a UART also drops, so it is counted with the odd case.
bool CReceiverCore::BitErrors(uint8_t& byte)
{
    const int bits = BitsPerByte();
    if (m_nBitsToError < 0) {
        std::geometric_distribution<int64_t> gap(m_Config.m_dBitErrorRate);
        m_nBitsToError = gap(m_Random);
    }
    if (m_nBitsToError >= bits) {
        m_nBitsToError -= bits;
        return true;
    }
    int flips = 0;
    bool framing = false;
    uint8_t mask = 0;
    std::geometric_distribution<int64_t> gap(m_Config.m_dBitErrorRate);
    while (m_nBitsToError < bits) {
        const int64_t bit = m_nBitsToError;  // 0 start, 1..8 data, then parity (8O1), stop
        if (bit == 0 || bit == bits - 1)
            framing = true;
        else if (bit <= 8)
            mask ^= static_cast<uint8_t>(1u << (bit - 1));
        ++flips;
        m_nBitsToError += 1 + gap(m_Random);
    }
    m_nBitsToError -= bits;
    ++m_Stats.m_nBitErrors;
    const bool parity = bits == 11;
    if (framing || (parity && flips % 2 != 0)) {
        ++m_Stats.m_nParityDrops;
        return false;
    }
    byte ^= mask;
    return true;
}

// A UART samples each bit in its middle, timed from the start bit's edge.
// With the two clocks e apart, the sampling point drifts by e of a bit time
// with every bit, about 10.5 e by the last bit of a byte. Up to about 2 % it
// stays clear of the bits' edges for every byte. Beyond, the uncertainty of
// where the start edge was seen (a sixteenth of a bit at 16 times
// oversampling) and of the line's edges makes a growing share of bytes take a
// bit from its neighbour, until past about 3.5 % nearly every byte does; the
// share grows linearly in between. Such a byte is lost as often as not (its
// stop bit lands in the next start bit, or its parity fails); otherwise it
// arrives with its top data bit wrong, the parity bit misread as well.
bool CReceiverCore::ClockError(uint8_t& byte)
{
    const double share = std::min(0.99, (m_Config.m_dBaudErrorPercent - 2.0) / 1.5);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (chance(m_Random) >= share)
        return true;
    ++m_Stats.m_nClockErrors;
    if (m_Random() & 1)
        return false;
    byte ^= 0x80;
    return true;
}

void CReceiverCore::LoseLine(std::vector<uint8_t>& bytes, double drop, double corrupt)
{
    const bool bitErrors = m_Config.m_dBitErrorRate > 0.0;
    // The clock is off only at the rates above the boot loader's.
    const bool clock = m_nSpeed > RX_BAUD_LIMIT && m_Config.m_dBaudErrorPercent > 2.0;
    if (drop <= 0.0 && corrupt <= 0.0 && !bitErrors && !clock)
        return;
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::vector<uint8_t> kept;
    kept.reserve(bytes.size());
    for (uint8_t b : bytes) {
        if (bitErrors && !BitErrors(b))
            continue;
        if (clock && !ClockError(b))
            continue;
        if (drop > 0.0 && chance(m_Random) < drop) {
            ++m_Stats.m_nDropped;
            continue;
        }
        if (corrupt > 0.0 && chance(m_Random) < corrupt) {
            ++m_Stats.m_nCorrupted;
            b ^= static_cast<uint8_t>(1u << (m_Random() % 8));
        }
        kept.push_back(b);
    }
    bytes.swap(kept);
}

// A UART sampling at another rate than the sender's sees other bytes, and
// more or fewer of them: about `to / from` characters for each one sent,
// none equal to what was sent.
std::vector<uint8_t> CReceiverCore::Garble(const std::vector<uint8_t>& bytes, uint32_t from,
                                           uint32_t to)
{
    std::vector<uint8_t> out;
    double ratio = from ? static_cast<double>(to) / from : 1.0;
    double share = 0.0;
    for (uint8_t b : bytes) {
        share += ratio;
        int n = std::min(4, static_cast<int>(share));
        share -= n;
        for (int i = 0; i < n; ++i)
            out.push_back(static_cast<uint8_t>(b ^ ((m_Random() & 0xFF) | 1)));
    }
    m_Stats.m_nGarbled += bytes.size();
    return out;
}

void CReceiverCore::PowerLoss(CRxTime now)
{
    ++m_Stats.m_nPowerLosses;
    m_eMode = RXM_OFF;
    m_pMemory->ClearRam();
    m_Pending.clear();
    m_Outgoing.clear();
    for (int port = 0; port < RX_MAX_PORTS; ++port) {
        CRxOutgoing flush;
        flush.m_nPort = port;
        flush.m_bFlush = true;
        m_Outgoing.push_back(std::move(flush));
        m_BreakDue[port] = CRxTime::max();
    }
    SetSpeed(19200);
    m_tBusyUntil = now;
    m_tPowerBack = now + std::chrono::milliseconds(m_Config.m_nPowerOffMs);
    // The monitor is gone with the RAM it ran in: whatever it was doing to
    // the boot region ends here, as when it is left.
    CheckBootLoader("lost power");
    m_BootWatch.OnRamLost();
}

bool CReceiverCore::CheckBootLoader(const std::string& event)
{
    if (m_bBricked)
        return false;
    std::string why;
    const EBootVerdict verdict = m_BootWatch.Judge(*m_pMemory, why);
    if (m_Stats.m_BootChecks.size() < RX_BOOT_CHECKS_KEPT)
        m_Stats.m_BootChecks.push_back({event, verdict});
    if (verdict != RXB_BROKEN)
        return true;
    Brick(event + " with " + why);
    return false;
}

// For the rest of its life: no power cycle and no port brings it back.
void CReceiverCore::Brick(const std::string& reason)
{
    m_bBricked = true;
    m_strBrickedReason = reason;
    m_eMode = RXM_BRICKED;
    m_Pending.clear();
    m_DataSeen.clear();
    m_tPowerBack = CRxTime::max();
}
