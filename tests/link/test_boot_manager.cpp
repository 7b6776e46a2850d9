// Boot-loader protocol against a scripted boot loader on a pseudo-terminal,
// and the GPS time conversion the loader is given.
#include <gtest/gtest.h>

#include "link/QBootManager.h"
#include "ScriptedPeer.h"

namespace {

class CTestBoot : public CQBootManager {
public:
    void ForceConnected() { m_bConnected = true; }
};

class BootLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_peer.IsReady());
        ASSERT_TRUE(m_peer.OpenHandler(m_port)) << m_port.GetLastError();
        m_peer.Settle();
        m_boot.SetPorts(&m_port, nullptr);
    }
    void TearDown() override
    {
        m_port.Close();
    }
    CPtyPeer m_peer{true};
    CSerialHandler m_port;
    CTestBoot m_boot;
};

Bytes Filled(size_t n, uint8_t first)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i);
    return b;
}

Bytes BootCommand(uint8_t code, uint32_t first, uint16_t second)
{
    return Concat({{code}, Le32(first), {static_cast<uint8_t>(second), static_cast<uint8_t>(second >> 8)}});
}

TEST_F(BootLink, HandshakeAsksForIdentityAfterAnnouncement)
{
    CPeerThread peer([&] {
        // Speak only once the host has purged its port for the handshake.
        ASSERT_TRUE(m_peer.WaitForFlush(2000));
        m_peer.Send({0x7E, 0x04});
        m_peer.SendPacket(0x18, {1});  // a status report is not a reason to give up
        m_peer.SendPacket(0x11, {1, 2, 3, 4, 5});
        CPeerPacket ask = m_peer.ReadPacket();
        EXPECT_EQ(ask.nId, 0x12);
        EXPECT_EQ(ask.payload, BootCommand(0x8E, 0, 0));
        m_peer.SendPacket(0x15, Filled(38, 0x30));
    });
    EXPECT_EQ(m_boot.Connect(2000), LINK_OK);
    EXPECT_TRUE(m_boot.IsConnected());
    EXPECT_EQ(m_boot.GetBootId()[4], 5);
    EXPECT_EQ(m_boot.GetBootInfo()[10], 0x30 + 10);
    peer.Join();
    EXPECT_TRUE(m_peer.Read(1, 100).empty()) << "no ready check follows the boot handshake";
}

TEST_F(BootLink, HandshakeFailsOnAnUnexpectedPacket)
{
    CPeerThread peer([&] {
        ASSERT_TRUE(m_peer.WaitForFlush(2000));
        m_peer.SendPacket(0x13, {1});
    });
    EXPECT_EQ(m_boot.Connect(2000), LINK_FAILED);
    EXPECT_FALSE(m_boot.IsConnected());
}

TEST_F(BootLink, HandshakeTimesOutSoonAfterTheTimeout)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_boot.Connect(300), LINK_TIMEOUT);
    long elapsed = MsSince(start);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 300 + 250);
}

struct BootRow {
    unsigned nKind;
    uint8_t nCode;
    bool bFirst, bSecond;
    bool bEndsLink;
};

// Catches a wrong code, a leaked argument (or the 16-bit second argument
// sent wide) and a wrong connected flag after an accepted command.
const BootRow kBootRows[] = {
    {1, 0x81, false, false, true}, {2, 0x87, false, false, true}, {3, 0x8A, false, false, true},
    {4, 0x84, false, false, false}, {5, 0x8E, false, false, false}, {6, 0x8F, true, false, true},
    {7, 0x82, false, false, true}, {8, 0x83, false, false, true},  {9, 0x85, true, true, false},
    {10, 0x8D, false, false, false}, {11, 0x8C, true, true, false},
};

TEST_F(BootLink, EachCommandSendsItsPacketAndTakesTheAcknowledgement)
{
    const uint32_t first = 115200, second = 0xABCD1234;
    CPeerThread peer([&] {
        for (const BootRow& row : kBootRows) {
            CPeerPacket p = m_peer.ReadPacket();
            EXPECT_EQ(p.nId, 0x12) << "kind " << row.nKind;
            EXPECT_EQ(p.payload, BootCommand(row.nCode, row.bFirst ? first : 0,
                                             row.bSecond ? static_cast<uint16_t>(second) : 0))
                << "kind " << row.nKind;
            m_peer.SendPacket(0x13, {1});
        }
    });
    for (const BootRow& row : kBootRows) {
        m_boot.ForceConnected();
        EXPECT_EQ(m_boot.Command(row.nKind, 2000, first, second, 7, nullptr), LINK_OK) << "kind " << row.nKind;
        EXPECT_EQ(m_boot.IsConnected(), !row.bEndsLink) << "kind " << row.nKind;
    }
}

