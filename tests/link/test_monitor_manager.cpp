// Flash-monitor protocol against a scripted monitor on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "link/QMonitorManager.h"
#include "ScriptedPeer.h"

namespace {

// Lets a test start from a connected link without the handshake.
class CTestMonitor : public CQMonitorManager {
public:
    void ForceConnected() { m_bConnected = true; }
};

class MonitorLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_peer.IsReady());
        ASSERT_TRUE(m_peer.OpenHandler(m_port)) << m_port.GetLastError();
        m_peer.Settle();
        m_monitor.SetPorts(&m_port, nullptr);
    }
    void TearDown() override
    {
        m_port.Close();
    }
    CPtyPeer m_peer{true};
    CSerialHandler m_port;
    CTestMonitor m_monitor;
};

Bytes Filled(size_t n, uint8_t first)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i);
    return b;
}

struct CommandRow {
    unsigned nKind;
    uint8_t nCode;
    bool bFirst, bSecond, bThird;
    uint8_t nReply;
    size_t nReplyLength;
    bool bEndsLink;
};

// Catches a wrong code, a leaked or dropped argument, a wrong awaited reply
// and a wrong connected flag after an accepted command, for every kind.
const CommandRow kCommandRows[] = {
    {0, 0x90, false, false, false, 0xA3, 1, false},  {1, 0x91, true, false, false, 0xA3, 1, true},
    {2, 0x92, false, false, false, 0xA3, 1, true},   {3, 0x93, false, false, false, 0xA3, 1, true},
    {4, 0x9A, false, false, false, 0xA3, 1, true},   {5, 0x94, true, true, false, 0xA4, 1031, false},
    {6, 0x95, true, false, false, 0xA3, 1, false},   {7, 0x96, true, true, true, 0xA3, 1, false},
    {8, 0x97, true, true, true, 0xA3, 1, false},     {9, 0x98, true, true, true, 0xA3, 1, false},
    {10, 0x99, true, false, false, 0xA3, 1, false},  {11, 0x9E, false, false, false, 0xA5, 38, false},
    {12, 0x9F, false, false, false, 0xA6, 20, false}, {14, 0xA0, false, false, false, 0xA8, 64, false},
};

TEST_F(MonitorLink, EachCommandSendsItsPacketAndAwaitsItsReply)
{
    const uint32_t first = 0x11223344, second = 0x55667788, third = 0x99AABBCC;
    CPeerThread peer([&] {
        for (const CommandRow& row : kCommandRows) {
            CPeerPacket p = m_peer.ReadPacket();
            Bytes expected = Concat({{row.nCode}, Le32(row.bFirst ? first : 0), Le32(row.bSecond ? second : 0),
                                     Le32(row.bThird ? third : 0)});
            EXPECT_EQ(p.nId, 0xA2) << "kind " << row.nKind;
            EXPECT_EQ(p.payload, expected) << "kind " << row.nKind;
            m_peer.SendPacket(row.nReply, row.nReply == 0xA3 ? Bytes{1} : Filled(row.nReplyLength, 0x40));
        }
    });
    for (const CommandRow& row : kCommandRows) {
        m_monitor.ForceConnected();
        CPacket reply;
        EXPECT_EQ(m_monitor.Command(row.nKind, 2000, first, second, third, &reply), LINK_OK) << "kind " << row.nKind;
        EXPECT_EQ(reply.m_nId, row.nReply) << "kind " << row.nKind;
        EXPECT_EQ(m_monitor.IsConnected(), !row.bEndsLink) << "kind " << row.nKind;
    }
    peer.Join();
    EXPECT_EQ(m_monitor.GetMonitorInfo()[37], 0x40 + 37);
    EXPECT_EQ(m_monitor.GetFlashInfo()[19], 0x40 + 19);
    EXPECT_EQ(m_monitor.GetExtraInfo()[63], 0x40 + 63);
}

struct ReadRow {
    const char* pszName;
    std::vector<std::pair<uint8_t, Bytes>> answers;  // what the monitor sends, in order
    int nResult;
    size_t nPayload;  // of the reply packet on LINK_OK
};

