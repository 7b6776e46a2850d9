// The receiver's flash chip: how it is divided into erase sectors.
//
// The monitor upload creates one description from the device code the flash
// monitor reports (CreateFlashDevice); flash preparation asks it which sector
// an address lies in and how many sectors a byte range touches, to erase
// exactly those. Each chip class answers from a constant table of sector runs.
//
// Threading: immutable after construction; safe to read from any thread.
#pragma once

#include <cstdint>
#include <memory>

// Device codes the flash monitor reports, and where the chip lies.
constexpr uint16_t FLASH_DEVICE_AT49BV16X4 = 0xC0;
constexpr uint16_t FLASH_DEVICE_AT49LV8011 = 0xCB;
constexpr uint32_t FLASH_BASE_ADDRESS = 0x01000000;
// The manufacturer code the flash monitor reports for both chips.
constexpr uint16_t FLASH_MANUFACTURER_CODE = 0x1F;
// Every chip a receiver may carry; a board may have either.
constexpr uint16_t FLASH_KNOWN_DEVICES[] = {FLASH_DEVICE_AT49BV16X4, FLASH_DEVICE_AT49LV8011};
// Both chips program 16-bit words: a byte range that starts or ends inside a
// word cannot be programmed as it stands.
constexpr uint32_t FLASH_PROGRAM_UNIT = 2;

// Size or address of a sector that does not exist.
constexpr uint32_t FLASH_SECTOR_NONE = 0xFFFFFFFF;

// One run of equal sectors in a chip's table.
struct CFlashSectorRun {
    uint32_t nFirstIndex;
    uint32_t nCount;
    uint32_t nSize;
    uint32_t nOffset;  // offset of the run's first sector from the chip's base
};

class CFlashDevice_Info {
public:
    explicit CFlashDevice_Info(uint32_t nBaseAddress) : m_nBaseAddress(nBaseAddress) {}
    virtual ~CFlashDevice_Info() = default;

    virtual uint32_t GetSectorCount() const = 0;
    // Size of sector `index`; FLASH_SECTOR_NONE for an index not below the count.
    virtual uint32_t GetSectorSize(uint32_t index) const = 0;
    // Address of sector `index`; FLASH_SECTOR_NONE for an index not below the count.
    virtual uint32_t GetSectorAddress(uint32_t index) const = 0;
    // Index of the sector holding the address; -1 when no sector does.
    virtual int32_t FindSector(uint32_t address) const;
    // Number of sectors the bytes from `start` up to but excluding `end`
    // touch; 0 when the first or last byte lies outside the chip, or when the
    // range is empty.
    virtual uint32_t GetSectorSpan(uint32_t start, uint32_t end) const;

    uint32_t m_nBaseAddress;

protected:
    // The answers of a chip whose table is `runs` (in index order, contiguous).
    template <size_t N>
    uint32_t SizeFromRuns(const CFlashSectorRun (&runs)[N], uint32_t index) const;
    template <size_t N>
    uint32_t AddressFromRuns(const CFlashSectorRun (&runs)[N], uint32_t index) const;
};

// 2 MiB, 39 sectors: eight of 8 KiB, then 31 of 64 KiB.
class CAT49BV16X4_Info : public CFlashDevice_Info {
public:
    explicit CAT49BV16X4_Info(uint32_t nBaseAddress) : CFlashDevice_Info(nBaseAddress) {}
    uint32_t GetSectorCount() const override;
    uint32_t GetSectorSize(uint32_t index) const override;
    uint32_t GetSectorAddress(uint32_t index) const override;
};

// 1 MiB, 22 sectors of 16, 32, 8 and 64 KiB.
class CAT49LV8011_Info : public CFlashDevice_Info {
public:
    explicit CAT49LV8011_Info(uint32_t nBaseAddress) : CFlashDevice_Info(nBaseAddress) {}
    uint32_t GetSectorCount() const override;
    uint32_t GetSectorSize(uint32_t index) const override;
    uint32_t GetSectorAddress(uint32_t index) const override;
};

// The description for a device code (0xC0 or 0xCB); null for any other code.
std::unique_ptr<CFlashDevice_Info> CreateFlashDevice(uint16_t wDeviceCode, uint32_t nBaseAddress);

template <size_t N>
uint32_t CFlashDevice_Info::SizeFromRuns(const CFlashSectorRun (&runs)[N], uint32_t index) const {
    for (const CFlashSectorRun& run : runs) {
        if (index >= run.nFirstIndex && index - run.nFirstIndex < run.nCount) return run.nSize;
    }
    return FLASH_SECTOR_NONE;
}

template <size_t N>
uint32_t CFlashDevice_Info::AddressFromRuns(const CFlashSectorRun (&runs)[N], uint32_t index) const {
    for (const CFlashSectorRun& run : runs) {
        if (index >= run.nFirstIndex && index - run.nFirstIndex < run.nCount) {
            return m_nBaseAddress + run.nOffset + (index - run.nFirstIndex) * run.nSize;
        }
    }
    return FLASH_SECTOR_NONE;
}
