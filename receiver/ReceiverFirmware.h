// What the virtual receiver's flash holds and what it says about itself.
//
// Builds the older firmware a fresh receiver starts with (an application
// image with its 32-byte header and a boot image with its version record,
// both generated deterministically from their versions), reads the versions
// and dates back from flash the way the boot loader does, and forms the
// 38-byte identity record of the boot loader's and the monitor's answers.
//
// Pure functions over a CReceiverMemory; used on the receiver's loop thread
// and at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CReceiverMemory;
struct CReceiverConfig;

constexpr size_t RXI_IDENTITY_SIZE = 38;
constexpr uint32_t RXI_BOOT_RECORD_OFFSET = 0x40;  // in the generated boot image

std::vector<uint8_t> BuildAppImage(uint16_t productCode, uint16_t version);
std::vector<uint8_t> BuildBootImage(uint16_t version);

struct CFlashVersions {
    bool m_bAppValid = false;  // the application region starts with an application header
    uint16_t m_wProductCode = 0;
    uint16_t m_wAppVersion = 0;
    uint16_t m_wAppYear = 0;
    uint8_t m_nAppMonth = 0;
    uint8_t m_nAppDay = 0;
    bool m_bBootValid = false;  // a boot version record lies in the boot region's first 256 bytes
    uint16_t m_wBootVersion = 0;
    uint16_t m_wBootYear = 0;
    uint8_t m_nBootMonth = 0;
    uint8_t m_nBootDay = 0;
};

CFlashVersions ReadFlashVersions(const CReceiverMemory& memory);

// Product code (from the application header, else the configured one),
// versions and dates from flash, hardware number 1, board identifier,
// hardware date, serial number.
std::vector<uint8_t> BuildIdentityRecord(const CReceiverMemory& memory,
                                         const CReceiverConfig& config);

// Loads the configured initial firmware into flash; false with a reason when
// a file cannot be read or does not fit its region.
bool LoadInitialFirmware(CReceiverMemory& memory, const CReceiverConfig& config,
                         std::string& error);