// The longest answer the host takes is 1031 bytes: one more is noise. A
// refusal ends the wait at once (a monitor refuses what it cannot answer); a
// stray positive acknowledgement does not.
TEST_F(MonitorLink, ReadDataTakesAnswersUpToTheReplyLimit)
{
    const ReadRow rows[] = {
        {"longest answer", {{0xA4, Filled(1031, 0x01)}}, LINK_OK, 1031},
        {"one byte too long", {{0xA4, Filled(1032, 0x01)}}, LINK_TIMEOUT, 0},
        {"refused", {{0xA3, {0}}}, LINK_FAILED, 0},
        {"stray acknowledgement, then the answer", {{0xA3, {1}}, {0xA4, Filled(16, 0x04)}}, LINK_OK, 16},
    };
    CPeerThread peer([&] {
        for (const ReadRow& row : rows) {
            m_peer.ReadPacket();
            for (const auto& answer : row.answers)
                m_peer.SendPacket(answer.first, answer.second);
        }
    });
    m_monitor.ForceConnected();
    for (const ReadRow& row : rows) {
        CPacket reply;
        EXPECT_EQ(m_monitor.Command(MON_CMD_READ_DATA, 600, 0x1000, 1024, 0, &reply), row.nResult) << row.pszName;
        if (row.nResult == LINK_OK) {
            EXPECT_EQ(reply.m_Data.size(), row.nPayload) << row.pszName;
        }
    }
}

struct AckRow {
    const char* pszName;
    Bytes ack;
    int nResult;
};

// An acknowledgement is positive only with the byte 1.
TEST_F(MonitorLink, AcknowledgementByteDecidesTheResult)
{
    const AckRow rows[] = {{"accepted", {1}, LINK_OK}, {"refused", {0}, LINK_FAILED},
                           {"other byte", {2}, LINK_FAILED}, {"no byte", {}, LINK_FAILED}};
    CPeerThread peer([&] {
        for (const AckRow& row : rows) {
            m_peer.ReadPacket();
            m_peer.SendPacket(0xA3, row.ack);
        }
    });
    m_monitor.ForceConnected();
    for (const AckRow& row : rows)
        EXPECT_EQ(m_monitor.Command(MON_CMD_PREPARE_FLASH, 2000, 0x10000, 0, 0, nullptr), row.nResult)
            << row.pszName;
}

// A stray acknowledgement must not end a wait for the information reply, and
// a reply split over several reads after noise must still be found.
TEST_F(MonitorLink, OtherPacketsAreIgnoredWhileAwaitingTheReply)
{
    CPeerThread peer([&] {
        m_peer.ReadPacket();
        m_peer.SendPacket(0xA3, {1});
        Bytes info = CPtyPeer::Encode(0xA5, Filled(38, 0x10));
        m_peer.Send({0x55, 0x04, 0x00});
        m_peer.Send(Bytes(info.begin(), info.begin() + 10));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        m_peer.Send(Bytes(info.begin() + 10, info.end()));
    });
    m_monitor.ForceConnected();
    EXPECT_EQ(m_monitor.Command(MON_CMD_READ_INFO, 2000, 0, 0, 0, nullptr), LINK_OK);
    EXPECT_EQ(m_monitor.GetMonitorInfo()[0], 0x10);
    EXPECT_EQ(m_monitor.GetMonitorInfo()[37], 0x10 + 37);
}

// A short reply must not copy bytes that were never received.
TEST_F(MonitorLink, ShortReplyFillsOnlyTheStartOfTheBlock)
{
    CPeerThread peer([&] {
        m_peer.ReadPacket();
        m_peer.SendPacket(0xA6, Filled(20, 0x20));
        m_peer.ReadPacket();
        m_peer.SendPacket(0xA6, Bytes(4, 0xEE));
    });
    m_monitor.ForceConnected();
    ASSERT_EQ(m_monitor.Command(MON_CMD_READ_FLASH_INFO, 2000, 0, 0, 0, nullptr), LINK_OK);
    ASSERT_EQ(m_monitor.Command(MON_CMD_READ_FLASH_INFO, 2000, 0, 0, 0, nullptr), LINK_OK);
    EXPECT_EQ(m_monitor.GetFlashInfo()[3], 0xEE);
    EXPECT_EQ(m_monitor.GetFlashInfo()[4], 0x24);
    EXPECT_EQ(m_monitor.GetFlashInfo()[19], 0x20 + 19);
}

TEST_F(MonitorLink, SilenceIsReportedAsTimeoutSoonAfterTheTimeout)
{
    m_monitor.ForceConnected();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_monitor.Command(MON_CMD_READY, 300, 0, 0, 0, nullptr), LINK_TIMEOUT);
    long elapsed = MsSince(start);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 300 + 250);
    EXPECT_TRUE(m_monitor.IsConnected());
}

