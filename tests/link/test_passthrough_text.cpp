// Passthrough switch and receiver text exchange against a scripted peer on a
// pseudo-terminal. On a pseudo-terminal a line break shows on the master side
// as a flush of the slave, which the peer sees in packet mode.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "link/PikePassthroughManager.h"
#include "link/ReceiverTextLink.h"
#include "ScriptedPeer.h"

namespace {

using Clock = std::chrono::steady_clock;

class PeerPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_peer.IsReady());
        ASSERT_TRUE(m_peer.OpenHandler(m_port, LINE_PACKET_LINES_LOW.WithRate(38400))) << m_port.GetLastError();
        m_peer.Settle();
    }
    void TearDown() override
    {
        m_port.Close();
    }
    CPtyPeer m_peer{true};
    CSerialHandler m_port;
};

const Bytes kFrame1 = {0x02, 0x00, 0x81, 0x06, 0x00, 0x50, 0x00, 0x04, 0x00, 0x00, 0xDB, 0x03};
const Bytes kFrame2 = {0x02, 0x00, 0x81, 0x06, 0x00, 0x50, 0x00, 0x04, 0x08, 0x08, 0xEB, 0x03};
const Bytes kFrame3 = {0x02, 0x00, 0x85, 0x00, 0x85, 0x03};

