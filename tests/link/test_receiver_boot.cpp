// The virtual receiver's boot loader, driven with raw bytes through its
// pseudo-terminal: handshake, identity, each boot command, RAM-write limits,
// the monitor-start check and speed changes.
#include "tests/link/test_receiver_host.h"
#include "transfer/MonitorImages.h"

#include <gtest/gtest.h>

namespace {

CReceiverConfig BootConfig(int board = 7)
{
    CReceiverConfig config;
    config.m_nBoardId = board;
    config.m_eStart = RXS_BOOT_LOADER;
    config.m_nAnnounceMs = 50;
    return config;
}

}  // namespace

// Catches a wrong packet frame or a wrong announcement payload.
TEST(ReceiverBoot, AnnouncesWithExactPacketBytes)
{
    CReceiverRig rig(BootConfig());
    ASSERT_TRUE(rig.m_bStarted) << rig.m_strError;
    std::vector<uint8_t> bytes = rig.m_pHost->ReadCount(12, 1000);
    // 0x11, 5 bytes: boot version 120 (LE 32) and board 7; sum 0x11+0x05+0x78+0x07.
    std::vector<uint8_t> expected{0x01, 0x11, 0x00, 0x05, 0x78, 0x00, 0x00, 0x00, 0x07,
                                  0x00, 0x95, 0x04};
    EXPECT_EQ(bytes, expected);
}

// Catches identity fields at wrong offsets or not read from flash.
TEST(ReceiverBoot, IdentityRecordComesFromFlash)
{
    CReceiverConfig config = BootConfig(5);
    config.m_wProductCode = 8;
    config.m_wAppVersion = 175;
    config.m_wBootVersion = 120;
    config.m_strSerial = "SN1234";
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    std::vector<uint8_t> id;
    ASSERT_TRUE(ConnectBoot(*rig.m_pHost, id));
    ASSERT_EQ(id.size(), 38u);
    EXPECT_EQ(RxGetLe16(&id[0]), 8);
    EXPECT_EQ(RxGetLe16(&id[2]), 175);
    EXPECT_EQ(RxGetLe16(&id[4]), 2005);
    EXPECT_EQ(RxGetLe16(&id[10]), 5);
    EXPECT_EQ(RxGetLe16(&id[16]), 120);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&id[22])), "SN1234");
    // Once contacted it stops announcing.
    rig.m_pHost->ResetReader();
    std::vector<uint8_t> p;
    EXPECT_FALSE(rig.m_pHost->WaitPacket(0x11, p, 300));
}

// Catches commands answered with the wrong reply or not at all.
TEST(ReceiverBoot, AnswersEachQueryCommand)
{
    CReceiverConfig config = BootConfig(3);
    config.m_fPower = -20.5f;
    config.m_bMemoryMapReply = true;
    config.m_strChip = "AT49LV8011";
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    std::vector<uint8_t> id, p;
    ASSERT_TRUE(ConnectBoot(host, id));

    host.Command(0x12, 0x84);
    EXPECT_EQ(host.WaitAck(0x13), 1);

    host.Command(0x12, 0x8C);
    ASSERT_TRUE(host.WaitPacket(0x17, p, 1000));
    ASSERT_EQ(p.size(), 24u);
    float reading;
    std::memcpy(&reading, &p[16], 4);
    EXPECT_FLOAT_EQ(reading, -20.5f);

    host.Command(0x12, 0x8D);
    ASSERT_TRUE(host.WaitPacket(0x16, p, 1000));
    ASSERT_EQ(p.size(), 72u);
    EXPECT_EQ(RxGetLe16(&p[2]), 0xCB);
    EXPECT_EQ(RxGetLe32(&p[8]), 0x100000u);         // flash size
    EXPECT_EQ(RxGetLe32(&p[44]), 0x010B0000u);      // upper region
    EXPECT_EQ(RxGetLe32(&p[60]), 0x100000u);        // monitor address
    EXPECT_EQ(RxGetLe32(&p[64]), 0x05000000u);      // RAM base
    EXPECT_EQ(RxGetLe32(&p[68]), 0x100000u);        // RAM size of board 3

    host.Command(0x12, 0x99);  // not a boot code
    EXPECT_EQ(host.WaitAck(0x13), 0);
    host.SendPacket(0x12, {0x84, 0, 0});  // payload too short
    EXPECT_EQ(host.WaitAck(0x13), 0);
}

// Catches a memory-map answer given when the receiver is not set up for it.
TEST(ReceiverBoot, MemoryMapRefusedWhenNotConfigured)
{
    CReceiverRig rig(BootConfig());
    ASSERT_TRUE(rig.m_bStarted);
    std::vector<uint8_t> id;
    ASSERT_TRUE(ConnectBoot(*rig.m_pHost, id));
    rig.m_pHost->Command(0x12, 0x8D);
    EXPECT_EQ(rig.m_pHost->WaitAck(0x13), 0);
}

