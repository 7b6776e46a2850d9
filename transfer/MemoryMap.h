// The receiver's memory map: where its flash regions, its RAM and the flash
// monitor's load address lie.
//
// The connection phase builds one map for the receiver's board identifier
// (CreateMemoryMapInfo), either from the built-in layout of the board's class
// or from the 72-byte record the boot loader sends. A map from defaults has its
// RAM layout at once and gets its flash layout when the monitor has named the
// chip (SetFlashIds); a map from a record is complete at once and SetFlashIds
// leaves it as it is. Staging, the monitor upload and flash preparation read
// the fields.
//
// Threading: none inside. The session builds and completes the map on its
// worker thread; other threads only read it afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "transfer/BoardFacts.h"

constexpr size_t MEMORY_MAP_RECORD_SIZE = 72;

// Room of the monitor area, the internal RAM at m_nMonitorAddress that the
// boot loader loads the flash monitor into: 128 KiB on both classes. A
// monitor image longer than this would run past the area's end.
constexpr uint32_t MONITOR_AREA_SIZE = 0x20000;

class CMemoryMap_Info {
public:
    virtual ~CMemoryMap_Info() = default;

    // Completes the flash layout from the chip's codes (see the subclasses).
    virtual void SetFlashIds(uint16_t wManufacturer, uint16_t wDevice) = 0;

    // The 72 record bytes of the fields, little-endian, as the boot loader
    // sends them.
    void WriteRecord(uint8_t* pRecord) const;
    // The RAM range is not empty and its top is a 32-bit address.
    bool HasValidRam() const;
    // RAM base plus RAM size: the top against which staged blocks are placed.
    // 0 when the RAM range is not valid (see HasValidRam).
    uint32_t GetRamTop() const;

    uint16_t m_wFlashManufacturer = 0;
    uint16_t m_wFlashDevice = 0;
    uint32_t m_nFlashBase = 0;
    uint32_t m_nFlashSize = 0;
    uint32_t m_nBootStart = 0;
    uint32_t m_nBootSize = 0;
    uint32_t m_nRegionAStart = 0;  // carried, not read by the upgrade
    uint32_t m_nRegionASize = 0;
    uint32_t m_nRegionBStart = 0;  // carried, not read by the upgrade
    uint32_t m_nRegionBSize = 0;
    uint32_t m_nAppStart = 0;
    uint32_t m_nAppSize = 0;
    uint32_t m_nUpperStart = 0;    // region above the application; its end ends the app erase
    uint32_t m_nUpperSize = 0;
    uint32_t m_nRamValueA = 0;     // carried, not read by the upgrade
    uint32_t m_nRamValueB = 0;     // carried, not read by the upgrade
    uint32_t m_nMonitorAddress = 0;
    uint32_t m_nRamBase = 0;
    uint32_t m_nRamSize = 0;
    int32_t m_nMapType = 0;        // MEMORY_MAP_XERF1 or MEMORY_MAP_XERF2
    int32_t m_nBoardId = 0;
    bool m_bInitialized = false;   // complete: from a record, or flash ids applied

protected:
    // Clears the record fields; with a record, decodes it and marks the map
    // complete.
    CMemoryMap_Info(int32_t nMapType, int32_t nBoardId, const uint8_t* pRecord);
    // Stores the codes and the built-in flash layout of the device code.
    void SetFlashLayout(uint16_t wManufacturer, uint16_t wDevice);
    // The board's built-in RAM range (BoardFacts.h).
    void FillRam();
    void ReadRecord(const uint8_t* pRecord);
};

// Boards 0 to 3: RAM at 0x05000000, 512 KiB (boards 0, 1) or 1 MiB (2, 3).
class CXERF1MemoryMapInfo : public CMemoryMap_Info {
public:
    // pRecord: 72 record bytes, or null for the built-in layout.
    CXERF1MemoryMapInfo(int32_t nBoardId, const uint8_t* pRecord);
    // Nothing when complete; else the flash layout, the RAM defaults, complete.
    void SetFlashIds(uint16_t wManufacturer, uint16_t wDevice) override;
    // Writes the built-in RAM layout unless the map is complete or already has it.
    void FillDefaults();
};

// Boards 4 to 10: RAM at 0x00400000, 1 MiB (boards 4 to 6) or 2 MiB (7 to 10).
class CXERF2MemoryMapInfo : public CMemoryMap_Info {
public:
    CXERF2MemoryMapInfo(int32_t nBoardId, const uint8_t* pRecord);
    void SetFlashIds(uint16_t wManufacturer, uint16_t wDevice) override;
    void FillDefaults();
};

// The bits of a package's family word that name its device family; 0 there
// means a package for any board.
constexpr uint32_t DEVICE_FAMILY_MASK = 0x000FF000;

// The device family a board requires (BoardFacts.h); 0 for any other
// identifier, which any package suits.
uint32_t GetBoardFamily(int32_t nBoardId);

// The boards a package with this family word is meant for, in order: every
// board for family 0, none for a family no board has.
std::vector<int32_t> GetFamilyBoards(uint32_t nFamilyWord);

// Map class of a board (BoardFacts.h); -1 for any other identifier.
int32_t GetMapTypeForBoard(int32_t nBoardId);

// Room of the monitor area of a map class; 0 for any other class.
uint32_t GetMonitorAreaSize(int32_t nMapType);

// The map for a board identifier, built from the record when one of at least
// 72 bytes is given (null or a shorter record: built-in layout). Null for a
// board outside 0-10.
std::unique_ptr<CMemoryMap_Info> CreateMemoryMapInfo(int32_t nBoardId, const uint8_t* pRecord,
                                                     size_t nRecordLength);

// Top of RAM of a map; 0 without a map or with a RAM range that is not valid.
uint32_t GetRamTop(const CMemoryMap_Info* pMap);
