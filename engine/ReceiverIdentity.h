// What one upgrade run knows of the receiver and of the firmware on both
// sides: the board, the versions the receiver reports and those the package
// carries, the receiver's memory map and its flash chip.
//
// A group of the upgrade session (HERFLoaderImpl.h). Threading: Start sets
// the package's versions before the worker exists; the worker writes the
// rest in phases 0, 1 and 7. During the data upload the upload threads read
// the memory map (GetRamTop) while the worker writes nothing here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transfer/FlashDevice.h"
#include "transfer/MemoryMap.h"

namespace CHERFLoaderLib {

class CReceiverIdentity {
public:
    // The top of the receiver's RAM, where the staged image ends; 0 without a
    // usable memory map.
    uint32_t GetRamTop() const { return ::GetRamTop(m_pMemoryMap.get()); }
    // Whether the board may switch to 115200 baud: boards 2, 3, 5, 7 and 9,
    // or any known board with HLO_HIGH_SPEED_ANY_BOARD in `options`.
    bool IsHighSpeedBoard(uint32_t options) const;

    uint16_t m_wNewAppVersion = 0;   // carried by the package
    uint16_t m_wOldAppVersion = 0;   // reported by the receiver
    uint16_t m_wNewBootVersion = 0;  // carried by the package
    uint16_t m_wOldBootVersion = 0;  // reported by the receiver
    int32_t m_nBoardId = -1;         // -1: not yet known
    std::string m_strSerial;         // from the boot loader's identity record; empty when not read
    std::unique_ptr<CFlashDevice_Info> m_pFlashDevice;  // found in phase 1
    std::unique_ptr<CMemoryMap_Info> m_pMemoryMap;      // chosen in phase 0
    bool m_bReceiverMemoryMap = false;                  // the receiver supplied the map's data
};

}  // namespace CHERFLoaderLib
