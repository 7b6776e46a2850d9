#include "transfer/MemoryMap.h"

#include "package/ByteOrder.h"
#include "transfer/FlashDevice.h"

namespace {

// The 32-bit fields of the record in order, from offset 4 on.
uint32_t CMemoryMap_Info::*const RECORD_WORDS[] = {
    &CMemoryMap_Info::m_nFlashBase,    &CMemoryMap_Info::m_nFlashSize,
    &CMemoryMap_Info::m_nBootStart,    &CMemoryMap_Info::m_nBootSize,
    &CMemoryMap_Info::m_nRegionAStart, &CMemoryMap_Info::m_nRegionASize,
    &CMemoryMap_Info::m_nRegionBStart, &CMemoryMap_Info::m_nRegionBSize,
    &CMemoryMap_Info::m_nAppStart,     &CMemoryMap_Info::m_nAppSize,
    &CMemoryMap_Info::m_nUpperStart,   &CMemoryMap_Info::m_nUpperSize,
    &CMemoryMap_Info::m_nRamValueA,    &CMemoryMap_Info::m_nRamValueB,
    &CMemoryMap_Info::m_nMonitorAddress, &CMemoryMap_Info::m_nRamBase,
    &CMemoryMap_Info::m_nRamSize,
};
static_assert(4 + 4 * (sizeof(RECORD_WORDS) / sizeof(RECORD_WORDS[0])) == MEMORY_MAP_RECORD_SIZE);

}  // namespace

CMemoryMap_Info::CMemoryMap_Info(int32_t nMapType, int32_t nBoardId, const uint8_t* pRecord)
    : m_nMapType(nMapType), m_nBoardId(nBoardId) {
    if (pRecord != nullptr) {
        ReadRecord(pRecord);
        m_bInitialized = true;
    }
}

void CMemoryMap_Info::ReadRecord(const uint8_t* pRecord) {
    m_wFlashManufacturer = GetLe16(pRecord);
    m_wFlashDevice = GetLe16(pRecord + 2);
    const uint8_t* p = pRecord + 4;
    for (uint32_t CMemoryMap_Info::*pField : RECORD_WORDS) {
        this->*pField = GetLe32(p);
        p += 4;
    }
}

void CMemoryMap_Info::WriteRecord(uint8_t* pRecord) const {
    PutLe16(pRecord, m_wFlashManufacturer);
    PutLe16(pRecord + 2, m_wFlashDevice);
    uint8_t* p = pRecord + 4;
    for (uint32_t CMemoryMap_Info::*pField : RECORD_WORDS) {
        PutLe32(p, this->*pField);
        p += 4;
    }
}

bool CMemoryMap_Info::HasValidRam() const {
    // A record from the receiver may describe RAM that reaches past the
    // 32-bit address space; a top of RAM wrapped from it would place the
    // staged image anywhere.
    return m_nRamSize != 0 && static_cast<uint64_t>(m_nRamBase) + m_nRamSize <= UINT32_MAX;
}

uint32_t CMemoryMap_Info::GetRamTop() const {
    if (!HasValidRam()) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(m_nRamBase) + m_nRamSize);
}

void CMemoryMap_Info::SetFlashLayout(uint16_t wManufacturer, uint16_t wDevice) {
    m_wFlashManufacturer = wManufacturer;
    m_wFlashDevice = wDevice;
    // The region starts are the same on both chips; an unknown chip gets
    // only these, its sizes stay as they were.
    m_nFlashBase = FLASH_BASE_ADDRESS;
    m_nBootStart = 0x01000000;
    m_nRegionAStart = 0x01010000;
    m_nRegionBStart = 0x0100E000;
    m_nAppStart = 0x01020000;
    if (wDevice == FLASH_DEVICE_AT49BV16X4) {
        m_nFlashSize = 0x200000;
        m_nBootSize = 0xC000;
        m_nRegionASize = 0x10000;
        m_nRegionBSize = 0x2000;
        m_nAppSize = 0xD0000;
        m_nUpperStart = 0x01100000;
        m_nUpperSize = 0x100000;
    } else if (wDevice == FLASH_DEVICE_AT49LV8011) {
        m_nFlashSize = 0x100000;
        m_nBootSize = 0xC000;
        m_nRegionASize = 0x2000;
        m_nRegionBSize = 0x2000;
        m_nAppSize = 0x90000;
        m_nUpperStart = 0x010B0000;
        m_nUpperSize = 0x50000;
    }
}

