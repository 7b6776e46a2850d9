#include "transfer/MonitorImages.h"

#include <array>
#include <cstddef>

// The two monitor images are built by the compiler from a few numbers: a
// 32-byte application image header, a table of eight branch words where the
// processor starts, a body of instruction-like words from a fixed generator
// (different per map class) and, in the last four bytes, the byte sum of all
// bytes before them. Being constant expressions they sit in read-only data,
// identical in every build, and need no locking.

namespace {

constexpr uint32_t MONITOR_MAGIC = 0xA9B8C7D6;
constexpr uint16_t MONITOR_PRODUCT_CODE = 0;
constexpr uint16_t MONITOR_BUILD_YEAR = 2006;
constexpr uint8_t MONITOR_BUILD_MONTH = 5;
constexpr uint8_t MONITOR_BUILD_DAY = 12;
constexpr uint32_t MONITOR_BUILD_SECONDS = 10 * 3600 + 42 * 60 + 7;  // 10:42:07
constexpr size_t MONITOR_HEADER_SIZE = 32;
constexpr size_t MONITOR_VECTOR_COUNT = 8;

template <size_t N>
constexpr void PutLe(std::array<uint8_t, N>& image, size_t offset, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// One word of the body: the generator picks a condition-always operation of a
// few common shapes (register moves and arithmetic, loads and stores,
// branches), so the body reads like code rather than noise.
constexpr uint32_t BodyWord(uint32_t random) {
    const uint32_t nRegs = random & 0x000FFFFF;
    switch ((random >> 28) & 0x7) {
        case 0:
        case 1:
            return 0xE1A00000 | (nRegs & 0x0000F00F);  // register move
        case 2:
        case 3:
            return 0xE0800000 | (nRegs & 0x000FF00F);  // register add
        case 4:
            return 0xE5900000 | (nRegs & 0x000FFFFC);  // word load
        case 5:
            return 0xE5800000 | (nRegs & 0x000FFFFC);  // word store
        case 6:
            return 0xEB000000 | (random & 0x00000FFF);  // call forward
        default:
            return 0xE3500000 | (nRegs & 0x000F00FF);  // compare with constant
    }
}

template <size_t N>
constexpr std::array<uint8_t, N> BuildImage(uint32_t seed) {
    static_assert(N % 4 == 0 && N > MONITOR_HEADER_SIZE + 4 * MONITOR_VECTOR_COUNT + 4);
    std::array<uint8_t, N> image{};
    PutLe(image, 0, MONITOR_MAGIC, 4);
    PutLe(image, 4, static_cast<uint32_t>(N), 4);
    PutLe(image, 8, MONITOR_PRODUCT_CODE, 2);
    PutLe(image, 10, MONITOR_VERSION, 2);
    PutLe(image, 16, MONITOR_BUILD_YEAR, 2);
    image[18] = MONITOR_BUILD_MONTH;
    image[19] = MONITOR_BUILD_DAY;
    PutLe(image, 20, MONITOR_BUILD_SECONDS, 4);

    size_t offset = MONITOR_HEADER_SIZE;
    // Branch table: each entry jumps to its handler further on.
    for (size_t i = 0; i < MONITOR_VECTOR_COUNT; ++i, offset += 4) {
        PutLe(image, offset, 0xEA000000 | static_cast<uint32_t>(0x40 + 0x30 * i + seed), 4);
    }
    uint32_t state = 0x2545F491u ^ (seed * 0x9E3779B9u);
    for (; offset < N - 4; offset += 4) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        PutLe(image, offset, BodyWord(state), 4);
    }
    uint32_t sum = 0;
    for (size_t i = 0; i < N - 4; ++i) sum += image[i];
    PutLe(image, N - 4, sum, 4);
    return image;
}

constexpr std::array<uint8_t, MONITOR_XERF1_SIZE> XERF1_MONITOR = BuildImage<MONITOR_XERF1_SIZE>(1);
constexpr std::array<uint8_t, MONITOR_XERF2_SIZE> XERF2_MONITOR = BuildImage<MONITOR_XERF2_SIZE>(2);

}  // namespace

CMonitorImage GetMonitorImage(int mapType) {
    switch (mapType) {
        case 0:
            return {XERF1_MONITOR.data(), MONITOR_XERF1_SIZE};
        case 1:
            return {XERF2_MONITOR.data(), MONITOR_XERF2_SIZE};
        default:
            return {nullptr, 0};
    }
}
