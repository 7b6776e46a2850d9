// The two flash monitor images carried as constant data.
#include <gtest/gtest.h>

#include <cstring>

#include "transfer/MonitorImages.h"

namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// Catches an image of the wrong length (the upload's chunk count changes)
// and a header field at the wrong offset or byte order, which makes the
// upload report "Monitor: Not Found!" or a wrong version and date.
TEST(MonitorImages, LengthsAndHeaderFields) {
    const uint32_t lengths[] = {21164, 21820};
    for (int mapType : {0, 1}) {
        SCOPED_TRACE(mapType);
        const CMonitorImage image = GetMonitorImage(mapType);
        ASSERT_NE(image.pData, nullptr);
        ASSERT_EQ(image.nLength, lengths[mapType]);
        const uint8_t* p = image.pData;
        EXPECT_EQ(p[0], 0xD6);
        EXPECT_EQ(Le32(p), 0xA9B8C7D6u);
        EXPECT_EQ(Le16(p + 8), 0);  // product code
        EXPECT_EQ(Le16(p + 10), 31);
        EXPECT_EQ(Le16(p + 16), 2006);
        EXPECT_EQ(p[18], 5);
        EXPECT_EQ(p[19], 12);
    }
}

// Catches one class's monitor accepted in place of the other's, any other
// map type handed an image, a generator that is not deterministic, and a body
// left empty: the trailing word is the byte sum of all bytes before it.
TEST(MonitorImages, DistinctStableBodies) {
    const CMonitorImage xerf1 = GetMonitorImage(0);
    const CMonitorImage xerf2 = GetMonitorImage(1);
    EXPECT_NE(std::memcmp(xerf1.pData + 32, xerf2.pData + 32, xerf1.nLength - 32), 0);
    for (int mapType : {-1, 2}) {
        EXPECT_EQ(GetMonitorImage(mapType).pData, nullptr);
        EXPECT_EQ(GetMonitorImage(mapType).nLength, 0u);
    }
    for (const CMonitorImage& image : {xerf1, xerf2}) {
        EXPECT_EQ(GetMonitorImage(image.nLength == MONITOR_XERF1_SIZE ? 0 : 1).pData, image.pData);
        uint32_t nSum = 0;
        for (uint32_t i = 0; i + 4 < image.nLength; ++i) nSum += image.pData[i];
        EXPECT_EQ(Le32(image.pData + image.nLength - 4), nSum);
        int nZeroWords = 0;
        for (uint32_t i = 64; i + 4 <= image.nLength; i += 4) nZeroWords += Le32(image.pData + i) == 0;
        EXPECT_LT(nZeroWords, 8);
    }
}

}  // namespace
