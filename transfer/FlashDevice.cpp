#include "transfer/FlashDevice.h"

namespace {

constexpr CFlashSectorRun AT49BV16X4_RUNS[] = {
    {0, 8, 0x2000, 0x000000},
    {8, 31, 0x10000, 0x010000},
};

constexpr CFlashSectorRun AT49LV8011_RUNS[] = {
    {0, 1, 0x4000, 0x00000},  {1, 1, 0x8000, 0x04000}, {2, 4, 0x2000, 0x0C000},
    {6, 1, 0x8000, 0x14000},  {7, 1, 0x4000, 0x1C000}, {8, 14, 0x10000, 0x20000},
};

template <size_t N>
constexpr uint32_t CountSectors(const CFlashSectorRun (&runs)[N]) {
    return runs[N - 1].nFirstIndex + runs[N - 1].nCount;
}

// The tables must be contiguous: each run starts where the one before ends.
template <size_t N>
constexpr bool IsContiguous(const CFlashSectorRun (&runs)[N]) {
    for (size_t i = 1; i < N; ++i) {
        const CFlashSectorRun& prev = runs[i - 1];
        if (runs[i].nFirstIndex != prev.nFirstIndex + prev.nCount) return false;
        if (runs[i].nOffset != prev.nOffset + prev.nCount * prev.nSize) return false;
    }
    return runs[0].nFirstIndex == 0 && runs[0].nOffset == 0;
}

static_assert(CountSectors(AT49BV16X4_RUNS) == 39 && IsContiguous(AT49BV16X4_RUNS));
static_assert(CountSectors(AT49LV8011_RUNS) == 22 && IsContiguous(AT49LV8011_RUNS));
static_assert(AT49BV16X4_RUNS[1].nOffset + 31 * 0x10000 == 0x200000);
static_assert(AT49LV8011_RUNS[5].nOffset + 14 * 0x10000 == 0x100000);

}  // namespace

int32_t CFlashDevice_Info::FindSector(uint32_t address) const {
    const uint32_t nCount = GetSectorCount();
    for (uint32_t i = 0; i < nCount; ++i) {
        // Compared in 64 bits: a chip placed at the top of the address space
        // must not wrap its last sector's end to 0.
        const uint64_t nStart = GetSectorAddress(i);
        const uint64_t nEnd = nStart + GetSectorSize(i);
        if (nStart <= address && address < nEnd) return static_cast<int32_t>(i);
    }
    return -1;
}

uint32_t CFlashDevice_Info::GetSectorSpan(uint32_t start, uint32_t end) const {
    // An empty or reversed range touches nothing; without this test a range
    // ending below its start would count a negative number of sectors.
    if (end <= start) return 0;
    const int32_t nFirst = FindSector(start);
    const int32_t nLast = FindSector(end - 1);
    const int32_t nNext = FindSector(end);
    if (nFirst < 0 || nLast < 0) return 0;
    if (nNext < 0 || nNext == nLast) return static_cast<uint32_t>(nLast - nFirst + 1);
    return static_cast<uint32_t>(nNext - nFirst);
}

uint32_t CAT49BV16X4_Info::GetSectorCount() const { return CountSectors(AT49BV16X4_RUNS); }

uint32_t CAT49BV16X4_Info::GetSectorSize(uint32_t index) const {
    return SizeFromRuns(AT49BV16X4_RUNS, index);
}

uint32_t CAT49BV16X4_Info::GetSectorAddress(uint32_t index) const {
    return AddressFromRuns(AT49BV16X4_RUNS, index);
}

uint32_t CAT49LV8011_Info::GetSectorCount() const { return CountSectors(AT49LV8011_RUNS); }

uint32_t CAT49LV8011_Info::GetSectorSize(uint32_t index) const {
    return SizeFromRuns(AT49LV8011_RUNS, index);
}

uint32_t CAT49LV8011_Info::GetSectorAddress(uint32_t index) const {
    return AddressFromRuns(AT49LV8011_RUNS, index);
}

std::unique_ptr<CFlashDevice_Info> CreateFlashDevice(uint16_t wDeviceCode, uint32_t nBaseAddress) {
    switch (wDeviceCode) {
        case FLASH_DEVICE_AT49BV16X4:
            return std::make_unique<CAT49BV16X4_Info>(nBaseAddress);
        case FLASH_DEVICE_AT49LV8011:
            return std::make_unique<CAT49LV8011_Info>(nBaseAddress);
        default:
            return nullptr;
    }
}