// Kind 0 carries the computer's GPS time, whatever the caller passes.
TEST_F(BootLink, TimeCommandCarriesTheGpsTimeNow)
{
    uint16_t weekBefore = 0;
    int32_t towBefore = 0;
    GpsTimeNow(weekBefore, towBefore);
    Bytes sent;
    CPeerThread peer([&] {
        sent = m_peer.ReadPacket().payload;
        m_peer.SendPacket(0x13, {1});
    });
    m_boot.ForceConnected();
    EXPECT_EQ(m_boot.Command(BOOT_CMD_SEND_TIME, 2000, 1, 2, 3, nullptr), LINK_OK);
    peer.Join();
    ASSERT_EQ(sent.size(), 7u);
    EXPECT_EQ(sent[0], 0x81);
    uint32_t tow = GetLe32(&sent[1]);
    uint16_t week = GetLe16(&sent[5]);
    if (week == weekBefore) {
        EXPECT_GE(tow, static_cast<uint32_t>(towBefore));
        EXPECT_LT(tow, static_cast<uint32_t>(towBefore) + 5000);
    } else {
        EXPECT_EQ(week, weekBefore + 1);  // the week turned over during the test
    }
    EXPECT_FALSE(m_boot.IsConnected());
}

// Data replies end the wait without an acknowledgement; status reports don't
// end it; a short reply fills only the start of its block.
TEST_F(BootLink, DataRepliesFillTheirBlocks)
{
    CPeerThread peer([&] {
        m_peer.ReadPacket();
        m_peer.SendPacket(0x18, {0});
        m_peer.SendPacket(0x16, Filled(72, 0x01));
        m_peer.ReadPacket();
        m_peer.SendPacket(0x17, Filled(24, 0x80));
        m_peer.ReadPacket();
        m_peer.SendPacket(0x19, {0x78, 0x56, 0x34, 0x12});
        m_peer.ReadPacket();
        m_peer.SendPacket(0x16, {0xEE, 0xEE});
    });
    m_boot.ForceConnected();
    EXPECT_EQ(m_boot.Command(BOOT_CMD_READ_MEMORY_MAP, 2000, 0, 0, 0, nullptr), LINK_OK);
    EXPECT_EQ(m_boot.GetMemoryMapData()[71], 72);
    EXPECT_EQ(m_boot.Command(BOOT_CMD_READ_POWER, 2000, 0, 0, 0, nullptr), LINK_OK);
    EXPECT_EQ(m_boot.GetPowerInfo()[16], 0x90);
    EXPECT_EQ(m_boot.Command(BOOT_CMD_CHECK_84, 2000, 0, 0, 0, nullptr), LINK_OK);
    EXPECT_EQ(m_boot.GetBootValue(), 0x12345678u);
    EXPECT_EQ(m_boot.Command(BOOT_CMD_READ_MEMORY_MAP, 2000, 0, 0, 0, nullptr), LINK_OK);
    EXPECT_EQ(m_boot.GetMemoryMapData()[1], 0xEE);
    EXPECT_EQ(m_boot.GetMemoryMapData()[2], 3);
    EXPECT_TRUE(m_boot.IsConnected());
}

struct AnswerRow {
    const char* pszName;
    uint8_t nId;
    Bytes payload;
    int nResult;
};

// A refusal, or the loader announcing itself again (it has restarted), fails
// the command at once.
TEST_F(BootLink, RefusalAndRestartFailTheCommand)
{
    const AnswerRow rows[] = {{"refused", 0x13, {0}, LINK_FAILED},
                              {"empty ack", 0x13, {}, LINK_FAILED},
                              {"announcement", 0x11, {1, 2, 3, 4, 5}, LINK_FAILED},
                              {"identity", 0x15, Bytes(38), LINK_FAILED}};
    CPeerThread peer([&] {
        for (const AnswerRow& row : rows) {
            m_peer.ReadPacket();
            m_peer.SendPacket(row.nId, row.payload);
        }
    });
    for (const AnswerRow& row : rows) {
        m_boot.ForceConnected();
        EXPECT_EQ(m_boot.Command(BOOT_CMD_CHECK_84, 2000, 0, 0, 0, nullptr), row.nResult) << row.pszName;
    }
}

