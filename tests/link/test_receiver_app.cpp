// The virtual receiver's application mode and the handheld's passthrough,
// driven with raw bytes: wake text, break and information packet, the
// go-to-monitor command line, and the three passthrough frames.
#include "tests/link/test_receiver_host.h"

#include <gtest/gtest.h>

namespace {

CReceiverConfig AppConfig(const char* name = "ModelK")
{
    CReceiverConfig config;
    config.m_strProductName = name;
    config.m_nAnnounceMs = 50;
    return config;
}

std::string Text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// The information packet as the host's reader expects it.
std::vector<uint8_t> InfoPacket(const std::string& text)
{
    std::vector<uint8_t> p{0x02, 0x00, 0x6E, static_cast<uint8_t>(text.size())};
    uint32_t check = 0x00 + 0x6E + text.size();
    for (char c : text) {
        p.push_back(static_cast<uint8_t>(c));
        check += static_cast<uint8_t>(c);
    }
    p.push_back(static_cast<uint8_t>(check));
    p.push_back(0x03);
    return p;
}

}  // namespace

// Catches a wake text missed when split across sends or preceded by noise.
TEST(ReceiverApplication, WakeTextWholeOrSplit)
{
    for (int split : {0, 1, 4, 9}) {
        CReceiverRig rig(AppConfig());
        ASSERT_TRUE(rig.m_bStarted);
        CRawHost& host = *rig.m_pHost;
        std::string wake = "PoLkAdOtSy";
        host.Write("xyPoL");  // noise and a false start
        if (split == 0) {
            host.Write(wake);
        } else {
            host.Write(wake.substr(0, split));
            host.ReadFor(30);
            host.Write(wake.substr(split));
        }
        EXPECT_EQ(Text(host.ReadCount(13, 1000)), "tUrNiPgReEnSo") << split;
        std::vector<uint8_t> p;
        EXPECT_TRUE(host.WaitPacket(0x11, p, 1000)) << "boot loader after the wake text";
    }
}

// Catches an information packet with wrong framing or fields, one sent for a
// flush at another rate, and a command line answered wrongly.
TEST(ReceiverApplication, BreakAndCommandLine)
{
    CReceiverRig rig(AppConfig());
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    host.Break();  // at 19200: a plain purge, no break
    EXPECT_TRUE(host.ReadFor(150).empty());
    host.SetBaud(9600);
    host.Purge();
    host.Break();
    EXPECT_EQ(host.ReadFor(200), InfoPacket("PRODUCT,ModelK;PORT,1,9600,0,8,1,N"));
    host.Write("TITAN : GOTO FLASH MONITOR\r\n");
    EXPECT_EQ(Text(host.ReadCount(32, 1000)), "TITAN : GOING TO FLASH MONITOR\r\n");
    host.SetBaud(19200);
    std::vector<uint8_t> id;
    EXPECT_TRUE(ConnectBoot(host, id));
}

// Catches other lines taken for the command.
TEST(ReceiverApplication, IgnoresOtherLines)
{
    CReceiverRig rig(AppConfig());
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    host.SetBaud(9600);
    host.Write("TITAN : GOTO FLASH MONITOR\n\r");
    host.Write("TITAN : GOTO FLASH\r\n");
    EXPECT_TRUE(host.ReadFor(200).empty());
}

// Catches a ModelD or HandheldOS receiver that enters its boot loader on
// the command line alone.
TEST(ReceiverApplication, SomeProductsNeedWakeTextAfterCommand)
{
    for (const char* name : {"ModelD 2", "HandheldOS"}) {
        CReceiverRig rig(AppConfig(name));
        ASSERT_TRUE(rig.m_bStarted);
        CRawHost& host = *rig.m_pHost;
        host.SetBaud(9600);
        host.Write("TITAN : GOTO FLASH MONITOR\r\n");
        EXPECT_EQ(Text(host.ReadCount(32, 1000)), "TITAN : GOING TO FLASH MONITOR\r\n");
        host.SetBaud(19200);
        std::vector<uint8_t> p;
        EXPECT_FALSE(host.WaitPacket(0x11, p, 300)) << name;
        host.Write("PoLkAdOtSy");
        EXPECT_EQ(Text(host.ReadCount(13, 1000)), "tUrNiPgReEnSo");
        EXPECT_TRUE(host.WaitPacket(0x11, p, 1000));
    }
}

// Catches a wake text heard at a rate the application does not run at.
TEST(ReceiverApplication, WakeTextAtWrongRateIsNoise)
{
    CReceiverRig rig(AppConfig());
    ASSERT_TRUE(rig.m_bStarted);
    rig.m_pHost->SetBaud(115200);
    rig.m_pHost->Write("PoLkAdOtSy");
    EXPECT_TRUE(rig.m_pHost->ReadFor(200).empty());
    EXPECT_GT(ReportNumber(rig.m_Receiver.ReportJson(), "garbled_bytes"), 0);
}

// Catches a handheld that does not acknowledge a break, takes frames out of
// order, or does not hand over to the boot loader at 19200.
TEST(ReceiverPassthrough, BreakAckAndThreeFrames)
{
    CReceiverConfig config = AppConfig();
    config.m_eStart = RXS_PASSTHROUGH;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    CRawHost& host = *rig.m_pHost;
    host.SetBaud(38400);
    host.Break();
    EXPECT_EQ(host.ReadFor(200), std::vector<uint8_t>{0x06});
    std::vector<uint8_t> first{0x02, 0x00, 0x81, 0x06, 0x00, 0x50, 0x00, 0x04, 0x00, 0x00, 0xDB, 0x03};
    std::vector<uint8_t> second{0x02, 0x00, 0x81, 0x06, 0x00, 0x50, 0x00, 0x04, 0x08, 0x08, 0xEB, 0x03};
    std::vector<uint8_t> last{0x02, 0x00, 0x85, 0x00, 0x85, 0x03};
    host.Write(second);  // out of order: the sequence starts again
    host.Write(first);
    host.Write(last);
    host.ReadFor(50);  // let the frames leave before the rate changes
    host.SetBaud(19200);
    std::vector<uint8_t> p;
    EXPECT_FALSE(host.WaitPacket(0x11, p, 300));

    host.SetBaud(38400);
    host.Break();
    EXPECT_EQ(host.ReadFor(200), std::vector<uint8_t>{0x06});
    host.Write(first);
    host.Write(second);
    host.Write(last);
    host.ReadFor(50);
    host.SetBaud(19200);
    host.ResetReader();
    std::vector<uint8_t> id;
    EXPECT_TRUE(ConnectBoot(host, id)) << rig.m_Receiver.ReportJson();
}

// Catches a handheld that answers a break at another rate.
TEST(ReceiverPassthrough, NoAckAtOtherRates)
{
    CReceiverConfig config = AppConfig();
    config.m_eStart = RXS_PASSTHROUGH;
    CReceiverRig rig(config);
    ASSERT_TRUE(rig.m_bStarted);
    rig.m_pHost->SetBaud(9600);
    rig.m_pHost->Break();
    EXPECT_TRUE(rig.m_pHost->ReadFor(200).empty());
}
