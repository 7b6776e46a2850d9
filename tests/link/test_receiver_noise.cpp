// The receiver model fed with random bytes and random well-framed packets in
// each of its modes, without ports. Catches reads or writes outside memory,
// overflows and crashes on hostile input (run it under the sanitizers).
#include "receiver/FrameCodec.h"
#include "receiver/ReceiverCore.h"
#include "transfer/MonitorImages.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// A random packet of the kinds the host sends, with arguments drawn mostly
// from the receiver's real address ranges so that deep paths are reached.
std::vector<uint8_t> RandomPacket(std::mt19937& random)
{
    static const uint8_t ids[] = {0x12, 0x14, 0xA2, 0xA4, 0xA0, 0x55};
    static const uint32_t bases[] = {0x00400000, 0x005FFF00, 0x00020000, 0x01000000,
                                     0x0101FFF0, 0x011F0000, 0x05000000, 0xFFFFFFF0, 0};
    uint8_t id = ids[random() % 6];
    std::vector<uint8_t> payload(random() % 48);
    for (uint8_t& b : payload)
        b = static_cast<uint8_t>(random());
    if (payload.size() >= 13) {
        payload[0] = static_cast<uint8_t>(0x80 + random() % 0x24);
        RxPutLe32(&payload[1], bases[random() % 9] + random() % 0x400);
        RxPutLe32(&payload[5], random() % 3 ? random() % 5000 : random());
        RxPutLe32(&payload[9], bases[random() % 9] + random() % 0x400);
    }
    if ((id == 0x14 || id == 0xA4) && payload.size() >= 8 && random() % 2) {
        RxPutLe32(&payload[0], bases[random() % 9]);
        RxPutLe32(&payload[4], static_cast<uint32_t>(payload.size() - 8));
    }
    return RxEncodePacket(id, payload);
}

void Feed(CReceiverCore& core, const std::vector<uint8_t>& bytes, CRxTime& now)
{
    core.OnHostBytes(0, bytes.data(), bytes.size(), now);
    now += std::chrono::milliseconds(1);
    core.Tick(now);
    core.TakeOutgoing();
}

}  // namespace

TEST(ReceiverNoise, SurvivesRandomInputInEveryMode)
{
    for (EReceiverStart start : {RXS_APPLICATION, RXS_BOOT_LOADER, RXS_PASSTHROUGH}) {
        CReceiverConfig config;
        config.m_eStart = start;
        config.m_nPorts = 3;
        CReceiverCore core(config);
        CRxTime now = CRxClock::now();
        std::string error;
        ASSERT_TRUE(core.Start(now, error)) << error;
        std::mt19937 random(static_cast<unsigned>(start) + 11);
        if (start == RXS_BOOT_LOADER) {  // start the monitor, then go on there
            CMonitorImage image = GetMonitorImage(1);
            for (uint32_t at = 0; at < image.nLength; at += 1024) {
                uint32_t n = std::min<uint32_t>(1024, image.nLength - at);
                std::vector<uint8_t> p(8);
                RxPutLe32(&p[0], 0x20000 + at);
                RxPutLe32(&p[4], n);
                p.insert(p.end(), image.pData + at, image.pData + at + n);
                Feed(core, RxEncodePacket(0x14, p), now);
            }
            Feed(core, RxEncodePacket(0x12, {0x87, 0, 0, 0, 0, 0, 0}), now);
            ASSERT_EQ(core.Mode(), RXM_MONITOR);
        }
        for (int i = 0; i < 4000; ++i) {
            std::vector<uint8_t> bytes = random() % 4 ? RandomPacket(random)
                                                      : std::vector<uint8_t>(random() % 64);
            for (uint8_t& b : bytes)
                if (random() % 50 == 0)
                    b = static_cast<uint8_t>(random());
            Feed(core, bytes, now);
            if (random() % 200 == 0)
                core.OnHostFlush(static_cast<int>(random() % 3), true, true, now);
            if (random() % 300 == 0)
                core.OnHostSettings(0, random() % 2 ? 19200 : 115200, now);
            now += std::chrono::milliseconds(random() % 300);
            core.Tick(now);
        }
        EXPECT_GT(core.Stats().m_Ports[0].m_nBytesIn, 10000u);
    }
}
