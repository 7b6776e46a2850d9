// The virtual receiver held to the packet tables both ways, and the
// behaviours a flash monitor (or boot loader) may choose: the read-back's
// layout, largest read and memory, the rates of the speed change and the
// delay before the switch, and whether a parser abandons a stalled packet.
#include "tests/link/test_receiver_host.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t RAM = 0x00400000;  // board 7: 2 MiB
constexpr uint32_t FLASH = 0x01020000;
constexpr uint32_t MONITOR_AREA = 0x00020000;

CReceiverConfig VariantConfig()
{
    CReceiverConfig config;
    config.m_eStart = RXS_BOOT_LOADER;
    config.m_nAnnounceMs = 50;
    return config;
}

struct CVariantRig : CReceiverRig {
    explicit CVariantRig(const CReceiverConfig& config, bool monitor = true) : CReceiverRig(config)
    {
        std::vector<uint8_t> id;
        m_bReady = m_bStarted && (monitor ? StartMonitor(*m_pHost, 1, 0x20000) : ConnectBoot(*m_pHost, id));
    }
    int Cmd(uint8_t code, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0, int ms = 1000)
    {
        m_pHost->Command(0xA2, code, a, b, c);
        return m_pHost->WaitAck(0xA3, ms);
    }
    long long Count(const char* key) const { return ReportNumber(m_Receiver.ReportJson(), key); }
    bool m_bReady = false;
};

struct CReadCase {
    const char* name;
    EReadReply layout;
    uint32_t maxRead;
    EMonitorReads reads;
    EMonitorChecks checks;
    uint32_t address;
    uint32_t length;
    bool answered;
};

class ReceiverReadBack : public ::testing::TestWithParam<CReadCase> {};

// Catches a read-back answer longer than the host takes (the mirror layout's
// 1032 bytes for a 1024-byte read), a largest read or a memory choice not
// kept, and a refusal that is not a plain negative acknowledgement.
TEST_P(ReceiverReadBack, AnswersOnlyWhatFitsAndWhatItReads)
{
    const CReadCase& c = GetParam();
    CReceiverConfig config = VariantConfig();
    config.m_eReadReply = c.layout;
    config.m_nMaxRead = c.maxRead;
    config.m_eMonitorReads = c.reads;
    config.m_eMonitorChecks = c.checks;
    CVariantRig rig(config);
    ASSERT_TRUE(rig.m_bReady);
    rig.m_pHost->Command(0xA2, 0x94, c.address, c.length);
    std::vector<uint8_t> p;
    if (c.answered) {
        ASSERT_TRUE(rig.m_pHost->WaitPacket(0xA4, p, 1000));
        const size_t head = c.layout == RXRB_STATUS ? 7 : 8;
        ASSERT_EQ(p.size(), head + c.length);
        EXPECT_EQ(RxGetLe32(&p[0]), c.address);
    } else {
        EXPECT_EQ(rig.m_pHost->WaitAck(0xA3), 0);
    }
    EXPECT_EQ(rig.Count("read_refusals"), c.answered ? 0 : 1);
    EXPECT_EQ(rig.Count("largest_read"), c.answered ? c.length : 0);
    EXPECT_EQ(rig.Count("oversize_replies"), 0);
    EXPECT_EQ(rig.Cmd(0x90), 1) << "the monitor goes on after a refusal";
}

constexpr EReadReply ST = RXRB_STATUS, MI = RXRB_MIRROR;
constexpr EMonitorChecks RF = RXC_READS_FLASH, NF = RXC_REFUSES_FLASH;