// Catches RAM writes accepted outside RAM and the monitor area, or with a
// length that does not match the payload.
TEST(ReceiverBoot, RamWritesOnlyInsideRamOrMonitorArea)
{
    CReceiverRig rig(BootConfig(7));  // RAM 0x00400000 + 2 MiB, monitor at 0x20000
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    std::vector<uint8_t> id;
    ASSERT_TRUE(ConnectBoot(host, id));
    struct {
        uint32_t address;
        uint32_t length;
        int ack;
    } rows[] = {
        {0x00400000, 16, 1},  {0x005FFFF0, 16, 1}, {0x005FFFF8, 16, 0},
        {0x00020000, 1024, 1}, {0x01000000, 16, 0}, {0xFFFFFFF8, 16, 0},
    };
    for (const auto& row : rows) {
        host.Data(0x14, row.address, std::vector<uint8_t>(row.length, 0x5A));
        EXPECT_EQ(host.WaitAck(0x13), row.ack) << std::hex << row.address;
    }
    std::vector<uint8_t> bad(8 + 4, 0);
    RxPutLe32(&bad[0], 0x00400000);
    RxPutLe32(&bad[4], 8);  // claims 8 bytes, carries 4
    host.SendPacket(0x14, bad);
    EXPECT_EQ(host.WaitAck(0x13), 0);
}

// Catches a monitor started from an incomplete or altered image, and one not
// started from the right image.
TEST(ReceiverBoot, StartsMonitorOnlyFromCompleteUnalteredImage)
{
    CReceiverRig rig(BootConfig(7));
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    std::vector<uint8_t> id, p;
    ASSERT_TRUE(ConnectBoot(host, id));
    CMonitorImage image = GetMonitorImage(1);
    ASSERT_GT(image.nLength, 1024u);

    // All but the last block.
    uint32_t partial = image.nLength - (image.nLength % 1024 ? image.nLength % 1024 : 1024);
    ASSERT_TRUE(UploadThroughBoot(host, 0x20000, image.pData, partial));
    host.Command(0x12, 0x87);
    EXPECT_EQ(host.WaitAck(0x13), 0);

    ASSERT_TRUE(UploadThroughBoot(host, 0x20000, image.pData, image.nLength));
    host.Data(0x14, 0x20000 + 100, {static_cast<uint8_t>(image.pData[100] ^ 1)});
    EXPECT_EQ(host.WaitAck(0x13), 1);
    host.Command(0x12, 0x87);
    EXPECT_EQ(host.WaitAck(0x13), 0);

    host.Data(0x14, 0x20000 + 100, {image.pData[100]});
    EXPECT_EQ(host.WaitAck(0x13), 1);
    host.Command(0x12, 0x87);
    EXPECT_EQ(host.WaitAck(0x13), 1);
    ASSERT_TRUE(host.WaitPacket(0xA1, p, 1000));
    EXPECT_EQ(RxGetLe32(&p[0]), MONITOR_VERSION);
    // The monitor image of the other board class does not start a board-7 receiver.
    EXPECT_NE(GetMonitorImage(0).nLength, image.nLength);
}

// Catches a speed change made before the acknowledgement left, or not made.
TEST(ReceiverBoot, SpeedChangeAfterAcknowledgementGarblesOldRate)
{
    CReceiverRig rig(BootConfig());
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    std::vector<uint8_t> id;
    ASSERT_TRUE(ConnectBoot(host, id));
    host.Command(0x12, 0x85, 115200);
    EXPECT_EQ(host.WaitAck(0x13), 1);  // still readable at 19200

    host.Command(0x12, 0x84);  // host forgot to switch: the receiver hears noise
    EXPECT_EQ(host.WaitAck(0x13, 400), -1);

    host.SetBaud(115200);
    host.ResetReader();
    host.Command(0x12, 0x84);
    EXPECT_EQ(host.WaitAck(0x13), 1);

    host.Command(0x12, 0x85, 12345);  // not a rate the UART has
    EXPECT_EQ(host.WaitAck(0x13), 0);
}