// Kind 13 awaits a reply the monitor's table does not admit.
TEST_F(MonitorLink, Kind13EndsByTimeout)
{
    CPeerThread peer([&] {
        m_peer.ReadPacket();
        m_peer.SendPacket(0xA7, {1, 2});
        m_peer.SendPacket(0xA3, {1});
    });
    m_monitor.ForceConnected();
    EXPECT_EQ(m_monitor.Command(MON_CMD_QUERY_9D, 300, 0, 0, 0, nullptr), LINK_TIMEOUT);
}

TEST_F(MonitorLink, RefusedWithoutSendingWhenNotConnectedOrKindUnknown)
{
    EXPECT_EQ(m_monitor.Command(MON_CMD_READY, 500, 0, 0, 0, nullptr), LINK_FAILED);
    EXPECT_EQ(m_monitor.SendData(Bytes(4).data(), 0, 4, 500), LINK_FAILED);
    EXPECT_EQ(m_monitor.SendText("x", 500), LINK_FAILED);
    m_monitor.ForceConnected();
    EXPECT_EQ(m_monitor.Command(MON_CMD_COUNT, 500, 0, 0, 0, nullptr), LINK_FAILED);
    EXPECT_TRUE(m_peer.Read(1, 150).empty()) << "nothing may be sent";
}

// Returning to the boot loader ends the link: later data must be refused.
TEST_F(MonitorLink, AcceptedReturnToBootEndsTheLink)
{
    CPeerThread peer([&] {
        m_peer.ReadPacket();
        m_peer.SendPacket(0xA3, {1});
    });
    m_monitor.ForceConnected();
    ASSERT_EQ(m_monitor.Command(MON_CMD_RETURN_TO_BOOT, 2000, 0, 0, 0, nullptr), LINK_OK);
    uint8_t block[16] = {};
    EXPECT_EQ(m_monitor.SendData(block, 0, sizeof(block), 500), LINK_FAILED);
}

TEST_F(MonitorLink, HandshakeAsksForInformationThenChecksReady)
{
    CPeerThread peer([&] {
        // Speak only once the host has purged its port for the handshake.
        ASSERT_TRUE(m_peer.WaitForFlush(2000));
        m_peer.Send({0x00, 0xFF, 0x13});  // line noise before the monitor starts
        m_peer.SendPacket(0xA1, {0x31, 0x00, 0x00, 0x00, 0x07});
        CPeerPacket ask = m_peer.ReadPacket();
        EXPECT_EQ(ask.nId, 0xA2);
        EXPECT_EQ(ask.payload, Concat({{0x9E}, Le32(0), Le32(0), Le32(0)}));
        m_peer.SendPacket(0xA5, Filled(38, 0x60));
        CPeerPacket ready = m_peer.ReadPacket();
        EXPECT_EQ(ready.payload.at(0), 0x90);
        m_peer.SendPacket(0xA3, {1});
    });
    EXPECT_EQ(m_monitor.ConnectMonitor(2000, false), LINK_OK);
    EXPECT_TRUE(m_monitor.IsConnected());
    EXPECT_EQ(m_monitor.GetMonitorId()[4], 0x07);
    EXPECT_EQ(m_monitor.GetMonitorInfo()[2], 0x62);
}

TEST_F(MonitorLink, HandshakeFailsOnAnUnexpectedPacket)
{
    CPeerThread peer([&] {
        ASSERT_TRUE(m_peer.WaitForFlush(2000));
        m_peer.SendPacket(0xA3, {1});
    });
    EXPECT_EQ(m_monitor.ConnectMonitor(2000, false), LINK_FAILED);
    EXPECT_FALSE(m_monitor.IsConnected());
}

TEST_F(MonitorLink, HandshakeTimesOutWithoutAnnouncement)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_monitor.ConnectMonitor(300, false), LINK_TIMEOUT);
    EXPECT_LT(MsSince(start), 300 + 250);
    EXPECT_FALSE(m_monitor.IsConnected());
}

TEST_F(MonitorLink, HandshakeWithRunningMonitorOnlyChecksReady)
{
    CPeerThread peer([&] {
        CPeerPacket p = m_peer.ReadPacket();
        EXPECT_EQ(p.payload.at(0), 0x90);
        m_peer.SendPacket(0xA3, {0});
    });
    EXPECT_EQ(m_monitor.ConnectMonitor(1000, true), LINK_FAILED);
    peer.Join();
    EXPECT_TRUE(m_peer.Read(1, 100).empty());
}