INSTANTIATE_TEST_SUITE_P(
    Receiver, ReceiverReadBack,
    ::testing::Values(
        //       name                      layout max  reads       checks address length answered
        CReadCase{"Status1024",             ST, 1024, RXMR_ANY,   RF, FLASH, 1024, true},
        CReadCase{"Mirror1023",             MI, 1024, RXMR_ANY,   RF, FLASH, 1023, true},
        CReadCase{"Mirror1024",             MI, 1024, RXMR_ANY,   RF, FLASH, 1024, false},
        CReadCase{"MaxRead128Takes128",     ST, 128,  RXMR_ANY,   RF, FLASH, 128, true},
        CReadCase{"MaxRead128Refuses129",   ST, 128,  RXMR_ANY,   RF, FLASH, 129, false},
        CReadCase{"MirrorMaxRead128Refuses129", MI, 128, RXMR_ANY, RF, FLASH, 129, false},
        CReadCase{"AnyReadsRam",            ST, 1024, RXMR_ANY,   RF, RAM, 256, true},
        CReadCase{"AnyReadsMonitorArea",    ST, 1024, RXMR_ANY,   RF, MONITOR_AREA, 256, true},
        CReadCase{"FlashOnlyReadsFlash",    ST, 1024, RXMR_FLASH, RF, FLASH, 256, true},
        CReadCase{"FlashOnlyRefusesRam",    ST, 1024, RXMR_FLASH, RF, RAM, 256, false},
        CReadCase{"FlashOnlyRefusesMonitor", ST, 1024, RXMR_FLASH, RF, MONITOR_AREA, 256, false},
        CReadCase{"NoneRefusesFlash",       ST, 1024, RXMR_NONE,  RF, FLASH, 256, false},
        CReadCase{"RefusesFlashRefusesFlash", ST, 1024, RXMR_ANY, NF, FLASH, 256, false},
        CReadCase{"FlashOnlyWithRefusesFlash", ST, 1024, RXMR_FLASH, NF, FLASH, 256, false}),
    [](const ::testing::TestParamInfo<CReadCase>& info) { return std::string(info.param.name); });

struct CLimitCase {
    const char* name;
    bool monitor;
    uint8_t id;
    size_t payload;  // a command's or text's whole payload; a data block's data bytes
    bool taken;
};

// The packet as the host would send it, its arguments aimed at RAM.
std::vector<uint8_t> LimitPacket(const CLimitCase& c)
{
    const bool data = c.id == 0x14 || c.id == 0xA4;
    std::vector<uint8_t> payload(data ? 8 + c.payload : c.payload, 0x55);
    if (data) {
        RxPutLe32(&payload[0], RAM);
        RxPutLe32(&payload[4], static_cast<uint32_t>(c.payload));
    } else if (c.id != 0xA0) {
        payload[0] = c.monitor ? 0x90 : 0x84;  // ready, check
    }
    return RxEncodePacket(c.id, payload);
}

class ReceiverPacketLimits : public ::testing::TestWithParam<CLimitCase> {};

