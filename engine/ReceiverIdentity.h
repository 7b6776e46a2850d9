// What one upgrade run knows of the receiver and of the firmware on both
// sides: the board, the versions the receiver reports and those the package
// carries, the receiver's memory map and its flash chip.
//
// A group of the upgrade session (HERFLoaderImpl.h). Threading: Start sets
// the package's versions before the worker exists; the worker writes the
// rest in phases 0, 1 and 7. During the data upload the upload threads read
// the memory map (GetRamTop) while the worker writes nothing here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "transfer/FlashDevice.h"
#include "transfer/MemoryMap.h"

namespace CHERFLoaderLib {

// Identity record fields (little-endian), shared by the boot loader's
// identity reply and the monitor's information reply.
constexpr size_t ID_PRODUCT = 0, ID_APP_VERSION = 2, ID_APP_DATE = 4, ID_BOARD = 10, ID_BOOT_VERSION = 16,
                 ID_BOOT_DATE = 18, ID_SERIAL = 22;
constexpr size_t ID_SERIAL_LENGTH = 16;

// The identity record's serial number: 16 bytes of text, zero-terminated
// when shorter; bytes that are not printable are left out, as a receiver
// with an unwritten serial area gives 0xFF there.
std::string SerialText(const uint8_t* record);

class CReceiverIdentity {
public:
    // The top of the receiver's RAM, where the staged image ends; 0 without a
    // usable memory map.
    uint32_t GetRamTop() const { return ::GetRamTop(m_pMemoryMap.get()); }
    // Whether the board may switch to 115200 baud: boards 2, 3, 5, 7 and 9,
    // or any known board with HLO_HIGH_SPEED_ANY_BOARD in `options`.
    bool IsHighSpeedBoard(uint32_t options) const;
    // Takes the receiver's versions, board and serial number from a 38-byte
    // identity record (the boot loader's, or the monitor's information,
    // which has the same layout).
    void TakeIdentity(const uint8_t* record);

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
