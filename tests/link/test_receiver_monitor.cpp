// The virtual receiver's flash monitor, driven with raw bytes: its commands,
// NOR-flash rules, in-place expansion, the upgrade record and its ports.
#include "tests/link/test_receiver_host.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t RAM = 0x00400000;  // boards 7 to 10: 2 MiB
constexpr uint32_t APP = 0x01020000;

CReceiverConfig MonitorConfig(int board = 7, const char* chip = "AT49BV16X4", int ports = 1)
{
    CReceiverConfig config;
    config.m_nBoardId = board;
    config.m_strChip = chip;
    config.m_eStart = RXS_BOOT_LOADER;
    config.m_nAnnounceMs = 50;
    config.m_nPorts = ports;
    return config;
}

struct CMonitorRig : CReceiverRig {
    explicit CMonitorRig(const CReceiverConfig& config) : CReceiverRig(config)
    {
        m_bMonitor = m_bStarted && StartMonitor(*m_pHost, config.m_nBoardId <= 3 ? 0 : 1,
                                                config.m_nBoardId <= 3 ? 0x100000 : 0x20000);
    }
    int Cmd(uint8_t code, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0)
    {
        m_pHost->Command(0xA2, code, a, b, c);
        return m_pHost->WaitAck(0xA3);
    }
    int Data(uint32_t address, const std::vector<uint8_t>& bytes)
    {
        m_pHost->Data(0xA4, address, bytes);
        return m_pHost->WaitAck(0xA3);
    }
    bool m_bMonitor = false;
};

uint32_t Sum(const std::vector<uint8_t>& bytes)
{
    uint32_t s = 0;
    for (uint8_t b : bytes)
        s += b;
    return s;
}

// A staged compressed section: prefix (stream length, expanded length, 8
// bytes) and the stream with escapes F0..F5.
std::vector<uint8_t> Section(const std::vector<uint8_t>& tokens, uint32_t expanded)
{
    std::vector<uint8_t> s(16, 0);
    std::vector<uint8_t> stream{0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5};
    stream.insert(stream.end(), tokens.begin(), tokens.end());
    RxPutLe32(&s[0], static_cast<uint32_t>(stream.size()));
    RxPutLe32(&s[4], expanded);
    s.insert(s.end(), stream.begin(), stream.end());
    return s;
}

}  // namespace

// Catches wrong flash identification codes for either chip.
TEST(ReceiverMonitor, FlashInformationNamesTheChip)
{
    for (const char* chip : {"AT49BV16X4", "AT49LV8011"}) {
        CMonitorRig rig(MonitorConfig(7, chip));
        ASSERT_TRUE(rig.m_bMonitor) << chip;
        rig.m_pHost->Command(0xA2, 0x9F);
        std::vector<uint8_t> p;
        ASSERT_TRUE(rig.m_pHost->WaitPacket(0xA6, p, 1000));
        ASSERT_EQ(p.size(), 20u);
        EXPECT_EQ(RxGetLe16(&p[0]), 0x1F);
        EXPECT_EQ(RxGetLe16(&p[2]), std::string(chip) == "AT49BV16X4" ? 0xC0 : 0xCB);
        EXPECT_EQ(rig.Cmd(0x90), 1);
    }
}

// Catches RAM writes outside RAM, a wrong byte sum, and an unknown code
// accepted.
TEST(ReceiverMonitor, RamWriteAndByteSumCheck)
{
    CMonitorRig rig(MonitorConfig());
    ASSERT_TRUE(rig.m_bMonitor);
    std::vector<uint8_t> block(1024);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(rig.Data(RAM + 0x1000, block), 1);
    EXPECT_EQ(rig.Data(0x00020000, block), 0);  // the monitor's own area is not for data
    EXPECT_EQ(rig.Data(RAM + 0x200000 - 512, block), 0);
    EXPECT_EQ(rig.Cmd(0x97, RAM + 0x1000, 1024, Sum(block)), 1);
    EXPECT_EQ(rig.Cmd(0x97, RAM + 0x1000, 1024, Sum(block) + 1), 0);
    EXPECT_EQ(rig.Cmd(0x97, 0x00000000, 16, 0), 0);  // unmapped
    EXPECT_EQ(rig.Cmd(0x8F), 0);
}