// Catches a parser that takes a packet longer than its id allows (or refuses
// one at the limit), and one that loses the packet after a dropped one: the
// next start byte is found again.
TEST_P(ReceiverPacketLimits, DropsBeyondTheIdsLimitAndTakesTheNext)
{
    const CLimitCase& c = GetParam();
    CVariantRig rig(VariantConfig(), c.monitor);
    ASSERT_TRUE(rig.m_bReady);
    std::vector<uint8_t> bytes = LimitPacket(c);
    const uint8_t commandId = c.monitor ? 0xA2 : 0x12, ackId = c.monitor ? 0xA3 : 0x13;
    std::vector<uint8_t> next = LimitPacket({"", c.monitor, commandId, c.monitor ? 13u : 7u, true});
    bytes.insert(bytes.end(), next.begin(), next.end());
    rig.m_pHost->Write(bytes);
    EXPECT_EQ(rig.m_pHost->WaitAck(ackId), 1);
    if (c.taken) {
        EXPECT_EQ(rig.m_pHost->WaitAck(ackId), 1);
    }
    EXPECT_EQ(rig.m_pHost->WaitAck(ackId, 200), -1);
    EXPECT_EQ(rig.Count("oversize_packets"), c.taken ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Receiver, ReceiverPacketLimits,
    ::testing::Values(
        CLimitCase{"BootCommand7", false, 0x12, 7, true},
        CLimitCase{"BootCommand8", false, 0x12, 8, false},
        CLimitCase{"BootData1024", false, 0x14, 1024, true},
        CLimitCase{"BootData1025", false, 0x14, 1025, false},
        CLimitCase{"MonitorCommand13", true, 0xA2, 13, true},
        CLimitCase{"MonitorCommand14", true, 0xA2, 14, false},
        CLimitCase{"MonitorData1024", true, 0xA4, 1024, true},
        CLimitCase{"MonitorData1025", true, 0xA4, 1025, false},
        CLimitCase{"MonitorText128", true, 0xA0, 128, true},
        CLimitCase{"MonitorText129", true, 0xA0, 129, false}),
    [](const ::testing::TestParamInfo<CLimitCase>& info) { return std::string(info.param.name); });

// Catches a program command that writes more than 4096 bytes at once.
TEST(ReceiverProgramLimit, RefusesCountsAbove4096)
{
    CVariantRig rig(VariantConfig());
    ASSERT_TRUE(rig.m_bReady);
    ASSERT_EQ(rig.Cmd(0x95, FLASH), 1);
    EXPECT_EQ(rig.Cmd(0x96, RAM, 4097, FLASH), 0);
    EXPECT_EQ(rig.Cmd(0x96, RAM, 4096, FLASH), 1);
    EXPECT_EQ(rig.Count("oversize_programs"), 1);
}

// Catches a rate list that is not what the monitor takes (a rate beyond it
// accepted, or --max-baud still deciding), and bad lists accepted.
TEST(ReceiverMonitorRates, TakesExactlyTheListedRates)
{
    struct {
        const char* list;
        uint32_t baud;
        bool accepted;
    } rows[] = {{"19200,460800", 460800, true}, {"19200,460800", 115200, false},
                {"57600", 57600, true},         {"921600", 921600, true}};
    for (const auto& row : rows) {
        CReceiverConfig config = VariantConfig();
        std::string error;
        ASSERT_TRUE(ParseRateList(row.list, config.m_MonitorRates, error)) << error;
        CVariantRig rig(config);
        ASSERT_TRUE(rig.m_bReady);
        EXPECT_EQ(rig.Cmd(0x99, row.baud), row.accepted ? 1 : 0) << row.list << " " << row.baud;
    }
    std::vector<uint32_t> rates;
    std::string error;
    for (const char* bad : {"", "19200,", "12345", "9600;19200", "-9600"})
        EXPECT_FALSE(ParseRateList(bad, rates, error)) << bad;
}

struct CDelayCase {
    const char* name;
    bool monitor;  // 0x99, else the boot loader's 0x85
    uint32_t delayMs;
};

class ReceiverSwitchDelay : public ::testing::TestWithParam<CDelayCase> {};

// Catches a receiver that switches before its configured delay is over (a
// host that talks at the new rate at once is then understood) or never.
TEST_P(ReceiverSwitchDelay, SwitchesOnlyAfterTheDelay)
{
    const CDelayCase& c = GetParam();
    CReceiverConfig config = VariantConfig();
    config.m_nSwitchDelayMs = c.delayMs;
    CVariantRig rig(config, c.monitor);
    ASSERT_TRUE(rig.m_bReady);
    CRawHost& host = *rig.m_pHost;
    const uint8_t packetId = c.monitor ? 0xA2 : 0x12, ackId = c.monitor ? 0xA3 : 0x13;
    auto ready = [&](int ms) {
        host.Command(packetId, c.monitor ? 0x90 : 0x84);
        return host.WaitAck(ackId, ms);
    };
    host.Command(packetId, c.monitor ? 0x99 : 0x85, 115200);
    ASSERT_EQ(host.WaitAck(ackId), 1);
    host.SetBaud(115200);
    host.ResetReader();
    EXPECT_EQ(ready(100), c.delayMs ? -1 : 1);
    EXPECT_EQ(rig.Count("garbled_bytes") > 0, c.delayMs > 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(c.delayMs + 200));
    host.ResetReader();
    EXPECT_EQ(ready(1000), 1);
}

INSTANTIATE_TEST_SUITE_P(Receiver, ReceiverSwitchDelay,
                         ::testing::Values(CDelayCase{"MonitorAtOnce", true, 0},
                                           CDelayCase{"Monitor400", true, 400},
                                           CDelayCase{"BootLoader400", false, 400}),
                         [](const ::testing::TestParamInfo<CDelayCase>& info) {
                             return std::string(info.param.name);
                         });

// Catches a packet gap that is not kept: with the gap a stalled packet is
// abandoned and the next one taken; without it, the parser still waits for
// the stalled packet's bytes and swallows the next one.
TEST(ReceiverPacketGap, StalledPacketAbandonedOnlyWithAGap)
{
    for (uint32_t gap : {100u, 0u}) {
        CReceiverConfig config = VariantConfig();
        config.m_nPacketGapMs = gap;
        CVariantRig rig(config);
        ASSERT_TRUE(rig.m_bReady);
        const std::vector<uint8_t> stalled = RxEncodePacket(0xA4, std::vector<uint8_t>(1032, 0x55));
        rig.m_pHost->Write(std::vector<uint8_t>(stalled.begin(), stalled.begin() + 20));
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        EXPECT_EQ(rig.Cmd(0x90, 0, 0, 0, 300), gap ? 1 : -1) << "gap " << gap;
    }
}

}  // namespace
