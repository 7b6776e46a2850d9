// The virtual receiver's line rates above 115200: which ones the flash
// monitor's speed change accepts under --max-baud, what its clock error
// (--baud-error) does to the bytes, and that the pseudo-terminal's rate is
// read right at each of them.
#include "tests/link/test_receiver_host.h"

#include <gtest/gtest.h>

namespace {

CReceiverConfig RateConfig(uint32_t maxBaud, double clockError = 0)
{
    CReceiverConfig config;
    config.m_eStart = RXS_BOOT_LOADER;
    config.m_nAnnounceMs = 50;
    config.m_nMaxBaud = maxBaud;
    config.m_dBaudErrorPercent = clockError;
    return config;
}

struct CRateRig : CReceiverRig {
    explicit CRateRig(const CReceiverConfig& config) : CReceiverRig(config)
    {
        m_bMonitor = m_bStarted && StartMonitor(*m_pHost, 1, 0x20000);
    }
    int Cmd(uint8_t code, uint32_t a = 0, int ms = 300)
    {
        m_pHost->Command(0xA2, code, a);
        return m_pHost->WaitAck(0xA3, ms);
    }
    // Switches the monitor and then the host to `baud`; false when refused.
    bool Switch(uint32_t baud)
    {
        if (Cmd(0x99, baud) != 1)
            return false;
        m_pHost->SetBaud(baud);
        m_pHost->ResetReader();
        return true;
    }
    bool m_bMonitor = false;
};

}  // namespace

// Catches a monitor that takes a rate above its limit, refuses one within it,
// or mistakes a rate at the pseudo-terminal (the termios constant of 460800
// or 921600 read as no rate at all garbles every byte).
TEST(ReceiverRates, MonitorTakesHighRatesUpToItsLimit)
{
    struct {
        uint32_t maxBaud, baud;
        bool accepted;
    } rows[] = {
        {115200, 230400, false}, {230400, 230400, true}, {460800, 921600, false},
        {460800, 460800, true},  {921600, 921600, true}, {921600, 500000, false},
    };
    for (const auto& row : rows) {
        CRateRig rig(RateConfig(row.maxBaud));
        ASSERT_TRUE(rig.m_bMonitor);
        EXPECT_EQ(rig.Switch(row.baud), row.accepted) << row.maxBaud << " " << row.baud;
        EXPECT_EQ(rig.Cmd(0x90), 1) << "at " << (row.accepted ? row.baud : 19200);
        EXPECT_EQ(ReportNumber(rig.m_Receiver.ReportJson(), "garbled_bytes"), 0);
    }
}

// Catches a boot loader that follows the monitor's limit instead of keeping
// its own 115200.
TEST(ReceiverRates, BootLoaderStopsAt115200)
{
    CReceiverRig rig(RateConfig(921600));
    ASSERT_TRUE(rig.m_bStarted);
    std::vector<uint8_t> id;
    ASSERT_TRUE(ConnectBoot(*rig.m_pHost, id));
    rig.m_pHost->Command(0x12, 0x85, 230400);
    EXPECT_EQ(rig.m_pHost->WaitAck(0x13), 0);
    rig.m_pHost->Command(0x12, 0x85, 115200);
    EXPECT_EQ(rig.m_pHost->WaitAck(0x13), 1);
}

// Catches rates that no longer garble when host and receiver disagree: a
// host left at 19200, or one at another high rate, reads noise.
TEST(ReceiverRates, UnequalHighRatesGarble)
{
    CRateRig rig(RateConfig(921600));
    ASSERT_TRUE(rig.m_bMonitor);
    ASSERT_EQ(rig.Cmd(0x99, 921600), 1);
    EXPECT_EQ(rig.Cmd(0x90), -1);  // the host is still at 19200
    rig.m_pHost->SetBaud(460800);
    rig.m_pHost->ResetReader();
    EXPECT_EQ(rig.Cmd(0x90), -1);
    EXPECT_GT(ReportNumber(rig.m_Receiver.ReportJson(), "garbled_bytes"), 0);
    rig.m_pHost->SetBaud(921600);
    rig.m_pHost->ResetReader();
    EXPECT_EQ(rig.Cmd(0x90), 1);
}

// Catches a clock error that spoils bytes below the UART's tolerance or at
// 115200 and below, and one that lets most bytes through well beyond it.
TEST(ReceiverRates, ClockErrorBeyondTwoPerCentSpoilsBytes)
{
    struct {
        double error;
        uint32_t baud;
        int minAcks, maxAcks;
    } rows[] = {
        {1.9, 921600, 20, 20}, {5.0, 115200, 20, 20}, {2.75, 460800, 0, 19}, {4.0, 460800, 0, 0},
    };
    for (const auto& row : rows) {
        CRateRig rig(RateConfig(921600, row.error));
        ASSERT_TRUE(rig.m_bMonitor);
        ASSERT_EQ(rig.Cmd(0x99, row.baud), 1);  // the answer leaves at 19200
        rig.m_pHost->SetBaud(row.baud);
        rig.m_pHost->ResetReader();
        // A lost answer costs the wait; at these rates a whole one takes
        // well under a millisecond.
        int acks = 0;
        for (int i = 0; i < 20; ++i)
            acks += rig.Cmd(0x90, 0, 60) == 1;
        EXPECT_GE(acks, row.minAcks) << row.error << "% at " << row.baud;
        EXPECT_LE(acks, row.maxAcks) << row.error << "% at " << row.baud;
        const long long spoiled = ReportNumber(rig.m_Receiver.ReportJson(), "clock_error_bytes");
        EXPECT_EQ(spoiled > 0, row.minAcks < 20) << row.error << "% at " << row.baud;
    }
}

// Catches a paced line that does not run at the negotiated high rate: bytes
// handed over faster than the wire allows, or at a slower rate's pace.
TEST(ReceiverRates, PacedLineRunsAtTheNegotiatedRate)
{
    CReceiverConfig config = RateConfig(921600);
    config.m_bPace = true;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    // The monitor goes up at 115200: at 19200 its upload alone takes 12 s.
    std::vector<uint8_t> id, p;
    ASSERT_TRUE(ConnectBoot(host, id));
    host.Command(0x12, 0x85, 115200);
    ASSERT_EQ(host.WaitAck(0x13), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    host.SetBaud(115200);
    CMonitorImage image = GetMonitorImage(1);
    ASSERT_TRUE(UploadThroughBoot(host, 0x20000, image.pData, image.nLength));
    host.Command(0x12, 0x87);
    ASSERT_EQ(host.WaitAck(0x13), 1);
    host.SetBaud(19200);
    host.ResetReader();
    ASSERT_TRUE(host.WaitPacket(0xA1, p, 2000));
    host.Command(0xA2, 0x99, 921600);
    ASSERT_EQ(host.WaitAck(0xA3), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the answer's last bytes
    host.SetBaud(921600);
    host.ResetReader();

    // Ten read-backs of 1024 bytes: 20 bytes asked, 1037 answered, 11 bits a byte.
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        host.Command(0xA2, 0x94, 0x01020000, 1024);
        ASSERT_TRUE(host.WaitPacket(0xA4, p, 1000));
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const double wire = 10 * (20 + 1037) * 11 * 1000.0;
    EXPECT_GE(ms, wire / 921600 * 0.95);
    EXPECT_LT(ms, wire / 230400) << "not at the pace of 921600";
}
