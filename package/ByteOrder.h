// Little-endian numbers: the one reader (and pointer writer) of the 16- and
// 32-bit values that the package files, the staged image, the memory-map
// record and the boot and monitor payloads carry.
//
// Header only, on the ground floor so that the package reader, the transfer
// code, the link and the engine share it. The virtual receiver keeps its own
// on purpose (receiver/README.md). Pure functions; `p` must point at 2 or 4
// readable (writable) bytes.
#pragma once

#include <cstdint>

inline uint16_t GetLe16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t GetLe32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void PutLe16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

inline void PutLe32(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}