TEST_F(BootLink, RefusedWithoutSendingWhenNotConnectedOrKindUnknown)
{
    EXPECT_EQ(m_boot.Command(BOOT_CMD_CHECK_84, 500, 0, 0, 0, nullptr), LINK_FAILED);
    uint8_t block[8] = {};
    EXPECT_EQ(m_boot.SendData(block, 0, sizeof(block), 500), LINK_FAILED);
    m_boot.ForceConnected();
    EXPECT_EQ(m_boot.Command(BOOT_CMD_COUNT, 500, 0, 0, 0, nullptr), LINK_FAILED);
    EXPECT_TRUE(m_peer.Read(1, 150).empty());
}

TEST_F(BootLink, SilenceIsReportedAsTimeout)
{
    m_boot.ForceConnected();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_boot.Command(BOOT_CMD_START_MONITOR, 300, 0, 0, 0, nullptr), LINK_TIMEOUT);
    EXPECT_LT(MsSince(start), 300 + 250);
    EXPECT_TRUE(m_boot.IsConnected());
}

TEST_F(BootLink, DataBlockCarriesAddressAndLength)
{
    Bytes block = Filled(1024, 0x03);
    CPeerThread peer([&] {
        CPeerPacket p = m_peer.ReadPacket();
        EXPECT_EQ(p.nId, 0x14);
        ASSERT_EQ(p.payload.size(), 1032u);
        EXPECT_EQ(Bytes(p.payload.begin(), p.payload.begin() + 8), Concat({Le32(0x20001C00), Le32(1024)}));
        EXPECT_EQ(Bytes(p.payload.begin() + 8, p.payload.end()), block);
        m_peer.SendPacket(0x13, {1});
    });
    m_boot.ForceConnected();
    EXPECT_EQ(m_boot.SendData(block.data(), 0x20001C00, 1024, 2000), LINK_OK);
    EXPECT_TRUE(m_boot.IsConnected());
}

TEST_F(BootLink, StatusReportsAreCounted)
{
    m_peer.SendPacket(0x18, {1});
    m_peer.SendPacket(0x18, {0});
    m_peer.SendPacket(0x18, {3});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int first = -1, second = -1;
    EXPECT_TRUE(m_boot.PollStatus(first, second));
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 1);
}

struct GpsRow {
    CCalendarTime time;
    bool bValid;
    uint16_t nWeek;
    int32_t nTimeOfWeek;
};

// Catches a missed leap day, an off-by-one day count and a wrong day-of-week
// scale; out-of-range calendar fields must not index past the month table.
TEST(GpsTime, CalendarToWeekAndTimeOfWeek)
{
    const GpsRow rows[] = {
        {{2007, 6, 5, 15, 12, 34, 56, 789}, true, 1431, 477296000},
        {{2008, 3, 6, 1, 0, 0, 0, 0}, true, 1468, 518400000},
        {{2008, 2, 5, 29, 23, 59, 59, 0}, true, 1468, 518399000},
        {{1987, 1, 4, 1, 0, 0, 0, 0}, true, 364, 345600000},
        {{2024, 1, 0, 7, 0, 0, 0, 0}, true, 2296, 0},
        {{2007, 13, 0, 1, 0, 0, 0, 0}, false, 0, 0},
        {{2007, 0, 0, 1, 0, 0, 0, 0}, false, 0, 0},
        {{2007, 1, 7, 1, 0, 0, 0, 0}, false, 0, 0},
    };
    for (const GpsRow& row : rows) {
        uint16_t week = 0;
        int32_t tow = 0;
        EXPECT_EQ(SystemTimeToGps(row.time, week, tow), row.bValid) << row.time.wYear << "-" << row.time.wMonth;
        if (!row.bValid)
            continue;
        EXPECT_EQ(week, row.nWeek) << row.time.wYear << "-" << row.time.wMonth << "-" << row.time.wDay;
        EXPECT_EQ(tow, row.nTimeOfWeek) << row.time.wYear << "-" << row.time.wMonth << "-" << row.time.wDay;
    }
}

}  // namespace