// The acknowledgement may follow other bytes; the three frames must go out
// byte for byte, each of the first two followed by a 500 ms pause.
TEST_F(PeerPort, PassthroughSwitchesAfterAcknowledgement)
{
    std::vector<Clock::time_point> frameTimes;
    Bytes received;
    CPeerThread peer([&] {
        // The purge and the first break both flush; answer once the break
        // has surely begun.
        ASSERT_TRUE(m_peer.WaitForFlush(2000));
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        m_peer.Send({0x41, 0x15, 0x06, 0x42});
        while (received.size() < 30) {
            Bytes part = m_peer.ReadChunk(30 - received.size(), 2500);
            if (part.empty())
                break;
            frameTimes.push_back(Clock::now());
            received.insert(received.end(), part.begin(), part.end());
        }
    });
    CPikePassthroughManager pass;
    pass.SetPorts(&m_port, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(pass.Connect(3000), LINK_OK);
    long elapsed = MsSince(start);
    peer.Join();
    EXPECT_EQ(received, Concat({kFrame1, kFrame2, kFrame3}));
    ASSERT_EQ(frameTimes.size(), 3u);
    auto gap = [](Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
    };
    EXPECT_GE(gap(frameTimes[0], frameTimes[1]), 400);
    EXPECT_GE(gap(frameTimes[1], frameTimes[2]), 400);
    EXPECT_LT(elapsed, 2000) << "one break, then the frames";
    EXPECT_FALSE(pass.IsConnected());
}

TEST_F(PeerPort, PassthroughBreaksInEveryPassUntilTimeout)
{
    int flushes = 0;
    CPeerThread peer([&] {
        while (m_peer.WaitForFlush(900))
            ++flushes;
    });
    CPikePassthroughManager pass;
    pass.SetPorts(&m_port, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(pass.Connect(1000), LINK_TIMEOUT);
    long elapsed = MsSince(start);
    peer.Join();
    // Two passes of a 500 ms break and a 100 ms wait.
    EXPECT_GE(elapsed, 1100);
    EXPECT_LT(elapsed, 1600);
    EXPECT_GE(flushes, 2) << "a break in every pass";
    EXPECT_TRUE(m_peer.Read(1, 50).empty()) << "no frame without an acknowledgement";
}

TEST(Passthrough, PacketCommandsAreRefused)
{
    CPikePassthroughManager pass;
    uint8_t byte = 0;
    EXPECT_EQ(pass.Command(0, 100, 0, 0, 0, nullptr), LINK_FAILED);
    EXPECT_EQ(pass.WaitForAck(100), LINK_FAILED);
    EXPECT_EQ(pass.SendData(&byte, 0, 1, 100), LINK_FAILED);
    EXPECT_EQ(pass.Connect(100), LINK_FAILED) << "no port";
}

Bytes InfoPacket(const std::string& text, uint8_t status = 0x00, uint8_t type = 0x6E, int checkDelta = 0)
{
    Bytes out{0x02, status, type, static_cast<uint8_t>(text.size())};
    unsigned sum = status + type + static_cast<unsigned>(text.size());
    for (char c : text) {
        out.push_back(static_cast<uint8_t>(c));
        sum += static_cast<uint8_t>(c);
    }
    out.push_back(static_cast<uint8_t>(sum + static_cast<unsigned>(checkDelta)));
    out.push_back(0x03);
    return out;
}

struct InfoRow {
    const char* pszName;
    Bytes wire;
    bool bOk;
    std::string text;
};

// Catches a wrong check sum, an end byte taken from inside the text, a signed
// LEN, and a reader that does not resume hunting after a bad header.
TEST_F(PeerPort, InformationPacketReader)
{
    const std::string text200(200, 'x');
    const InfoRow rows[] = {
        {"documented example", {0x02, 0x00, 0x6E, 0x03, 0x61, 0x62, 0x63, 0x97, 0x03}, true, "abc"},
        {"0x03 inside the text", InfoPacket("a\x03" "b"), true, "a\x03" "b"},
        {"bad status, then good", Concat({InfoPacket("no", 0x01), InfoPacket("yes")}), true, "yes"},
        {"bad type, then good", Concat({{0x13, 0x0D}, InfoPacket("no", 0x00, 0x6D), InfoPacket("ok")}), true, "ok"},
        {"long text", InfoPacket(text200), true, text200},
        {"check byte off by one", InfoPacket("abc", 0x00, 0x6E, 1), false, ""},
    };
    CReceiverTextLink link(&m_port);
    for (const InfoRow& row : rows) {
        m_port.Purge(0x0F);
        m_peer.Send(row.wire);
        char buffer[256];
        std::memset(buffer, 'Z', sizeof(buffer));
        EXPECT_EQ(link.ReadInfoReply(buffer, sizeof(buffer)), row.bOk) << row.pszName;
        if (row.bOk) {
            EXPECT_EQ(std::string(buffer), row.text) << row.pszName;
        }
    }
}

// A caller's buffer shorter than the text must get a cut, terminated text.
TEST_F(PeerPort, InformationTextIsCutToTheBuffer)
{
    CReceiverTextLink link(&m_port);
    m_peer.Send(InfoPacket("PRODUCT,ABCDEFGH"));
    char buffer[9 + 4];
    std::memset(buffer, 'Z', sizeof(buffer));
    ASSERT_TRUE(link.ReadInfoReply(buffer, 9));
    EXPECT_STREQ(buffer, "PRODUCT,");
    EXPECT_EQ(buffer[9], 'Z') << "nothing written past the given size";
}

struct LineRow {
    const char* pszName;
    std::string wire;
    bool bOk;
    std::string line;
};

TEST_F(PeerPort, ReplyLineReader)
{
    const LineRow rows[] = {
        {"noise before the line", std::string("\x00\x13 :\r\n", 6) + "TITAN : GOING TO FLASH MONITOR\r\n", true,
         "TITAN : GOING TO FLASH MONITOR\r\n"},
        {"carriage return then a letter", "AB\rXCD\r\n", true, "AB\rCD\r\n"},
        {"no line end", "TITAN", false, ""},
    };
    CReceiverTextLink link(&m_port);
    for (const LineRow& row : rows) {
        m_port.Purge(0x0F);
        m_peer.Send(Bytes(row.wire.begin(), row.wire.end()));
        char buffer[256] = {};
        EXPECT_EQ(link.ReadTextLine(buffer, sizeof(buffer)), row.bOk) << row.pszName;
        if (row.bOk) {
            EXPECT_EQ(std::string(buffer), row.line) << row.pszName;
        }
    }
}

TEST_F(PeerPort, ReplyLineIsCutToTheBuffer)
{
    CReceiverTextLink link(&m_port);
    m_peer.Send({'O', 'K', ' ', 'D', 'O', 'N', 'E', '\r', '\n'});
    char buffer[8];
    std::memset(buffer, 'Z', sizeof(buffer));
    ASSERT_TRUE(link.ReadTextLine(buffer, 5));
    EXPECT_STREQ(buffer, "OK D");
    EXPECT_EQ(buffer[5], 'Z');
}

// The whole exchange: 9600 baud, a break, the information packet, the
// command line exactly as given, the answer line.
TEST_F(PeerPort, ExchangeSendsTheCommandAfterTheInformation)
{
    const std::string command = "TITAN : GOTO FLASH MONITOR\r\n";
    std::string sent;
    CPeerThread peer([&] {
        ASSERT_TRUE(m_peer.WaitForFlush(2000));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_peer.Send(Concat({{0xFF, 0x02, 0x07}, InfoPacket("PRODUCT,AB12;PORT,1,38400,0,8,1,N")}));
        Bytes line = m_peer.Read(command.size(), 2000);
        sent.assign(line.begin(), line.end());
        m_peer.Send({'\n', '>'});
        std::string answer = "TITAN : GOING TO FLASH MONITOR\r\n";
        m_peer.Send(Bytes(answer.begin(), answer.end()));
    });
    CReceiverTextLink link(&m_port);
    char info[256] = {}, reply[256] = {};
    link.ExchangeText(command.c_str(), info, sizeof(info), reply, sizeof(reply));
    peer.Join();
    EXPECT_EQ(m_port.GetBaudRate(), 9600u);
    EXPECT_STREQ(info, "PRODUCT,AB12;PORT,1,38400,0,8,1,N");
    EXPECT_EQ(sent, command);
    EXPECT_STREQ(reply, "TITAN : GOING TO FLASH MONITOR\r\n");
}

// Without an information packet, or with a command of no or too many
// characters, nothing is sent.
TEST_F(PeerPort, ExchangeSendsNothingItShouldNot)
{
    const std::string tooLong(256, 'C');
    const char* commands[] = {"", tooLong.c_str()};
    for (const char* command : commands) {
        std::thread peer([&] {
            m_peer.WaitForFlush(2000);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            m_peer.Send(InfoPacket("PORT,1,9600,0,8,1,N"));
        });
        CReceiverTextLink link(&m_port);
        char info[256] = {}, reply[256] = "untouched";
        link.ExchangeText(command, info, sizeof(info), reply, sizeof(reply));
        peer.join();
        EXPECT_STREQ(info, "PORT,1,9600,0,8,1,N");
        EXPECT_STREQ(reply, "untouched");
        EXPECT_TRUE(m_peer.Read(1, 50).empty()) << std::strlen(command) << " characters";
    }
}

TEST(TextLink, ClosedPortDoesNothing)
{
    CSerialHandler closed;
    CReceiverTextLink link(&closed);
    char info[16] = "keep", reply[16] = "keep";
    link.ExchangeText("X\r\n", info, sizeof(info), reply, sizeof(reply));
    EXPECT_STREQ(info, "keep");
    EXPECT_STREQ(reply, "keep");
}

}  // namespace