// Catches erases that are not whole sectors, and programming that can set
// bits: NOR flash only clears them.
TEST(ReceiverMonitor, EraseAndProgramFollowNorRules)
{
    CMonitorRig rig(MonitorConfig());
    ASSERT_TRUE(rig.m_bMonitor);
    std::vector<uint8_t> a(4096), b(4096, 0x00);
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = static_cast<uint8_t>(i ^ 0xA5);
    ASSERT_EQ(rig.Data(RAM, std::vector<uint8_t>(a.begin(), a.begin() + 1024)), 1);
    for (uint32_t k = 1; k < 4; ++k)
        ASSERT_EQ(rig.Data(RAM + k * 1024,
                           std::vector<uint8_t>(a.begin() + k * 1024, a.begin() + (k + 1) * 1024)),
                  1);

    EXPECT_EQ(rig.Cmd(0x95, APP + 0x1000), 0);  // not a sector start
    EXPECT_EQ(rig.Cmd(0x95, 0x01300000), 0);    // outside the chip
    EXPECT_EQ(rig.Cmd(0x95, APP), 1);
    EXPECT_EQ(rig.Cmd(0x97, APP, 0x10000, 0xFF * 0x10000), 1);  // erased to 0xFF

    EXPECT_EQ(rig.Cmd(0x96, RAM, 4096, APP), 1);
    EXPECT_EQ(rig.Cmd(0x97, APP, 4096, Sum(a)), 1);
    EXPECT_EQ(rig.Cmd(0x96, RAM, 4096, APP), 1);  // the same bytes again change nothing

    ASSERT_EQ(rig.Data(RAM + 0x2000, std::vector<uint8_t>(1024, 0xFF)), 1);
    EXPECT_EQ(rig.Cmd(0x96, RAM + 0x2000, 1024, APP), 0);  // would need bits set
    EXPECT_EQ(rig.Cmd(0x96, RAM, 16, 0x01300000), 0);      // target outside flash
    EXPECT_EQ(rig.Cmd(0x96, 0x01300000, 16, APP), 0);      // source unmapped

    std::string report = rig.m_Receiver.ReportJson();
    EXPECT_EQ(ReportNumber(report, "program_mismatches"), 1);
    EXPECT_EQ(ReportNumber(report, "erases"), 1);
    (void)b;
}

// Catches 8 KiB sectors of the small chip treated as the wrong size.
TEST(ReceiverMonitor, SectorTableOfEachChip)
{
    struct {
        const char* chip;
        uint32_t address;
        int ack;
    } rows[] = {
        {"AT49BV16X4", 0x0100E000, 1}, {"AT49BV16X4", 0x01011000, 0},
        {"AT49BV16X4", 0x011F0000, 1}, {"AT49LV8011", 0x01004000, 1},
        {"AT49LV8011", 0x01008000, 0}, {"AT49LV8011", 0x0101C000, 1},
        {"AT49LV8011", 0x010F0000, 1}, {"AT49LV8011", 0x01100000, 0},
    };
    for (const char* chip : {"AT49BV16X4", "AT49LV8011"}) {
        CMonitorRig rig(MonitorConfig(4, chip));
        ASSERT_TRUE(rig.m_bMonitor);
        for (const auto& row : rows) {
            if (std::string(row.chip) == chip) {
                EXPECT_EQ(rig.Cmd(0x95, row.address), row.ack)
                    << chip << " " << std::hex << row.address;
            }
        }
    }
}

