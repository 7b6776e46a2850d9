// CRC-32 (the reflected 0xEDB88320 polynomial, as in zip and PNG) for the
// host's read-back check of programmed flash. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32 of `length` bytes; pass the previous result as `crc` to continue a
// running check over several pieces (0 to start).
uint32_t Crc32(const uint8_t* data, size_t length, uint32_t crc = 0);
