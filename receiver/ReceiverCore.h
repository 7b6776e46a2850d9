// The virtual receiver as a device, without its ports: memory, firmware,
// the mode that runs, the line rate it runs at, fault injection and the
// counts the report shows.
//
// The port layer (CVirtualReceiver) feeds it what the host does on each
// pseudo-terminal (bytes, flushes, line-setting changes) and takes the bytes
// it sends. Here the line itself is modelled: bytes from the host that cross
// while host and receiver run different rates arrive garbled (the port layer
// does the same for the receiver's bytes when they reach the host), bytes are
// dropped or corrupted at the configured rates, and a break is recognised.
//
// A pseudo-terminal carries no break. The receiver takes as a break a flush
// of the host's transmit side (the host's break request flushes both
// directions where no real break exists) while the host's line is set to
// 9600 baud (the application's text command) or 38400 baud (the handheld's
// passthrough). The break is taken as ended 50 ms after the last such flush,
// so the purge that the host does just before its break is not answered
// twice.
//
// A receiver whose boot loader is not whole when the flash monitor ends or
// power goes (CBootWatch) is bricked: it never answers again on any port.
// So is one that enters a boot region holding no boot loader at all.
//
// Not thread-safe: CVirtualReceiver calls it from its loop thread, and reads
// the report under its own lock.
#pragma once

#include "receiver/BootWatch.h"
#include "receiver/ReceiverConfig.h"
#include "receiver/ReceiverMemory.h"
#include "receiver/ReceiverMode.h"

#include <array>
#include <memory>
#include <random>
#include <string>
#include <vector>

constexpr int RX_MAX_PORTS = 3;
constexpr size_t RX_BOOT_CHECKS_KEPT = 256;

enum EReceiverMode { RXM_APPLICATION, RXM_BOOT, RXM_MONITOR, RXM_OFF, RXM_BRICKED };

// Bytes for one port; `m_bFlush` first drops everything still queued there
// (power loss); `m_bUnplug` closes the port. The bytes leave at the rate the
// receiver ran when it sent them (`m_nBaud`); the port layer garbles them
// when the host's line is set to another rate by the time they arrive.
struct CRxOutgoing {
    int m_nPort = 0;
    std::vector<uint8_t> m_Bytes;
    uint32_t m_nBaud = 19200;
    CRxTime m_tNotBefore;
    bool m_bFlush = false;
    bool m_bUnplug = false;
};

struct CRxPortStats {
    uint64_t m_nBytesIn = 0;
    uint64_t m_nBytesOut = 0;
    uint64_t m_nPacketsIn = 0;
    uint64_t m_nPacketsOut = 0;
};

// One judgment of the boot region (CBootWatch) when the flash monitor ended
// or power went: what ended it and what the region held.
struct CRxBootCheck {
    std::string m_strEvent;
    EBootVerdict m_eVerdict = RXB_BROKEN;
};

struct CRxStats {
    std::array<CRxPortStats, RX_MAX_PORTS> m_Ports{};
    uint64_t m_nRetries = 0;
    uint64_t m_nDropped = 0;
    uint64_t m_nCorrupted = 0;
    uint64_t m_nBitErrors = 0;    // bytes hit by bit errors
    uint64_t m_nParityDrops = 0;  // of those, lost to a parity or framing error
    uint64_t m_nGarbled = 0;
    uint64_t m_nRefused = 0;
    uint64_t m_nLostAnswers = 0;
    uint64_t m_nErases = 0;
    uint64_t m_nPrograms = 0;
    uint64_t m_nProgramMismatches = 0;
    uint64_t m_nBlankChecks = 0;  // verifies of a flash range against all 0xFF that passed
    uint64_t m_nMonitorStarts = 0;
    uint64_t m_nPowerLosses = 0;
    uint64_t m_nRamDamages = 0;   // staged boot images damaged in RAM
    uint64_t m_nClockErrors = 0;  // bytes damaged or lost to the clock error above 115200
    // What a host test asserts to show the host kept to the packet tables:
    uint64_t m_nOversizePackets = 0;   // host packets dropped at a length above their id's limit
    uint64_t m_nOversizePrograms = 0;  // program commands (0x96) refused for a count above 4096
    uint64_t m_nReadRefusals = 0;      // read-backs (0x94) the monitor itself refused
    uint32_t m_nLargestRead = 0;       // the longest read-back answered
    uint64_t m_nOversizeReplies = 0;   // replies held back as longer than the host takes (a receiver fault)
    std::vector<CRxBootCheck> m_BootChecks;  // the first RX_BOOT_CHECKS_KEPT
    std::string m_strUpgradeRecord;
    bool m_bUpgradeRecord = false;
};

class CReceiverCore {
public:
    explicit CReceiverCore(const CReceiverConfig& config);
    ~CReceiverCore();
    CReceiverCore(const CReceiverCore&) = delete;
    CReceiverCore& operator=(const CReceiverCore&) = delete;

    // Builds memory and initial firmware and enters the start mode.
    bool Start(CRxTime now, std::string& error);

    // Events from the port layer. `hostBaud` is the host's rate as the
    // pseudo-terminal shows it.
    void OnHostBytes(int port, const uint8_t* bytes, size_t count, CRxTime now);
    void OnHostFlush(int port, bool input, bool output, CRxTime now);
    void OnHostSettings(int port, uint32_t hostBaud, CRxTime now);
    void Tick(CRxTime now);
    CRxTime NextDeadline() const;
    std::vector<CRxOutgoing> TakeOutgoing();