void CMemoryMap_Info::FillRam() {
    const CBoardFacts* board = FindBoard(m_nBoardId);
    m_nRamBase = board != nullptr ? board->nRamBase : 0;
    m_nRamSize = board != nullptr ? board->nRamSize : 0;
}

CXERF1MemoryMapInfo::CXERF1MemoryMapInfo(int32_t nBoardId, const uint8_t* pRecord)
    : CMemoryMap_Info(MEMORY_MAP_XERF1, nBoardId, pRecord) {
    if (pRecord == nullptr) FillDefaults();
}

void CXERF1MemoryMapInfo::SetFlashIds(uint16_t wManufacturer, uint16_t wDevice) {
    if (m_bInitialized) return;
    SetFlashLayout(wManufacturer, wDevice);
    FillDefaults();
    m_bInitialized = true;
}

void CXERF1MemoryMapInfo::FillDefaults() {
    if (m_bInitialized || m_nRamValueA != 0) return;
    m_nRamValueA = 0x100000;
    m_nRamValueB = 0x20000;
    m_nMonitorAddress = 0x100000;
    FillRam();
}

CXERF2MemoryMapInfo::CXERF2MemoryMapInfo(int32_t nBoardId, const uint8_t* pRecord)
    : CMemoryMap_Info(MEMORY_MAP_XERF2, nBoardId, pRecord) {
    if (pRecord == nullptr) FillDefaults();
}

void CXERF2MemoryMapInfo::SetFlashIds(uint16_t wManufacturer, uint16_t wDevice) {
    if (m_bInitialized) return;
    SetFlashLayout(wManufacturer, wDevice);
    FillDefaults();
    m_bInitialized = true;
}

void CXERF2MemoryMapInfo::FillDefaults() {
    if (m_bInitialized || m_nRamValueA != 0) return;
    m_nRamValueA = 0x20000;
    m_nRamValueB = 0x20000;
    m_nMonitorAddress = 0x20000;
    FillRam();
}

uint32_t GetMonitorAreaSize(int32_t nMapType) {
    return nMapType == MEMORY_MAP_XERF1 || nMapType == MEMORY_MAP_XERF2 ? MONITOR_AREA_SIZE : 0;
}

uint32_t GetBoardFamily(int32_t nBoardId) {
    const CBoardFacts* board = FindBoard(nBoardId);
    return board != nullptr ? board->nFamily : 0;
}

std::vector<int32_t> GetFamilyBoards(uint32_t nFamilyWord) {
    const uint32_t nFamily = nFamilyWord & DEVICE_FAMILY_MASK;
    std::vector<int32_t> boards;
    for (int32_t nBoard = 0; nBoard <= BOARD_ID_MAX; ++nBoard)
        if (nFamily == 0 || GetBoardFamily(nBoard) == nFamily) boards.push_back(nBoard);
    return boards;
}

int32_t GetMapTypeForBoard(int32_t nBoardId) {
    const CBoardFacts* board = FindBoard(nBoardId);
    return board != nullptr ? board->nMapType : -1;
}

std::unique_ptr<CMemoryMap_Info> CreateMemoryMapInfo(int32_t nBoardId, const uint8_t* pRecord,
                                                     size_t nRecordLength) {
    if (nRecordLength < MEMORY_MAP_RECORD_SIZE) pRecord = nullptr;
    switch (GetMapTypeForBoard(nBoardId)) {
        case MEMORY_MAP_XERF1:
            return std::make_unique<CXERF1MemoryMapInfo>(nBoardId, pRecord);
        case MEMORY_MAP_XERF2:
            return std::make_unique<CXERF2MemoryMapInfo>(nBoardId, pRecord);
        default:
            return nullptr;
    }
}

uint32_t GetRamTop(const CMemoryMap_Info* pMap) { return pMap == nullptr ? 0 : pMap->GetRamTop(); }
