// The virtual receiver's address space: RAM at its board class's base, the
// monitor area (the internal RAM the boot loader loads the flash monitor
// into) and NOR flash of the configured chip at 0x01000000 with that chip's
// real sector table.
//
// Flash follows NOR rules: an erase sets one whole sector to 0xFF, and
// programming can only clear bits, so programming over bytes that were not
// erased leaves a mismatch that the program operation reports. Every access
// is checked against the mapped ranges; nothing outside them is touched.
//
// Used by the receiver's modes on the receiver's loop thread only; the report
// reads it after the loop has stopped (or under the receiver's lock).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr uint32_t RXM_FLASH_BASE = 0x01000000;
constexpr uint32_t RXM_BOOT_START = 0x01000000;
constexpr uint32_t RXM_BOOT_SIZE = 0xC000;
constexpr uint32_t RXM_APP_START = 0x01020000;
constexpr uint32_t RXM_MONITOR_AREA_SIZE = 0x20000;
constexpr uint16_t RXM_MANUFACTURER_CODE = 0x1F;
constexpr uint16_t RXM_DEVICE_AT49BV16X4 = 0xC0;
constexpr uint16_t RXM_DEVICE_AT49LV8011 = 0xCB;
constexpr size_t RXM_MEMORY_MAP_SIZE = 72;

// One flash chip: its codes, size and sector table, and the region layout the
// boot loader reports for it.
struct CReceiverChip_Info {
    std::string m_strName;
    uint16_t m_wDevice = 0;
    uint32_t m_nSize = 0;
    std::vector<uint32_t> m_SectorSizes;  // in address order from the flash base
    uint32_t m_nRegionASize = 0;
    uint32_t m_nAppSize = 0;
    uint32_t m_nUpperStart = 0;
    uint32_t m_nUpperSize = 0;
};

// The chip by name ("AT49BV16X4" or "AT49LV8011"); false for any other name.
bool FindReceiverChip(const std::string& name, CReceiverChip_Info& chip);

// RAM layout of a board class.
struct CReceiverBoard_Info {
    int m_nMapType = -1;  // 0 XERF1, 1 XERF2, -1 for a board outside 0 to 10
    uint32_t m_nRamBase = 0;
    uint32_t m_nRamSize = 0;
    uint32_t m_nMonitorAddress = 0;
    uint32_t m_nRamValueA = 0;
    uint32_t m_nRamValueB = 0;
};
CReceiverBoard_Info GetReceiverBoard(int boardId);

// Which part of the address space an address range lies in.
enum ERxArea { RXA_NONE, RXA_RAM, RXA_MONITOR, RXA_FLASH };

class CReceiverMemory {
public:
    CReceiverMemory(int boardId, const CReceiverChip_Info& chip);

    // The area holding the whole range [address, address + length); RXA_NONE
    // when it is unmapped, crosses an area's end or wraps. A length of 0 is
    // mapped when the address lies inside an area or at its end.
    ERxArea Area(uint32_t address, uint32_t length) const;
    bool Read(uint32_t address, uint8_t* out, uint32_t length) const;
    // Writes RAM or monitor area only.
    bool WriteRam(uint32_t address, const uint8_t* data, uint32_t length);
    // Byte pointer into any mapped area, or null; for the in-place expander.
    uint8_t* RamPointer(uint32_t address, uint32_t length);
    bool ByteSum(uint32_t address, uint32_t length, uint32_t& sum) const;

    // Index of the sector starting exactly at `address`, -1 otherwise.
    int SectorStartingAt(uint32_t address) const;
    int SectorContaining(uint32_t address) const;
    bool EraseSector(int index);
    enum EProgram { PROGRAM_OK, PROGRAM_OUTSIDE, PROGRAM_MISMATCH };
    // NOR programming: each flash byte becomes old AND new. PROGRAM_MISMATCH
    // when some byte did not end up as asked (its bits were not all erased).
    EProgram Program(uint32_t address, const uint8_t* data, uint32_t length);
    // Direct load at start-up (initial firmware), bypassing NOR rules.
    bool LoadFlash(uint32_t address, const uint8_t* data, uint32_t length);

    void ClearRam();  // power loss: RAM and monitor area lose their contents
    const std::vector<uint8_t>& Ram() const { return m_Ram; }
    // Exchanges the RAM array with `other` of the same size (false and no
    // change otherwise): lets an expansion run over another copy of RAM.
    bool SwapRam(std::vector<uint8_t>& other);
    std::vector<uint8_t> MemoryMapRecord() const;

    const CReceiverChip_Info& Chip() const { return m_Chip; }
    const CReceiverBoard_Info& Board() const { return m_Board; }
    const std::vector<uint8_t>& Flash() const { return m_Flash; }
    uint32_t SectorAddress(int index) const { return m_SectorStarts[index]; }
    uint32_t SectorSize(int index) const { return m_Chip.m_SectorSizes[index]; }
    int SectorCount() const { return static_cast<int>(m_SectorStarts.size()); }

private:
    uint8_t* Bytes(ERxArea area, uint32_t address);
    const uint8_t* Bytes(ERxArea area, uint32_t address) const;

    CReceiverChip_Info m_Chip;
    CReceiverBoard_Info m_Board;
    std::vector<uint32_t> m_SectorStarts;
    std::vector<uint8_t> m_Ram;
    std::vector<uint8_t> m_Monitor;
    std::vector<uint8_t> m_Flash;
};