    // What the modes use.
    void Send(int port, const std::vector<uint8_t>& bytes, CRxTime now);
    void SendPacket(int port, uint8_t id, const std::vector<uint8_t>& payload, CRxTime now);
    // Runs the line at `baud` from now on (and drops a switch still due).
    void SetSpeed(uint32_t baud)
    {
        m_nSpeed = baud;
        m_tSpeedDue = CRxTime::max();
    }
    // A speed change just acknowledged: the receiver switches to `baud` the
    // configured delay after its acknowledgement has left. Until then it
    // still runs at the old rate, so bytes that cross meanwhile are judged
    // at that rate in both directions.
    void SwitchSpeedAfterAnswer(uint32_t baud, CRxTime now);
    // Whether a parser abandons the packet it is in: its bytes stopped for
    // longer than the configured gap since `lastByte` (never with gap 0).
    bool PacketGapPassed(CRxTime lastByte, CRxTime now) const;
    uint32_t Speed() const { return m_nSpeed; }
    uint32_t HostBaud(int port) const { return m_HostBaud[port]; }
    void EnterMode(EReceiverMode mode, CRxTime now);
    EReceiverMode Mode() const { return m_eMode; }
    // The flash monitor ended (`event` names how, e.g. "left the flash
    // monitor (0x93)"): false, and the receiver bricked, when its boot
    // loader is not whole.
    bool CheckBootLoader(const std::string& event);
    bool IsBricked() const { return m_bBricked; }
    const std::string& BrickedReason() const { return m_strBrickedReason; }
    CBootWatch& BootWatch() { return m_BootWatch; }
    // Busy for `ms` (flash work): later answers wait, and host bytes are
    // taken only afterwards.
    void Busy(uint32_t ms, CRxTime now);
    // Counts one occurrence of `code` and says whether a refusal rule hits it.
    // Counts one occurrence of a command code (or data block, or text) on a
    // port (0 to 2) and says whether a refusal rule refuses it.
    bool ShouldRefuse(int code, int port = 0);
    // Counts one occurrence of a monitor command code (or data block, or
    // text) and says whether its acknowledgement is to be lost.
    bool ShouldLoseAnswer(int code);
    void NoteData(int port, uint32_t address);  // counts repeated blocks as retries
    void NoteBootContact();
    void NoteLeaveBoot();
    // The host closed its side of a port.
    void NoteHostClosed(int port);
    void NoteUpgradeRecord(const std::string& line);

    CReceiverMemory& Memory() { return *m_pMemory; }
    const CReceiverMemory& Memory() const { return *m_pMemory; }
    const CReceiverConfig& Config() const { return m_Config; }
    CRxStats& Stats() { return m_Stats; }
    const CRxStats& Stats() const { return m_Stats; }
    // 11 bits a byte for the 8O1 binary protocols, 10 for the 8N1 texts.
    int BitsPerByte() const;
    // What a UART set to `to` baud makes of bytes sent at `from` baud.
    std::vector<uint8_t> Garble(const std::vector<uint8_t>& bytes, uint32_t from, uint32_t to);
    // The exit condition of --exit-after-upgrade has been met.
    bool UpgradeFinished() const { return m_bFinished; }
    void ClearDataHistory() { m_DataSeen.clear(); }

private:
    void Deliver(int port, const uint8_t* bytes, size_t count, CRxTime now);
    void LoseLine(std::vector<uint8_t>& bytes, double drop, double corrupt);
    // False when the byte is lost to a parity or framing error; else the byte
    // as it arrives.
    bool BitErrors(uint8_t& byte);
    // False when the receiver's clock error at rates above 115200 loses
    // the byte; else the byte as it arrives.
    bool ClockError(uint8_t& byte);
    void PowerLoss(CRxTime now);
    void Brick(const std::string& reason);
    CReceiverMode* Current() const;

    CReceiverConfig m_Config;
    std::unique_ptr<CReceiverMemory> m_pMemory;
    std::unique_ptr<CReceiverMode> m_pApplication;
    std::unique_ptr<CReceiverMode> m_pBoot;
    std::unique_ptr<CReceiverMode> m_pMonitor;
    EReceiverMode m_eMode = RXM_OFF;
    uint32_t m_nSpeed = 19200;
    std::array<uint32_t, RX_MAX_PORTS> m_HostBaud{19200, 19200, 19200};
    std::array<CRxTime, RX_MAX_PORTS> m_BreakDue;
    CRxTime m_tBusyUntil;
    uint32_t m_nSpeedDue = 19200;              // the rate of a switch still to come
    CRxTime m_tSpeedDue = CRxTime::max();
    CRxTime m_tPowerBack = CRxTime::max();
    struct CPending {
        int m_nPort;
        std::vector<uint8_t> m_Bytes;
    };
    std::vector<CPending> m_Pending;  // host bytes that arrived while busy
    std::vector<CRxOutgoing> m_Outgoing;
    std::mt19937_64 m_Random;
    std::vector<uint32_t> m_RefusalSeen;        // occurrences per code
    std::vector<uint32_t> m_RefusalSeenOnPort;  // occurrences per port and code
    std::vector<uint32_t> m_LostSeen;           // occurrences per code, for lost answers
    std::vector<uint64_t> m_DataSeen;
    uint64_t m_nBytesReceived = 0;
    int64_t m_nBitsToError = -1;  // bits on the wire before the next flip; -1 not drawn yet
    bool m_bUnplugged = false;
    bool m_bRecordThenContact = false;
    bool m_bFinished = false;
    bool m_bBricked = false;
    std::string m_strBrickedReason;
    CBootWatch m_BootWatch;
    CRxStats m_Stats;
};
