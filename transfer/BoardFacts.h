// What each receiver board is, in one table: the device family a package
// must carry for it, its memory-map class (which also chooses the flash
// monitor image), its built-in RAM layout, whether its boot loader and
// monitor may switch to 115200 baud, and where its flash monitor returns
// after 0x93 (its application, or its boot loader).
//
// Every part of the upgrade that depends on the board reads it here: the
// family check, the memory map, the monitor upload, the line-rate switches
// and the final phase. Constant data; safe from any thread.
#pragma once

#include <cstdint>

constexpr int32_t BOARD_ID_UNKNOWN = -1;
constexpr int32_t BOARD_ID_MAX = 10;

constexpr int32_t MEMORY_MAP_XERF1 = 0;
constexpr int32_t MEMORY_MAP_XERF2 = 1;

struct CBoardFacts {
    int32_t nBoardId;
    uint32_t nFamily;           // the device family (family word & 0xFF000) of its packages
    int32_t nMapType;           // MEMORY_MAP_XERF1 or MEMORY_MAP_XERF2
    uint32_t nRamBase;          // the built-in RAM layout
    uint32_t nRamSize;
    bool bHighSpeed;            // may switch its links to 115200 baud
    bool bLeavesToApplication;  // its monitor's 0x93 returns to the application, not the boot loader
};

// The facts of boards 0 to 10; null for any other identifier (-1 included).
const CBoardFacts* FindBoard(int32_t boardId);
