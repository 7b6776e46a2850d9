// The two flash monitor programs the upgrade loads into the receiver's RAM.
//
// One image per memory-map class: XERF1 (boards 0 to 3, 21164 bytes) and
// XERF2 (boards 4 to 10, 21820 bytes). Each starts with the application image
// header (magic, monitor version 31, build date 12 May 2006). The images are
// constant data; the upload sends them unchanged, and the virtual receiver
// starts a monitor only when exactly one of these images lies at its monitor
// address. Safe from any thread.
#pragma once

#include <cstdint>

constexpr uint32_t MONITOR_XERF1_SIZE = 21164;
constexpr uint32_t MONITOR_XERF2_SIZE = 21820;
constexpr uint16_t MONITOR_VERSION = 31;

struct CMonitorImage {
    const uint8_t* pData;
    uint32_t nLength;
};

// mapType 0: XERF1, 1: XERF2. Any other value gives an empty image.
CMonitorImage GetMonitorImage(int mapType);
