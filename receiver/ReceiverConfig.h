// Everything that configures one virtual receiver: the model it stands for,
// the firmware it starts with, its ports and pacing, and the faults it
// injects. Filled by `trailmark receiver` from its options (or by tests) and
// handed to CVirtualReceiver, which copies it.
//
// Plain data; ParseRefusalRule and ValidateReceiverConfig are pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum EReceiverStart { RXS_APPLICATION, RXS_BOOT_LOADER, RXS_PASSTHROUGH };

// How the flash monitor treats read-back (0x94) and verify (0x97) requests:
// as a monitor that reads any memory, as one that refuses flash addresses
// for both, or as one that accepts every verify without comparing.
enum EMonitorChecks { RXC_READS_FLASH, RXC_REFUSES_FLASH, RXC_ACCEPTS_ANY };

// Flash timing when the line is paced: the chips' typical figures or their
// worst case.
enum EFlashTiming { RXT_TYPICAL, RXT_MAXIMUM };

// How the flash monitor lays out its answer to a read-back (0x94): address,
// 16-bit length and a status byte before the bytes, or address and 32-bit
// length, the mirror of the host's own data packet.
enum EReadReply { RXRB_STATUS, RXRB_MIRROR };

// What the flash monitor's read-back (0x94) reads: any memory (RAM, its own
// area, flash), flash only, or nothing at all (0x94 is an unknown command).
enum EMonitorReads { RXMR_ANY, RXMR_FLASH, RXMR_NONE };

// Whether the receiver damages the staged boot image in RAM (see
// m_eDamageBootRam): never, only the first time, or every time.
enum EBootRamDamage { RXD_NONE, RXD_ONCE, RXD_ALWAYS };

// The boot loader's highest line rate, and the flash monitor's unless
// m_nMaxBaud allows more.
constexpr uint32_t RX_BAUD_LIMIT = 115200;

// The largest read-back the monitor can be configured to answer, and the
// smallest largest one.
constexpr uint32_t RX_READ_MAX = 1024;
constexpr uint32_t RX_READ_MIN = 128;
// The longest a receiver may take to change its rate after acknowledging a
// speed change: the host waits this long before it talks at the new rate.
constexpr uint32_t RX_SWITCH_DELAY_MAX_MS = 400;

// Refusal codes beyond the byte range: data blocks (0x14, 0xA4) and the text
// record (0xA0 packet).
constexpr int RXR_DATA = 0x100;
constexpr int RXR_TEXT = 0x101;

// Refuse the n-th occurrence of a command code (counted from 1, over the
// whole run) and the k - 1 occurrences after it.
struct CRefusalRule {
    int m_nCode = 0;
    uint32_t m_nFirst = 1;
    uint32_t m_nCount = 1;
    int m_nPort = 0;  // 1 to 3: counted and refused on that port only; 0: on any
};

struct CReceiverConfig {
    // The model.
    int m_nBoardId = 7;
    std::string m_strChip = "AT49BV16X4";
    uint16_t m_wProductCode = 8;
    std::string m_strProductName = "ModelK";
    std::string m_strSerial = "TM00000001";
    float m_fPower = 3.0f;
    bool m_bMemoryMapReply = false;
    EReceiverStart m_eStart = RXS_APPLICATION;
    int m_nPorts = 1;

    // Initial firmware: generated images of these versions, or files, or none.
    uint16_t m_wAppVersion = 175;
    uint16_t m_wBootVersion = 120;
    bool m_bApp = true;
    bool m_bBoot = true;
    std::string m_strAppFile;
    std::string m_strBootFile;

    // Timing.
    bool m_bPace = false;
    uint32_t m_nAnnounceMs = 200;
    uint32_t m_nPowerOffMs = 1000;
    EFlashTiming m_eFlashTiming = RXT_TYPICAL;
    // A USB adapter's latency timer: bytes for the host wait for the next
    // tick of this many milliseconds; 0 hands them over at once.
    uint32_t m_nLatencyMs = 0;

