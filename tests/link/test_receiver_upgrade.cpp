// A whole upgrade driven with raw bytes: wake, boot loader, monitor, upload,
// verify, in-place expansion of a compressed application, erase, program, the
// upgrade record and the boot loader's new versions. Proves that the versions
// the receiver reports come from what was programmed, and that the report
// shows it. Also pacing and the --exit-after-upgrade condition.
#include "package/Compressor.h"
#include "receiver/ReceiverFirmware.h"
#include "receiver/ReceiverReport.h"
#include "tests/link/test_receiver_host.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

constexpr uint32_t RAM_BASE = 0x00400000;
constexpr uint32_t RAM_TOP = 0x00500000;  // board 4: 1 MiB
constexpr uint32_t APP = 0x01020000;
constexpr uint32_t FLASH_END = 0x01200000;

uint32_t Sum(const std::vector<uint8_t>& bytes)
{
    uint32_t s = 0;
    for (uint8_t b : bytes)
        s += b;
    return s;
}

int Cmd(CRawHost& host, uint8_t code, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0)
{
    host.Command(0xA2, code, a, b, c);
    return host.WaitAck(0xA3, 2000);
}

void Upload(CRawHost& host, const std::vector<uint8_t>& section, uint32_t address)
{
    for (uint32_t at = 0; at < section.size(); at += 1024) {
        size_t n = std::min<size_t>(1024, section.size() - at);
        ASSERT_EQ(Cmd(host, 0x90), 1);
        host.Data(0xA4, address + at,
                  std::vector<uint8_t>(section.begin() + at, section.begin() + at + n));
        ASSERT_EQ(host.WaitAck(0xA3), 1);
    }
}

void EraseRange(CRawHost& host, uint32_t start, uint32_t end, const std::vector<uint32_t>& sizes)
{
    uint32_t at = 0x01000000;
    for (uint32_t size : sizes) {
        if (at >= start && at < end) {
            ASSERT_EQ(Cmd(host, 0x95, at), 1) << std::hex << at;
        }
        at += size;
    }
}

void Program(CRawHost& host, uint32_t source, uint32_t length, uint32_t target)
{
    for (uint32_t i = 0; i < length; i += 4096)
        ASSERT_EQ(Cmd(host, 0x96, source + i, std::min<uint32_t>(4096, length - i), target + i), 1);
}

}  // namespace

