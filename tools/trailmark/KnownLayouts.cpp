#include "tools/trailmark/KnownLayouts.h"

#include "transfer/FlashDevice.h"
#include "transfer/MemoryMap.h"

namespace {

// Any board of the class for the flash layout: it does not depend on the board.
constexpr int32_t FLASH_LAYOUT_BOARD = 7;

}  // namespace

std::vector<CKnownVerdict> CheckKnownRam(const CPackageLayout& layout)
{
    static const struct {
        const char* pszName;
        int32_t nBoard;  // the first board of the class
    } CLASSES[] = {{"boards 0-1", 0}, {"boards 2-3", 2}, {"boards 4-6", 4}, {"boards 7-10", 7}};
    std::vector<CKnownVerdict> verdicts;
    for (const auto& boardClass : CLASSES) {
        const auto map = CreateMemoryMapInfo(boardClass.nBoard, nullptr, 0);
        CKnownVerdict verdict;
        verdict.m_strName = boardClass.pszName;
        verdict.m_nRamBase = map->m_nRamBase;
        verdict.m_nRamSize = map->m_nRamSize;
        verdict.m_bFits = CheckRamLayout(layout, GetRamArea(*map), verdict.m_strReason);
        verdicts.push_back(verdict);
    }
    return verdicts;
}

std::vector<CKnownVerdict> CheckKnownFlash(const CPackageLayout& layout)
{
    static const struct {
        const char* pszName;
        uint16_t wDevice;
    } CHIPS[] = {{"AT49BV16X4", FLASH_DEVICE_AT49BV16X4}, {"AT49LV8011", FLASH_DEVICE_AT49LV8011}};
    std::vector<CKnownVerdict> verdicts;
    for (const auto& chip : CHIPS) {
        const auto map = CreateMemoryMapInfo(FLASH_LAYOUT_BOARD, nullptr, 0);
        map->SetFlashIds(FLASH_MANUFACTURER_CODE, chip.wDevice);
        const auto flash = CreateFlashDevice(chip.wDevice, FLASH_BASE_ADDRESS);
        CKnownVerdict verdict;
        verdict.m_strName = chip.pszName;
        verdict.m_bFits = CheckFlashLayout(layout, *map, *flash, verdict.m_strReason);
        verdicts.push_back(verdict);
    }
    return verdicts;
}