TEST_F(MonitorLink, DataAndTextPacketsAreFramedAndBounded)
{
    Bytes block = Filled(1024, 0x00);
    std::string longText(200, 'T');
    longText[126] = 'E';
    CPeerThread peer([&] {
        Bytes raw = m_peer.Read(1039, 2000);
        ASSERT_EQ(raw.size(), 1039u);
        EXPECT_EQ(raw[1], 0xA4);
        EXPECT_EQ(Bytes(raw.begin() + 4, raw.begin() + 12), Concat({Le32(0x00FF8000), Le32(1024)}));
        EXPECT_EQ(Bytes(raw.begin() + 12, raw.begin() + 1036), block);
        m_peer.SendPacket(0xA3, {1});
        CPeerPacket text = m_peer.ReadPacket();
        EXPECT_EQ(text.nId, 0xA0);
        ASSERT_EQ(text.payload.size(), 128u);
        EXPECT_EQ(std::string(text.payload.begin(), text.payload.begin() + 127), longText.substr(0, 127));
        EXPECT_EQ(text.payload[127], 0);
        m_peer.SendPacket(0xA3, {1});
    });
    m_monitor.ForceConnected();
    EXPECT_EQ(m_monitor.SendData(block.data(), 0x00FF8000, 1024, 2000), LINK_OK);
    EXPECT_EQ(m_monitor.SendText(longText.c_str(), 2000), LINK_OK);
}

// A payload that cannot be described by the 16-bit length must be refused,
// not sent with a wrapped length.
TEST_F(MonitorLink, OversizedDataIsRefused)
{
    m_monitor.ForceConnected();
    Bytes big(70000);
    EXPECT_EQ(m_monitor.SendData(big.data(), 0, static_cast<uint32_t>(big.size()), 500), LINK_FAILED);
    EXPECT_TRUE(m_peer.Read(1, 100).empty());
}

TEST_F(MonitorLink, StatusReportsAreCounted)
{
    m_peer.SendPacket(0xA9, {1});
    m_peer.SendPacket(0xA9, {0});
    m_peer.SendPacket(0xA3, {1});
    m_peer.SendPacket(0xA9, {});
    m_peer.SendPacket(0xA9, {5});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int first = -1, second = -1;
    EXPECT_TRUE(m_monitor.PollStatus(first, second));
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 2);
}

// Two links: commands leave on the secondary port, answers come back on the
// primary.
TEST(MonitorSecondaryLink, SendsOnSecondaryAndReadsPrimary)
{
    CPtyPeer primary, secondary;
    CSerialHandler primaryPort, secondaryPort;
    ASSERT_TRUE(primary.OpenHandler(primaryPort));
    ASSERT_TRUE(secondary.OpenHandler(secondaryPort, LINE_PACKET_LINES_LOW));
    CTestMonitor monitor;
    monitor.SetPorts(&primaryPort, &secondaryPort);
    monitor.ForceConnected();
    std::thread peer([&] {
        CPeerPacket p = secondary.ReadPacket();
        EXPECT_EQ(p.payload.at(0), 0x90);
        primary.SendPacket(0xA3, {1});
    });
    EXPECT_EQ(monitor.Command(MON_CMD_READY, 2000, 0, 0, 0, nullptr), LINK_OK);
    peer.join();
    EXPECT_TRUE(primary.Read(1, 100).empty()) << "nothing may go out on the primary";
    primaryPort.Close();
    secondaryPort.Close();
}

// Figure: a ready check against an immediate peer must take milliseconds,
// nowhere near the 200 ms wait slice.
TEST_F(MonitorLink, PingRoundTripIsFast)
{
    const int count = 40;
    CPeerThread peer([&] {
        for (int i = 0; i < count; ++i) {
            if (m_peer.ReadPacket().nId != 0xA2)
                return;
            m_peer.SendPacket(0xA3, {1});
        }
    });
    m_monitor.ForceConnected();
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(m_monitor.Command(MON_CMD_READY, 2000, 0, 0, 0, nullptr), LINK_OK);
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    double median = times[times.size() / 2];
    std::printf("monitor ping round trip: median %.2f ms, max %.2f ms\n", median, times.back());
    EXPECT_LT(median, 50.0);
}

}  // namespace