// Catches an expander that does not work in RAM, and one that reads its
// stream ahead instead of from RAM as it goes (hardware overruns its input).
TEST(ReceiverMonitor, ExpandsInPlaceFrontToBack)
{
    CMonitorRig rig(MonitorConfig());
    ASSERT_TRUE(rig.m_bMonitor);
    std::vector<uint8_t> s = Section({0x41, 0xF1, 0x42, 0x03, 0xF2, 0x01}, 7);
    ASSERT_EQ(rig.Data(RAM + 0x100000, s), 1);
    EXPECT_EQ(rig.Cmd(0x98, RAM + 0x100000, static_cast<uint32_t>(s.size() - 16), RAM), 1);
    EXPECT_EQ(rig.Cmd(0x97, RAM, 7, 0x41 + 6 * 0x42), 1);

    // 40 times 0x42, then 0x41; staged where the output overwrites the
    // stream before its last token is read.
    std::vector<uint8_t> over = Section({0xF1, 0x42, 40, 0x41}, 41);
    uint32_t streamLength = static_cast<uint32_t>(over.size() - 16);
    ASSERT_EQ(rig.Data(RAM + 0x80000, over), 1);
    EXPECT_EQ(rig.Cmd(0x98, RAM + 0x80000, streamLength, RAM + 0x90000), 1);
    EXPECT_EQ(rig.Cmd(0x97, RAM + 0x90000, 41, 40 * 0x42 + 0x41), 1);
    ASSERT_EQ(rig.Data(RAM, over), 1);
    EXPECT_EQ(rig.Cmd(0x98, RAM, streamLength, RAM), 1);  // hardware does not notice
    EXPECT_EQ(rig.Cmd(0x97, RAM, 41, 40 * 0x42 + 0x41), 0);

    // A token cut short by the stream's end, and a stream outside RAM.
    std::vector<uint8_t> cut = Section({0x41, 0xF5, 0x10}, 2);
    ASSERT_EQ(rig.Data(RAM + 0x1000, cut), 1);
    EXPECT_EQ(rig.Cmd(0x98, RAM + 0x1000, static_cast<uint32_t>(cut.size() - 16), RAM), 0);
    EXPECT_EQ(rig.Cmd(0x98, 0x01020000, 64, RAM), 0);
}

// Catches read-back of the wrong bytes or of unmapped addresses, and either
// answer layout mixed up with the other (a 16-bit length and status byte, or
// the 32-bit length of the host's own data packet).
TEST(ReceiverMonitor, ReadsBackMemoryInEitherLayout)
{
    for (EReadReply layout : {RXRB_STATUS, RXRB_MIRROR}) {
        CReceiverConfig config = MonitorConfig();
        config.m_eReadReply = layout;
        CMonitorRig rig(config);
        ASSERT_TRUE(rig.m_bMonitor);
        rig.m_pHost->Command(0xA2, 0x94, 0x01020000, 16);
        std::vector<uint8_t> p;
        ASSERT_TRUE(rig.m_pHost->WaitPacket(0xA4, p, 1000));
        const size_t head = layout == RXRB_STATUS ? 7 : 8;
        ASSERT_EQ(p.size(), head + 16);
        EXPECT_EQ(RxGetLe32(&p[0]), 0x01020000u);
        if (layout == RXRB_STATUS) {
            EXPECT_EQ(RxGetLe16(&p[4]), 16);
            EXPECT_EQ(p[6], 1);
        } else {
            EXPECT_EQ(RxGetLe32(&p[4]), 16u);
        }
        EXPECT_EQ(RxGetLe32(&p[head]), 0xA9B8C7D6u);  // the application header's magic
        EXPECT_EQ(rig.Cmd(0x94, 0x01020000, 2000), 0);
    }
}

// Catches a lost upgrade record or a text longer than the record allows.
TEST(ReceiverMonitor, StoresUpgradeRecordLine)
{
    CMonitorRig rig(MonitorConfig());
    ASSERT_TRUE(rig.m_bMonitor);
    std::vector<uint8_t> text(128, 0);
    std::string line = "FW 20070615 123456 175->182 120->182, BID:7 File:1 'x.q'";
    std::memcpy(text.data(), line.data(), line.size());
    rig.m_pHost->SendPacket(0xA0, text);
    EXPECT_EQ(rig.m_pHost->WaitAck(0xA3), 1);
    EXPECT_NE(rig.m_Receiver.ReportJson().find("\"upgrade_record\": \"" + line + "\""),
              std::string::npos);
    std::vector<uint8_t> full(128, 'A');  // no terminator: 127 characters are kept
    rig.m_pHost->SendPacket(0xA0, full);
    EXPECT_EQ(rig.m_pHost->WaitAck(0xA3), 1);
    EXPECT_NE(rig.m_Receiver.ReportJson().find(std::string(127, 'A') + "\""), std::string::npos);
    EXPECT_EQ(rig.m_Receiver.ReportJson().find(std::string(128, 'A')), std::string::npos);
}

