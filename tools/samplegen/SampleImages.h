// The sample firmware: an application image and a boot image that look and
// compress like real receiver firmware, made from a fixed seed so that every
// build produces the same bytes.
//
// Used by the trailmark-samplegen program, which writes the two images and
// the sample package that the tests and the virtual receiver work with.
// Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t SAMPLE_APP_SIZE = 384 * 1024;
constexpr size_t SAMPLE_BOOT_SIZE = 40 * 1024;
constexpr uint16_t SAMPLE_PRODUCT_CODE = 8;
constexpr uint16_t SAMPLE_VERSION = 182;
constexpr uint16_t SAMPLE_YEAR = 2006;
constexpr uint8_t SAMPLE_MONTH = 5;
constexpr uint8_t SAMPLE_DAY = 12;
constexpr uint32_t SAMPLE_TIME_OF_DAY = 52200;  // 14:30:00
constexpr size_t SAMPLE_BOOT_RECORD_OFFSET = 32;
constexpr uint32_t SAMPLE_APP_ADDRESS = 0x01020000;
constexpr uint32_t SAMPLE_BOOT_ADDRESS = 0x01000000;
constexpr uint32_t SAMPLE_FAMILY_WORD = 0x00003000;
constexpr const char* SAMPLE_PACKAGE_NAME = "Corvid FW v1.82 Boot";
constexpr const char* SAMPLE_PACKAGE_FILE = "Corvid_FW_v1.82-Boot.q";

// The application image: 32-byte header, then code with literal pools,
// message texts, lookup tables and padding.
std::vector<uint8_t> MakeSampleApplication();

// The boot image: exception vectors, the boot version record at byte 32,
// then code and texts, padded with erased-flash bytes.
std::vector<uint8_t> MakeSampleBoot();
