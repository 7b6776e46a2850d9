// The virtual receiver's fault options, each doing what it says and nothing
// else: refusals, lost and corrupted bytes, power loss, a pulled adapter,
// refused speed changes, a silent secondary port and slow flash.
#include "tests/link/test_receiver_host.h"

#include <gtest/gtest.h>

namespace {

CReceiverConfig FaultConfig()
{
    CReceiverConfig config;
    config.m_eStart = RXS_BOOT_LOADER;
    config.m_nAnnounceMs = 50;
    return config;
}

}  // namespace

// Catches refusals of the wrong occurrence or for the wrong number of times.
TEST(ReceiverFaults, RefusesTheNthOccurrenceKTimes)
{
    CReceiverConfig config = FaultConfig();
    config.m_Refusals.push_back({0x84, 2, 2});
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    std::vector<uint8_t> id;
    ASSERT_TRUE(ConnectBoot(*rig.m_pHost, id));
    std::vector<int> acks;
    for (int i = 0; i < 5; ++i) {
        rig.m_pHost->Command(0x12, 0x84);
        acks.push_back(rig.m_pHost->WaitAck(0x13));
    }
    EXPECT_EQ(acks, (std::vector<int>{1, 0, 0, 1, 1}));
    EXPECT_EQ(ReportNumber(rig.m_Receiver.ReportJson(), "refused"), 2);
}

// Catches refusal texts parsed wrongly.
TEST(ReceiverFaults, ParsesRefusalRules)
{
    struct {
        const char* text;
        bool ok;
        int code;
        uint32_t first, count;
    } rows[] = {
        {"0x96", true, 0x96, 1, 1}, {"0x87:3", true, 0x87, 3, 1}, {"150:2:4", true, 150, 2, 4},
        {"data:5", true, RXR_DATA, 5, 1}, {"text", true, RXR_TEXT, 1, 1}, {"0x100", false, 0, 0, 0},
        {"0x96:0", false, 0, 0, 0}, {"0x96:1:2:3", false, 0, 0, 0}, {"", false, 0, 0, 0},
        {"-1", false, 0, 0, 0},
    };
    for (const auto& row : rows) {
        CRefusalRule rule;
        std::string error;
        ASSERT_EQ(ParseRefusalRule(row.text, rule, error), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(rule.m_nCode, row.code);
            EXPECT_EQ(rule.m_nFirst, row.first);
            EXPECT_EQ(rule.m_nCount, row.count);
        }
    }
}

// Catches lost bytes not counted, or lost in the wrong direction.
TEST(ReceiverFaults, DropsBytesInTheChosenDirection)
{
    CReceiverConfig config = FaultConfig();
    config.m_dDropRx = 1.0;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    std::vector<uint8_t> p;
    ASSERT_TRUE(rig.m_pHost->WaitPacket(0x11, p, 1000));  // sending still works
    rig.m_pHost->Command(0x12, 0x8E);
    EXPECT_FALSE(rig.m_pHost->WaitPacket(0x15, p, 300));
    EXPECT_EQ(ReportNumber(rig.m_Receiver.ReportJson(), "dropped_bytes"), 14);

    CReceiverConfig tx = FaultConfig();
    tx.m_dDropTx = 1.0;
    CReceiverRig silent(tx);
    ASSERT_TRUE(silent.m_bStarted);
    EXPECT_TRUE(silent.m_pHost->ReadFor(200).empty());
    EXPECT_GT(ReportNumber(silent.m_Receiver.ReportJson(), "dropped_bytes"), 0);
}