// Catches an upgrade that does not change the reported versions or flash.
TEST(ReceiverUpgrade, NewFirmwareIsWhatTheBootLoaderReports)
{
    CReceiverConfig config;
    config.m_nBoardId = 4;
    config.m_nAnnounceMs = 50;
    config.m_bExitAfterUpgrade = true;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    host.Write("PoLkAdOtSy");
    ASSERT_EQ(host.ReadCount(13, 1000).size(), 13u);
    ASSERT_TRUE(StartMonitor(host, 1, 0x20000));

    std::vector<uint8_t> app = BuildAppImage(8, 182);
    std::vector<uint8_t> boot = BuildBootImage(182);
    std::vector<uint8_t> packed = CompressSection(app.data(), app.size());
    ASSERT_FALSE(packed.empty());
    uint32_t appStaged = RAM_TOP - static_cast<uint32_t>((packed.size() + 1023) / 1024 * 1024 +
                                                          (boot.size() + 1023) / 1024 * 1024);
    uint32_t bootStaged = RAM_TOP - static_cast<uint32_t>((boot.size() + 1023) / 1024 * 1024);
    Upload(host, packed, appStaged);
    Upload(host, boot, bootStaged);
    EXPECT_EQ(Cmd(host, 0x97, appStaged, static_cast<uint32_t>(packed.size()), Sum(packed)), 1);
    EXPECT_EQ(Cmd(host, 0x97, bootStaged, static_cast<uint32_t>(boot.size()), Sum(boot)), 1);

    EXPECT_EQ(Cmd(host, 0x98, appStaged, RxGetLe32(&packed[0]), RAM_BASE), 1);
    std::vector<uint32_t> sectors(8, 0x2000);
    sectors.insert(sectors.end(), 31, 0x10000);
    EraseRange(host, APP, FLASH_END, sectors);
    Program(host, RAM_BASE, static_cast<uint32_t>(app.size()), APP);
    EraseRange(host, 0x01000000, 0x0100C000, sectors);
    Program(host, bootStaged, static_cast<uint32_t>(boot.size()), 0x01000000);

    std::vector<uint8_t> record(128, 0);
    std::memcpy(record.data(), "FW upgrade", 10);
    host.SendPacket(0xA0, record);
    EXPECT_EQ(host.WaitAck(0xA3), 1);
    EXPECT_EQ(Cmd(host, 0x93), 1);  // board 4: back to the boot loader

    EXPECT_FALSE(rig.m_Receiver.IsUpgradeFinished());
    host.ResetReader();
    std::vector<uint8_t> id;
    ASSERT_TRUE(ConnectBoot(host, id));
    EXPECT_EQ(RxGetLe16(&id[2]), 182);
    EXPECT_EQ(RxGetLe16(&id[16]), 182);
    EXPECT_FALSE(rig.m_Receiver.IsUpgradeFinished());
    host.Command(0x12, 0x83);
    EXPECT_EQ(host.WaitAck(0x13), 1);
    EXPECT_TRUE(rig.m_Receiver.IsUpgradeFinished());

    std::vector<uint8_t> region(FLASH_END - APP, 0xFF);
    std::copy(app.begin(), app.end(), region.begin());
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08X", ReceiverCrc32(region.data(), region.size()));
    std::string report = rig.m_Receiver.ReportJson();
    EXPECT_NE(report.find(std::string("\"application\": {\"start\": \"0x01020000\", \"size\": ") +
                          std::to_string(region.size()) + ", \"crc32\": \"" + crc + "\""),
              std::string::npos)
        << report;
    EXPECT_EQ(ReportNumber(report, "retries"), 0);
}

// Catches repeated blocks not counted as retries.
TEST(ReceiverUpgrade, CountsResentBlocksAsRetries)
{
    CReceiverConfig config;
    config.m_eStart = RXS_BOOT_LOADER;
    config.m_nAnnounceMs = 50;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    std::vector<uint8_t> id;
    ASSERT_TRUE(ConnectBoot(*rig.m_pHost, id));
    for (uint32_t address : {0x00400000u, 0x00400400u, 0x00400000u}) {
        rig.m_pHost->Data(0x14, address, std::vector<uint8_t>(1024, 1));
        EXPECT_EQ(rig.m_pHost->WaitAck(0x13), 1);
    }
    EXPECT_EQ(ReportNumber(rig.m_Receiver.ReportJson(), "retries"), 1);
}

// Catches pacing that does not hold bytes to the wire rate, and unpaced runs
// that are slowed down.
TEST(ReceiverUpgrade, PacingHoldsTheWireRate)
{
    for (bool pace : {false, true}) {
        CReceiverConfig config;
        config.m_eStart = RXS_BOOT_LOADER;
        config.m_nAnnounceMs = 50;
        config.m_bPace = pace;
        CReceiverRig rig(config);
        ASSERT_TRUE(rig.m_bStarted);
        std::vector<uint8_t> id;
        ASSERT_TRUE(ConnectBoot(*rig.m_pHost, id));
        auto start = std::chrono::steady_clock::now();
        rig.m_pHost->Data(0x14, 0x00400000, std::vector<uint8_t>(1024, 1));
        EXPECT_EQ(rig.m_pHost->WaitAck(0x13), 1);
        auto took = std::chrono::steady_clock::now() - start;
        // 1039 + 8 bytes of 11 bits at 19200 baud: 600 ms on the wire.
        if (pace)
            EXPECT_GE(took, std::chrono::milliseconds(580));
        else
            EXPECT_LT(took, std::chrono::milliseconds(200));
    }
}