// Catches the wrong destination of 0x93 (boards 5, 7 and 9 go to the
// application) and of 0x9A.
TEST(ReceiverMonitor, ReturnCommandsReachTheRightMode)
{
    struct {
        int board;
        uint8_t code;
        bool toApplication;
    } rows[] = {{7, 0x93, true}, {5, 0x93, true}, {4, 0x93, false}, {2, 0x93, false},
                {4, 0x9A, true}};
    for (const auto& row : rows) {
        CMonitorRig rig(MonitorConfig(row.board));
        ASSERT_TRUE(rig.m_bMonitor) << row.board;
        EXPECT_EQ(rig.Cmd(row.code), 1);
        std::vector<uint8_t> p;
        EXPECT_EQ(rig.m_pHost->WaitPacket(0x11, p, 300), !row.toApplication) << row.board;
        EXPECT_NE(rig.m_Receiver.ReportJson().find(row.toApplication ? "\"application\"" : "boot loader"),
                  std::string::npos);
    }
}

// Catches answers sent on the wrong port: the secondary port answers for
// itself, and the third port's answers leave on the secondary.
TEST(ReceiverMonitor, AnswersOnTheSecondaryPort)
{
    CMonitorRig rig(MonitorConfig(7, "AT49BV16X4", 3));
    ASSERT_TRUE(rig.m_bMonitor);
    std::vector<std::string> paths = rig.m_Receiver.SlavePaths();
    ASSERT_EQ(paths.size(), 3u);
    CRawHost second(paths[1]), third(paths[2]);
    second.Command(0xA2, 0x90);
    EXPECT_EQ(second.WaitAck(0xA3), 1);
    third.Command(0xA2, 0x90);
    EXPECT_EQ(second.WaitAck(0xA3), 1);
    EXPECT_TRUE(third.ReadFor(100).empty());
    std::vector<uint8_t> block(1024, 0x11);
    second.Data(0xA4, RAM, block);
    EXPECT_EQ(second.WaitAck(0xA3), 1);
    EXPECT_EQ(rig.Cmd(0x97, RAM, 1024, 0x11 * 1024), 1);
}

// Catches a monitor speed change made before its acknowledgement.
TEST(ReceiverMonitor, SpeedChangeAfterAcknowledgement)
{
    CMonitorRig rig(MonitorConfig());
    ASSERT_TRUE(rig.m_bMonitor);
    EXPECT_EQ(rig.Cmd(0x99, 115200), 1);
    EXPECT_EQ(rig.Cmd(0x90), -1);
    rig.m_pHost->SetBaud(115200);
    rig.m_pHost->ResetReader();
    EXPECT_EQ(rig.Cmd(0x90), 1);
}

// Catches a monitor that ends, restarts or forgets its rate when its host
// goes away: it keeps running until something ends it, and answers the next
// host at the rate it was last switched to.
TEST(ReceiverMonitor, OutlivesItsHost)
{
    CMonitorRig rig(MonitorConfig());
    ASSERT_TRUE(rig.m_bMonitor);
    ASSERT_EQ(rig.Cmd(0x99, 115200), 1);
    rig.m_pHost->Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    CRawHost next(rig.m_Receiver.SlavePaths()[0], 115200);
    ASSERT_TRUE(next.IsOpen());
    next.Command(0xA2, 0x90);
    EXPECT_EQ(next.WaitAck(0xA3), 1);
    EXPECT_NE(rig.m_Receiver.ReportJson().find("\"flash monitor\""), std::string::npos);
}