// Catches an acknowledgement of a speed change (boot 0x85, monitor 0x99)
// that travels at the new rate: a host that switches before all of it has
// arrived must read the rest as noise, as on hardware, and a host that
// waits for it reads it whole. At the wire rate, from 2400 baud, so that
// the acknowledgement takes long enough to arrive.
TEST(ReceiverBoot, SpeedChangeAcknowledgementTravelsAtTheOldRate)
{
    CReceiverConfig config = BootConfig();
    config.m_bPace = true;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    auto slowDown = [&](uint8_t packetId, uint8_t code, uint8_t ackId) {
        host.ResetReader();
        host.Command(packetId, code, 2400);
        ASSERT_EQ(host.WaitAck(ackId), 1);
        host.SetBaud(2400);
    };
    // Switches as soon as the acknowledgement's first byte is in.
    auto switchEarly = [&](uint8_t packetId, uint8_t code, uint8_t ackId) {
        host.ResetReader();
        host.Command(packetId, code, 115200);
        const std::vector<uint8_t> ack = RxEncodePacket(ackId, {1});
        ASSERT_EQ(host.ReadCount(1, 2000), std::vector<uint8_t>(1, ack[0]));
        host.SetBaud(115200);
        const std::vector<uint8_t> rest = host.ReadFor(150);
        EXPECT_FALSE(rest.empty());
        EXPECT_NE(rest, std::vector<uint8_t>(ack.begin() + 1, ack.end())) << "the rest came at the new rate";
        host.ResetReader();
        host.Command(packetId, packetId == 0x12 ? 0x84 : 0x90);
        EXPECT_EQ(host.WaitAck(ackId), 1) << "the receiver did not switch after its acknowledgement";
    };
    std::vector<uint8_t> id, p;
    ASSERT_TRUE(ConnectBoot(host, id));
    slowDown(0x12, 0x85, 0x13);
    switchEarly(0x12, 0x85, 0x13);

    // The monitor, loaded at the high rate, starts at 19200.
    CMonitorImage image = GetMonitorImage(1);
    ASSERT_TRUE(UploadThroughBoot(host, 0x20000, image.pData, image.nLength));
    host.Command(0x12, 0x87);
    ASSERT_EQ(host.WaitAck(0x13), 1);
    host.SetBaud(19200);
    host.ResetReader();
    ASSERT_TRUE(host.WaitPacket(0xA1, p, 1000));
    slowDown(0xA2, 0x99, 0xA3);
    switchEarly(0xA2, 0x99, 0xA3);
}

// Catches a boot loader that ignores the wake text, or leaves on it.
TEST(ReceiverBoot, AnswersWakeTextAndStays)
{
    CReceiverRig rig(BootConfig());
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    std::vector<uint8_t> id;
    ASSERT_TRUE(ConnectBoot(host, id));
    host.Write("PoLkAdOtSy");
    std::vector<uint8_t> got = host.ReadCount(13, 1000);
    EXPECT_EQ(std::string(got.begin(), got.end()), "tUrNiPgReEnSo");
    host.Command(0x12, 0x84);
    EXPECT_EQ(host.WaitAck(0x13), 1);
}

// Catches leave commands that do not reach the application, and a receiver
// without an application that does not start in its boot loader.
TEST(ReceiverBoot, LeavesToApplicationOnlyWhenOneIsThere)
{
    {
        CReceiverRig rig(BootConfig());
        ASSERT_TRUE(rig.m_bStarted);
        CRawHost& host = *rig.m_pHost;
        std::vector<uint8_t> id, p;
        ASSERT_TRUE(ConnectBoot(host, id));
        host.Command(0x12, 0x83);
        EXPECT_EQ(host.WaitAck(0x13), 1);
        EXPECT_FALSE(host.WaitPacket(0x11, p, 300));  // the application does not announce
        host.Write("PoLkAdOtSy");
        EXPECT_TRUE(host.WaitPacket(0x11, p, 1000));  // woken into the boot loader
    }
    CReceiverConfig config;
    config.m_bApp = false;
    config.m_nAnnounceMs = 50;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    std::vector<uint8_t> id, p;
    ASSERT_TRUE(ConnectBoot(*rig.m_pHost, id));
    EXPECT_EQ(RxGetLe16(&id[2]), 0);  // no application version
    rig.m_pHost->Command(0x12, 0x82);
    EXPECT_EQ(rig.m_pHost->WaitAck(0x13), 1);
    EXPECT_TRUE(rig.m_pHost->WaitPacket(0x11, p, 1000));
}

// Catches a boot loader that never announces again after the host starts over.
TEST(ReceiverBoot, AnnouncesAgainWhenHostStartsOver)
{
    CReceiverRig rig(BootConfig());
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    std::vector<uint8_t> id, p;
    ASSERT_TRUE(ConnectBoot(host, id));
    host.Command(0x12, 0x85, 115200);
    EXPECT_EQ(host.WaitAck(0x13), 1);
    host.SetBaud(19200);
    host.Purge();
    host.ResetReader();
    ASSERT_TRUE(ConnectBoot(host, id, 2000));  // back at 19200
}
