// Memory maps per board class and the flash chips' sector tables.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "transfer/FlashDevice.h"
#include "transfer/MemoryMap.h"

namespace {

// Catches a board given the wrong class, RAM or monitor address, which would
// stage the image against the wrong top of RAM or load the monitor elsewhere.
TEST(MemoryMapDefaults, BoardsGetTheirClassRamAndMonitor) {
    struct Row {
        int32_t board, type;
        uint32_t ramBase, ramTop, monitor;
    } rows[] = {
        {0, MEMORY_MAP_XERF1, 0x05000000, 0x05080000, 0x100000},
        {3, MEMORY_MAP_XERF1, 0x05000000, 0x05100000, 0x100000},
        {5, MEMORY_MAP_XERF2, 0x00400000, 0x00500000, 0x20000},
        {7, MEMORY_MAP_XERF2, 0x00400000, 0x00600000, 0x20000},
        {10, MEMORY_MAP_XERF2, 0x00400000, 0x00600000, 0x20000},
    };
    for (const Row& row : rows) {
        auto pMap = CreateMemoryMapInfo(row.board, nullptr, 0);
        ASSERT_NE(pMap, nullptr) << row.board;
        EXPECT_EQ(pMap->m_nMapType, row.type) << row.board;
        EXPECT_EQ(pMap->m_nRamBase, row.ramBase) << row.board;
        EXPECT_EQ(GetRamTop(pMap.get()), row.ramTop) << row.board;
        EXPECT_EQ(pMap->m_nMonitorAddress, row.monitor) << row.board;
        EXPECT_FALSE(pMap->m_bInitialized) << row.board;
    }
    for (int32_t board : {-1, 11, INT_MIN, INT_MAX}) {
        EXPECT_EQ(CreateMemoryMapInfo(board, nullptr, 0), nullptr) << board;
    }
    EXPECT_EQ(GetRamTop(nullptr), 0u);
}

// Catches the two chips' layouts swapped or mistyped (the application erase
// runs from the application start to the end of the upper region), an
// unknown chip given sizes, and a completed map changed by later ids.
TEST(MemoryMapDefaults, FlashIdsCompleteTheDefaultMapOnce) {
    struct Row {
        uint16_t device;
        uint32_t flashSize, regionASize, appSize, upperStart, appEraseEnd;
    } rows[] = {
        {FLASH_DEVICE_AT49BV16X4, 0x200000, 0x10000, 0xD0000, 0x01100000, 0x01200000},
        {FLASH_DEVICE_AT49LV8011, 0x100000, 0x2000, 0x90000, 0x010B0000, 0x01100000},
        {0x55, 0, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.device);
        auto pMap = CreateMemoryMapInfo(5, nullptr, 0);
        pMap->SetFlashIds(0x1F, row.device);
        EXPECT_TRUE(pMap->m_bInitialized);
        EXPECT_EQ(pMap->m_wFlashDevice, row.device);
        EXPECT_EQ(pMap->m_nFlashSize, row.flashSize);
        EXPECT_EQ(pMap->m_nBootSize, row.flashSize ? 0xC000u : 0u);
        EXPECT_EQ(pMap->m_nRegionAStart, 0x01010000u);
        EXPECT_EQ(pMap->m_nRegionASize, row.regionASize);
        EXPECT_EQ(pMap->m_nAppStart, 0x01020000u);
        EXPECT_EQ(pMap->m_nAppSize, row.appSize);
        EXPECT_EQ(pMap->m_nUpperStart, row.upperStart);
        EXPECT_EQ(pMap->m_nUpperStart + pMap->m_nUpperSize, row.appEraseEnd);
        EXPECT_EQ(GetRamTop(pMap.get()), 0x00500000u);
        pMap->SetFlashIds(0x01, FLASH_DEVICE_AT49BV16X4 + FLASH_DEVICE_AT49LV8011 - row.device);
        EXPECT_EQ(pMap->m_wFlashDevice, row.device);
        EXPECT_EQ(pMap->m_nFlashSize, row.flashSize);
    }
}

// Catches a field decoded from the wrong offset or byte order, a receiver's
// map overwritten by the built-in layout, a short record read past its end,
// and a receiver's RAM range whose top wraps past the 32-bit address space.
TEST(MemoryMapRecord, RecordKeptByteForByteAndRamChecked) {
    uint8_t record[MEMORY_MAP_RECORD_SIZE];
    for (size_t i = 0; i < sizeof(record); ++i) record[i] = uint8_t(i * 7 + 3);
    auto pMap = CreateMemoryMapInfo(9, record, sizeof(record));
    ASSERT_NE(pMap, nullptr);
    EXPECT_TRUE(pMap->m_bInitialized);
    EXPECT_EQ(pMap->m_wFlashManufacturer, 0x0A03);
    EXPECT_EQ(pMap->m_nFlashBase, 0x342D261Fu);
    EXPECT_EQ(pMap->m_nRamSize, 0xF4EDE6DFu);
    pMap->SetFlashIds(0x1F, FLASH_DEVICE_AT49BV16X4);
    uint8_t copy[MEMORY_MAP_RECORD_SIZE];
    pMap->WriteRecord(copy);
    EXPECT_EQ(std::memcmp(copy, record, sizeof(record)), 0);

    EXPECT_EQ(GetRamTop(CreateMemoryMapInfo(3, record, sizeof(record) - 1).get()), 0x05100000u);

    struct Row {
        uint32_t base, size, top;
    } rows[] = {{0xFFF00000, 0x100000, 0}, {0x00400000, 0, 0}, {0xFFF00000, 0xFFFFF, 0xFFFFFFFF}};
    for (const Row& row : rows) {
        for (int i = 0; i < 4; ++i) {
            record[64 + i] = uint8_t(row.base >> (8 * i));
            record[68 + i] = uint8_t(row.size >> (8 * i));
        }
        EXPECT_EQ(GetRamTop(CreateMemoryMapInfo(6, record, sizeof(record)).get()), row.top)
            << std::hex << row.base << " " << row.size;
    }
}

// Catches off-by-one sector boundaries, a range ending inside a sector not
// counted, and ranges outside the chip or reversed counted as sectors.
TEST(FlashDevice, FindSectorAndSpans) {
    const auto pBv = CreateFlashDevice(FLASH_DEVICE_AT49BV16X4, FLASH_BASE_ADDRESS);
    const auto pLv = CreateFlashDevice(FLASH_DEVICE_AT49LV8011, FLASH_BASE_ADDRESS);
    ASSERT_NE(dynamic_cast<const CAT49BV16X4_Info*>(pBv.get()), nullptr);
    ASSERT_NE(dynamic_cast<const CAT49LV8011_Info*>(pLv.get()), nullptr);
    struct SectorRow {
        const CFlashDevice_Info* pChip;
        uint32_t address;
        int32_t sector;
    } sectors[] = {
        {pBv.get(), 0x0100E000, 7},  {pBv.get(), 0x01010000, 8},  {pBv.get(), 0x011FFFFF, 38},
        {pBv.get(), 0x01200000, -1}, {pBv.get(), 0x00FFFFFF, -1}, {pLv.get(), 0x01003FFF, 0},
        {pLv.get(), 0x01004000, 1},  {pLv.get(), 0x01013FFF, 5},  {pLv.get(), 0x0101C000, 7},
        {pLv.get(), 0x010FFFFF, 21}, {pLv.get(), 0x01100000, -1},
    };
    for (const SectorRow& row : sectors) {
        EXPECT_EQ(row.pChip->FindSector(row.address), row.sector) << std::hex << row.address;
    }
    struct SpanRow {
        const CFlashDevice_Info* pChip;
        uint32_t start, end, span;
    } spans[] = {
        {pBv.get(), 0x01000000, 0x0100C000, 6}, {pBv.get(), 0x01020000, 0x01200000, 30},
        {pBv.get(), 0x01000000, 0x01002001, 2}, {pBv.get(), 0x00F00000, 0x01001000, 0},
        {pBv.get(), 0x01100000, 0x01200001, 0}, {pBv.get(), 0x01100000, 0x01020000, 0},
        {pBv.get(), 0x01020000, 0x01020000, 0}, {pLv.get(), 0x01000000, 0x0100C000, 2},
        {pLv.get(), 0x01020000, 0x01100000, 14}, {pLv.get(), 0x01000000, 0x01000001, 1},
    };
    for (const SpanRow& row : spans) {
        EXPECT_EQ(row.pChip->GetSectorSpan(row.start, row.end), row.span)
            << std::hex << row.start << " " << row.end;
    }
    for (uint16_t code : {0x00, 0xC1, 0xFFFF}) EXPECT_EQ(CreateFlashDevice(code, 0), nullptr);
}

// Catches a base address ignored and an index past the end answered with a
// real sector (the tables' contiguity is checked where they are defined).
TEST(FlashDevice, SectorsFollowTheBaseAndEndWithTheChip) {
    const auto pChip = CreateFlashDevice(FLASH_DEVICE_AT49LV8011, 0x00200000);
    EXPECT_EQ(pChip->GetSectorAddress(7), 0x0021C000u);
    EXPECT_EQ(pChip->FindSector(0x0021C000), 7);
    EXPECT_EQ(pChip->GetSectorAddress(21) + pChip->GetSectorSize(21), 0x00300000u);
    EXPECT_EQ(pChip->GetSectorSize(22), FLASH_SECTOR_NONE);
    EXPECT_EQ(pChip->GetSectorAddress(UINT32_MAX), FLASH_SECTOR_NONE);
}

}  // namespace