// Catches corruption that is not reproducible with the same seed.
TEST(ReceiverFaults, CorruptionIsReproducibleWithSeed)
{
    auto run = [](uint64_t seed) {
        CReceiverConfig config = FaultConfig();
        config.m_dCorruptTx = 0.5;
        config.m_nSeed = seed;
        CReceiverRig rig(config);
        return rig.m_pHost->ReadCount(48, 1000);
    };
    std::vector<uint8_t> a = run(7), b = run(7), c = run(8);
    ASSERT_EQ(a.size(), 48u);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

// Catches a power loss that keeps RAM, answers while off, or does not come
// back in the boot loader.
TEST(ReceiverFaults, PowerLossComesBackInBootLoader)
{
    CReceiverConfig config = FaultConfig();
    config.m_nPowerLossAfter = 14 + 30;  // the identity request and part of the next packet
    config.m_nPowerOffMs = 300;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    std::vector<uint8_t> id, p;
    ASSERT_TRUE(ConnectBoot(host, id));
    host.Data(0x14, 0x00400000, std::vector<uint8_t>(64, 0x33));
    EXPECT_EQ(host.WaitAck(0x13, 200), -1);
    host.ResetReader();
    ASSERT_TRUE(ConnectBoot(host, id, 2000));
    EXPECT_EQ(ReportNumber(rig.m_Receiver.ReportJson(), "power_losses"), 1);
}

// Catches a receiver that survives losing power with its boot region erased.
TEST(ReceiverFaults, PowerLossWithErasedBootRegionBricks)
{
    CReceiverConfig config = FaultConfig();
    config.m_nPowerOffMs = 100;
    CMonitorImage image = GetMonitorImage(1);
    uint32_t upload = 14;  // identity request
    upload += ((image.nLength + 1023) / 1024) * 7 + 8 * ((image.nLength + 1023) / 1024) +
              image.nLength;
    upload += 14 + 20 + 20;  // start command, monitor identity request, erase
    config.m_nPowerLossAfter = upload;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    ASSERT_TRUE(StartMonitor(host, 1, 0x20000));
    host.Command(0xA2, 0x95, 0x01000000);  // erase the boot region's first sector
    EXPECT_EQ(host.WaitAck(0xA3, 300), -1);  // the power went in the erase's last byte
    EXPECT_TRUE(host.ReadFor(400).empty());  // never comes back
    EXPECT_TRUE(rig.m_Receiver.IsBricked());
    EXPECT_NE(rig.m_Receiver.ReportJson().find("\"bricked\": true"), std::string::npos);
    EXPECT_EQ(rig.m_Receiver.BrickedReason().rfind("lost power with", 0), 0u) << rig.m_Receiver.BrickedReason();
}

// Catches a receiver that reaches a boot loader its flash does not hold.
TEST(ReceiverFaults, NoBootLoaderMeansSilenceAfterTheApplication)
{
    CReceiverConfig config = FaultConfig();
    config.m_eStart = RXS_APPLICATION;
    config.m_bBoot = false;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    rig.m_pHost->Write("PoLkAdOtSy");
    EXPECT_EQ(rig.m_pHost->ReadCount(13, 1000).size(), 13u);  // the application answers
    EXPECT_TRUE(rig.m_pHost->ReadFor(200).empty());          // then nothing ever again
    EXPECT_NE(rig.m_Receiver.ReportJson().find("\"bricked\": true"), std::string::npos);
}

// Catches an unplug that does not close the port at the given count.
TEST(ReceiverFaults, UnplugClosesThePort)
{
    CReceiverConfig config = FaultConfig();
    config.m_nUnplugAfter = 10;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    rig.m_pHost->Write(std::vector<uint8_t>(9, 0));
    pollfd p{rig.m_pHost->Fd(), POLLIN, 0};
    rig.m_pHost->ReadFor(100);
    EXPECT_EQ(poll(&p, 1, 0) > 0 && (p.revents & POLLHUP), false);
    rig.m_pHost->Write(std::vector<uint8_t>(1, 0));
    bool hung = false;
    for (int i = 0; i < 50 && !hung; ++i) {
        pollfd q{rig.m_pHost->Fd(), POLLIN, 0};
        hung = poll(&q, 1, 10) > 0 && (q.revents & POLLHUP);
    }
    EXPECT_TRUE(hung);
}

// Catches speed changes taken although refused, and other commands refused.
TEST(ReceiverFaults, RefusesSpeedChangesOnly)
{
    CReceiverConfig config = FaultConfig();
    config.m_bRefuseSpeed = true;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    std::vector<uint8_t> id;
    ASSERT_TRUE(ConnectBoot(*rig.m_pHost, id));
    rig.m_pHost->Command(0x12, 0x85, 115200);
    EXPECT_EQ(rig.m_pHost->WaitAck(0x13), 0);
    rig.m_pHost->Command(0x12, 0x84);  // still at 19200
    EXPECT_EQ(rig.m_pHost->WaitAck(0x13), 1);
}

// Catches a secondary port that answers although told to stay silent.
TEST(ReceiverFaults, SilentSecondaryPort)
{
    CReceiverConfig config = FaultConfig();
    config.m_nPorts = 2;
    config.m_bSilentSecondary = true;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    ASSERT_TRUE(StartMonitor(*rig.m_pHost, 1, 0x20000));
    CRawHost second(rig.m_Receiver.SlavePaths()[1]);
    second.Command(0xA2, 0x90);
    EXPECT_EQ(second.WaitAck(0xA3, 300), -1);
    rig.m_pHost->Command(0xA2, 0x90);
    EXPECT_EQ(rig.m_pHost->WaitAck(0xA3), 1);
}

// Catches slow flash that does not delay the answer, or delays other work.
TEST(ReceiverFaults, SlowFlashDelaysEraseAnswers)
{
    CReceiverConfig config = FaultConfig();
    config.m_nSlowFlashMs = 300;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    ASSERT_TRUE(StartMonitor(*rig.m_pHost, 1, 0x20000));
    auto start = std::chrono::steady_clock::now();
    rig.m_pHost->Command(0xA2, 0x90);
    EXPECT_EQ(rig.m_pHost->WaitAck(0xA3), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    start = std::chrono::steady_clock::now();
    rig.m_pHost->Command(0xA2, 0x95, 0x01020000);
    EXPECT_EQ(rig.m_pHost->WaitAck(0xA3), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
}