    // Faults.
    uint64_t m_nSeed = 1;
    double m_dDropRx = 0, m_dDropTx = 0, m_dCorruptRx = 0, m_dCorruptTx = 0;
    std::vector<CRefusalRule> m_Refusals;
    // The flash monitor carries out the n-th occurrence of a command (and
    // the k - 1 after it) but its acknowledgement is lost on the line, as a
    // burst of noise would lose it. Same rule text as refusals.
    std::vector<CRefusalRule> m_LostAnswers;
    int64_t m_nPowerLossAfter = -1;  // bytes received; -1 never
    int64_t m_nUnplugAfter = -1;
    bool m_bRefuseSpeed = false;
    int32_t m_nFlashCodeOverride = -1;  // device code the monitor reports instead of the chip's; -1 the chip's
    bool m_bSilentSecondary = false;
    uint32_t m_nSlowFlashMs = 0;
    // The line's own faults: each bit on the wire flips at this rate, both
    // ways. On the 8O1 binary protocols a byte with an odd number of flipped
    // bits fails its parity and is lost; one with an even number arrives
    // changed. On the 8N1 text line every flipped byte arrives changed.
    double m_dBitErrorRate = 0;
    EMonitorChecks m_eMonitorChecks = RXC_READS_FLASH;
    EReadReply m_eReadReply = RXRB_STATUS;
    // The n-th flash program command (counted from 1) leaves one bit that it
    // should have cleared at 1 and still reports success; 0 never.
    uint32_t m_nWeakBitProgram = 0;
    // Program disturb: the n-th program command also clears, in the next
    // byte that should keep it, the bit it left at 1, so the flash's byte
    // sum is still right; 0 never. Implies the weak bit of that command.
    uint32_t m_nDisturbProgram = 0;
    // A data packet into RAM that carries the boot version record gets two
    // of its bytes damaged by compensating bit flips after it was accepted,
    // so neither the packet's sum nor a byte sum over RAM notices.
    EBootRamDamage m_eDamageBootRam = RXD_NONE;

    // Line rates above 115200: the fastest the monitor's speed change
    // accepts (115200, 230400, 460800 or 921600), and how far off, in per
    // cent, the receiver's clock is at those rates (0 to 10).
    uint32_t m_nMaxBaud = RX_BAUD_LIMIT;
    double m_dBaudErrorPercent = 0;
    // Exactly the rates the monitor's speed change takes; empty: the boot
    // loader's rates and those above them up to m_nMaxBaud.
    std::vector<uint32_t> m_MonitorRates;
    // How long after acknowledging a speed change (0x85, 0x99) the receiver
    // changes its rate, 0 to RX_SWITCH_DELAY_MAX_MS.
    uint32_t m_nSwitchDelayMs = 0;

    // The read-back's limits: the largest read answered (RX_READ_MIN to
    // RX_READ_MAX; the answer's layout may allow fewer) and what it reads.
    uint32_t m_nMaxRead = RX_READ_MAX;
    EMonitorReads m_eMonitorReads = RXMR_ANY;
    // A packet whose bytes stop coming for this long is abandoned; 0 never
    // (a damaged length field then holds the parser until that many bytes
    // have come).
    uint32_t m_nPacketGapMs = 100;

    bool m_bExitAfterUpgrade = false;
};

// "CODE[:N[:K]]" with CODE a number (0x.. or decimal) below 256, "data" or
// "text"; N and K at least 1. False with a reason on bad text.
bool ParseRefusalRule(const std::string& text, CRefusalRule& rule, std::string& error);

// "19200,115200,...": a comma-separated list of known line rates (at least
// one). False with a reason on bad text.
bool ParseRateList(const std::string& text, std::vector<uint32_t>& rates, std::string& error);

// 2400 to 115200: the line rates of the boot loader's speed change.
bool IsReceiverBaudRate(uint32_t baud);

// Every rate the receiver's UART runs at: the boot loader's and the three
// above.
bool IsKnownReceiverBaudRate(uint32_t baud);

// 230400, 460800 and 921600: the rates above the boot loader's that the
// flash monitor's speed change takes up to m_nMaxBaud.
bool IsHighReceiverBaudRate(uint32_t baud);

// Checks ranges and names; false with a one-line reason.
bool ValidateReceiverConfig(const CReceiverConfig& config, std::string& error);
