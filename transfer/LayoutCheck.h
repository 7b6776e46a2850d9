// Whether a staged package can be upgraded safely on a receiver, judged from
// the receiver's RAM and flash layout before anything is written.
//
// RAM: the image is staged below the top of RAM, and each compressed section
// is expanded in place from the bottom of RAM (the RAM base) upwards, so an
// expansion can run over data that is still to be read or programmed. Flash:
// each section's "Prepare flash" erases the whole sectors of its region, so a
// later section can wipe an earlier one, and bytes programmed outside the
// erased sectors do not take. The upgrade session runs CheckRamLayout as soon
// as the memory map is known (before the monitor upload) and
// CheckFlashLayout once the flash chip is known (before the data upload);
// `trailmark info` and `trailmark pack` run them against the built-in
// layouts.
//
// Pure functions of plain data; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "package/FirmwareFile.h"
#include "transfer/FlashDevice.h"
#include "transfer/MemoryMap.h"

// One section as the layout checks see it.
struct CSectionLayout {
    uint32_t m_nFlags = 0;
    uint32_t m_nLength = 0;         // staged bytes
    uint32_t m_nAddress = 0;        // flash address of the first programmed byte
    int32_t m_nStagingOffset = 0;   // from the top of RAM
    // "Program flash" writes this many bytes: the expanded length for a
    // compressed section, the length for a plain one, otherwise none.
    uint32_t m_nProgramBytes = 0;
    // Compressed sections only: the prefix and stream can be read, the bytes
    // the expansion writes from the RAM base on, and how far the stream must
    // begin above the RAM base (see MeasureExpansion).
    bool m_bExpandable = false;
    uint32_t m_nExpansionSize = 0;
    uint32_t m_nExpansionLead = 0;
};

struct CPackageLayout {
    std::vector<CSectionLayout> m_Sections;  // in package order, which is plan order
    uint32_t m_nStagedTotal = 0;
};

// The receiver's RAM as the checks need it.
struct CRamArea {
    uint32_t m_nBase = 0;
    uint32_t m_nSize = 0;
    uint32_t m_nMonitorAddress = 0;  // where the flash monitor program lies
    uint32_t m_nMonitorLength = 0;   // its length; 0 when it takes no room
};

// The layout of a staged package: StageImage has set the staging offsets and
// every section holds its data.
CPackageLayout DescribeLayout(const CFirmwareFileEntry& package);

// The RAM area of a memory map, with the monitor image of the map's class.
CRamArea GetRamArea(const CMemoryMap_Info& map);

// The RAM rules: the staged image fits the RAM and leaves the monitor alone;
// every expansion stays inside RAM and off the monitor; in plan order, the
// expansion of a compressed section stays clear of the staged data of every
// later section, which is still to be expanded or programmed; the expander
// never writes over its own unread stream. False, with the reason, at the
// first rule broken.
bool CheckRamLayout(const CPackageLayout& layout, const CRamArea& ram, std::string& reason);

// The least RAM size for which CheckRamLayout passes with RAM at `base` and
// no monitor inside it; 0x100000000 when no size does.
uint64_t GetRamNeeded(const CPackageLayout& layout, uint32_t base);

// The flash rules: every section has a region to erase, its programmed range
// [address, address + bytes to program) lies inside the sectors its "Prepare
// flash" erases, and those sectors hold nothing that an earlier section
// programmed. False, with the reason, at the first rule broken.
bool CheckFlashLayout(const CPackageLayout& layout, const CMemoryMap_Info& map,
                      const CFlashDevice_Info& flash, std::string& reason);
