// CSerialHandler over a pseudo-terminal: the handler opens the slave side by
// its path, the test plays the receiver on the master side.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "link/ReceiverLines.h"
#include "link/SerialHandler.h"
#include "platform/PortNames.h"

namespace {

using Clock = std::chrono::steady_clock;
using platform::CLineSettings;
using platform::CPortId;
using platform::EParity;
using platform::EStopBits;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<uint8_t> Pattern(size_t count, int seed = 0)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>((i * 7 + static_cast<size_t>(seed)) & 0xFF);
    return bytes;
}

// The receiver's side of the line: a pty master in raw mode.
class CPtyPeer {
public:
    CPtyPeer()
    {
        m_nMaster = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_nMaster < 0 || grantpt(m_nMaster) != 0 || unlockpt(m_nMaster) != 0)
            return;
        m_strSlave = ptsname(m_nMaster);
        termios tio;
        tcgetattr(m_nMaster, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_nMaster, TCSANOW, &tio);
        fcntl(m_nMaster, F_SETFL, fcntl(m_nMaster, F_GETFL) | O_NONBLOCK);
    }
    ~CPtyPeer() { CloseMaster(); }

    const std::string& SlavePath() const { return m_strSlave; }
    int Fd() const { return m_nMaster; }
    void CloseMaster()
    {
        if (m_nMaster >= 0)
            close(m_nMaster);
        m_nMaster = -1;
    }
    void SetPacketMode()
    {
        int on = 1;
        ioctl(m_nMaster, TIOCPKT, &on);
    }
    void Send(const std::vector<uint8_t>& bytes)
    {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = write(m_nMaster, bytes.data() + sent, bytes.size() - sent);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else
                WaitFor(POLLOUT, 100);
        }
    }
    // Reads until count bytes came or timeoutMs passed.
    std::vector<uint8_t> Receive(size_t count, int timeoutMs)
    {
        std::vector<uint8_t> bytes;
        auto start = Clock::now();
        while (bytes.size() < count && MsSince(start) < timeoutMs) {
            uint8_t chunk[4096];
            ssize_t n = read(m_nMaster, chunk, std::min(sizeof chunk, count - bytes.size()));
            if (n > 0)
                bytes.insert(bytes.end(), chunk, chunk + n);
            else
                WaitFor(POLLIN, 20);
        }
        return bytes;
    }
    termios SlaveSettings() const
    {
        // On a pty master, tcgetattr reports the slave's settings.
        termios tio{};
        tcgetattr(m_nMaster, &tio);
        return tio;
    }

private:
    void WaitFor(short events, int ms)
    {
        pollfd pfd{m_nMaster, events, 0};
        poll(&pfd, 1, ms);
    }

    int m_nMaster = -1;
    std::string m_strSlave;
};

class SerialHandlerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_peer.SlavePath().empty()); }

    bool OpenPort(CSerialHandler& handler, uint32_t baud = 19200)
    {
        return handler.Open(CPortId::Device(m_peer.SlavePath()), LINE_PACKET.WithRate(baud));
    }
    // Waits until the ring holds at least count bytes.
    bool WaitForCount(CSerialHandler& handler, int count, int timeoutMs = 2000)
    {
        auto start = Clock::now();
        while (handler.GetRxCount() < count && MsSince(start) < timeoutMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return handler.GetRxCount() >= count;
    }

    CPtyPeer m_peer;
    CSerialHandler m_handler;
};

// ---- opening, closing, settings ----

TEST_F(SerialHandlerTest, SecondOpenKeepsTheFirstSettings)
{
    ASSERT_TRUE(OpenPort(m_handler, 19200));
    EXPECT_EQ(m_handler.GetDeviceName(), m_peer.SlavePath());
    EXPECT_TRUE(OpenPort(m_handler, 9600));
    EXPECT_EQ(m_handler.GetBaudRate(), 19200u);
    termios tio = m_peer.SlaveSettings();
    EXPECT_EQ(cfgetospeed(&tio), B19200);
}

TEST_F(SerialHandlerTest, ClosedHandlerRefusesEverything)
{
    const uint8_t byte = 0x55;
    for (int round = 0; round < 2; ++round) {  // never opened, then opened and closed
        EXPECT_FALSE(m_handler.IsOpen());
        EXPECT_FALSE(m_handler.Write(&byte, 1));
        EXPECT_FALSE(m_handler.SendBreak(10));
        EXPECT_FALSE(m_handler.Close());
        EXPECT_FALSE(m_handler.Purge(0x0F));
        EXPECT_FALSE(m_handler.Configure(LINE_TEXT_COMMAND));
        EXPECT_EQ(m_handler.WaitForRx(10), -1);
        ASSERT_TRUE(OpenPort(m_handler));
        EXPECT_TRUE(m_handler.Close());
    }
}

TEST_F(SerialHandlerTest, LineSettingsReachTheDevice)
{
    termios before = m_peer.SlaveSettings();
    ASSERT_TRUE(OpenPort(m_handler));
    struct {
        CLineSettings settings;
        speed_t speed;
        tcflag_t size, parity, stop;
    } rows[] = {
        {{19200, 8, EParity::Odd, EStopBits::One, false, false}, B19200, CS8, PARODD, 0},
        {{9600, 8, EParity::None, EStopBits::One, false, false}, B9600, CS8, 0, 0},
        {{115200, 7, EParity::Even, EStopBits::Two, false, false}, B115200, CS8, 0, CSTOPB},
        {{38400, 8, EParity::Odd, EStopBits::Two, false, false}, B38400, CS8, PARODD, CSTOPB},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.settings.nBaudRate);
        ASSERT_TRUE(m_handler.Configure(row.settings));
        termios tio = m_peer.SlaveSettings();
        EXPECT_EQ(cfgetospeed(&tio), row.speed);
        EXPECT_EQ(tio.c_cflag & CSIZE, row.size);
        // A pty carries no parity bit and only 8-bit bytes, so only the
        // odd/even choice and the checking flags can be seen here.
        EXPECT_EQ(tio.c_cflag & PARODD, row.parity);
        EXPECT_EQ(tio.c_cflag & CSTOPB, row.stop);
        // Parity errors drop the byte; no flow control; raw; no hang-up.
        EXPECT_EQ(tio.c_iflag & (INPCK | IGNPAR),
                  row.settings.eParity != EParity::None ? tcflag_t(INPCK | IGNPAR) : 0u);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(tio.c_cflag & (CRTSCTS | HUPCL), 0u);
        EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    }
    EXPECT_FALSE(m_handler.Configure({12345, 8, EParity::None, EStopBits::One, false, false}));
    EXPECT_FALSE(m_handler.Configure({9600, 9, EParity::None, EStopBits::One, false, false}));
    EXPECT_FALSE(m_handler.Configure({9600, 8, static_cast<EParity>(7), EStopBits::One, false, false}));
    ASSERT_TRUE(m_handler.Close());
    termios after = m_peer.SlaveSettings();
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
}

// Catches: a device given by its path shown under a made-up COM name, and
// open failures that do not say what went wrong.
TEST_F(SerialHandlerTest, OpenFailuresSaySomethingUseful)
{
    setenv("TRAILMARK_COM8", "/nonexistent/ttyX", 1);
    struct {
        CPortId port;
        const char* pszError;
    } rows[] = {
        {CPortId::Com(8), "COM8 (/nonexistent/ttyX): no such serial device"},
        {CPortId::Device("/dev/null"), "/dev/null: not a serial device"},
        {CPortId::Device("/nonexistent/ttyUSB9"), "/nonexistent/ttyUSB9: no such serial device"},
        {CPortId(), "no serial port was named"},
    };
    for (const auto& row : rows) {
        CSerialHandler handler;
        EXPECT_FALSE(handler.Open(row.port, LINE_PACKET));
        EXPECT_EQ(handler.GetLastError(), row.pszError);
        EXPECT_FALSE(handler.IsOpen());
    }
    unsetenv("TRAILMARK_COM8");
}

TEST_F(SerialHandlerTest, SecondHandlerOnTheSameDeviceIsRefused)
{
    ASSERT_TRUE(OpenPort(m_handler));
    CSerialHandler other;
    EXPECT_FALSE(OpenPort(other));
    EXPECT_EQ(other.GetLastError(), m_peer.SlavePath() + " is in use by another program");
    ASSERT_TRUE(m_handler.Close());
    EXPECT_TRUE(OpenPort(other));  // the lock went with the first handler
}

// ---- data both ways ----

TEST_F(SerialHandlerTest, EveryByteValuePassesBothWaysUnchanged)
{
    ASSERT_TRUE(OpenPort(m_handler));
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    ASSERT_TRUE(m_handler.Write(all.data(), 256));
    EXPECT_EQ(m_peer.Receive(256, 2000), all);

    m_peer.Send(all);
    ASSERT_TRUE(WaitForCount(m_handler, 256));
    std::vector<uint8_t> got(256);
    EXPECT_TRUE(m_handler.ReadBlock(got.data(), 256));
    EXPECT_EQ(got, all);
}

TEST_F(SerialHandlerTest, ConcurrentWritersKeepTheirOwnOrder)
{
    ASSERT_TRUE(OpenPort(m_handler));
    constexpr int WRITERS = 4, MESSAGES = 200;
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w) {
        writers.emplace_back([this, w] {
            for (int m = 0; m < MESSAGES; ++m) {
                uint8_t message[2] = {static_cast<uint8_t>(w), static_cast<uint8_t>(m)};
                while (!m_handler.Write(message, 2))
                    std::this_thread::yield();
            }
        });
    }
    std::vector<uint8_t> got = m_peer.Receive(WRITERS * MESSAGES * 2, 5000);
    for (auto& writer : writers)
        writer.join();
    ASSERT_EQ(got.size(), size_t(WRITERS * MESSAGES * 2));
    int next[WRITERS] = {};
    for (size_t i = 0; i < got.size(); i += 2) {
        ASSERT_LT(got[i], WRITERS);
        EXPECT_EQ(got[i + 1], next[got[i]]++) << "messages torn or reordered";
    }
}

// ---- the receive ring ----

TEST_F(SerialHandlerTest, RingHoldsExactly2048AndDropsTheRest)
{
    ASSERT_TRUE(OpenPort(m_handler));
    std::vector<uint8_t> first = Pattern(2049, 1);
    m_peer.Send(first);
    ASSERT_TRUE(WaitForCount(m_handler, 2048));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_handler.GetRxCount(), 2048);

    std::vector<uint8_t> got(10);
    ASSERT_TRUE(m_handler.ReadBlock(got.data(), 10));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), first.begin()));
    // Ten more fit (written across the ring's end), the eleventh is dropped.
    std::vector<uint8_t> second = Pattern(11, 99);
    m_peer.Send(second);
    ASSERT_TRUE(WaitForCount(m_handler, 2048));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(m_handler.GetRxCount(), 2048);

    // Read back across the wrap with both calls, oldest first.
    std::vector<uint8_t> expected(first.begin() + 10, first.begin() + 2048);
    expected.insert(expected.end(), second.begin(), second.begin() + 10);
    std::vector<uint8_t> all(2038);
    ASSERT_TRUE(m_handler.ReadBlock(all.data(), 2038));
    while (m_handler.GetRxCount() > 0)
        all.push_back(m_handler.ReadByte());
    EXPECT_EQ(all, expected);
}

TEST_F(SerialHandlerTest, ReadsOnAnEmptyOrShortRing)
{
    ASSERT_TRUE(OpenPort(m_handler));
    EXPECT_EQ(m_handler.ReadByte(), 0xFF);
    EXPECT_EQ(m_handler.GetRxCount(), 0);
    m_peer.Send({1, 2, 3});
    ASSERT_TRUE(WaitForCount(m_handler, 3));
    uint8_t got[8];
    std::memset(got, 0xEE, sizeof got);
    ASSERT_TRUE(m_handler.ReadBlock(got, 2));  // fewer than unread
    EXPECT_EQ(got[0], 1);
    EXPECT_EQ(got[1], 2);
    EXPECT_EQ(got[2], 0xEE);
    ASSERT_TRUE(m_handler.ReadBlock(got, 8));  // more than unread
    EXPECT_EQ(got[0], 3);
    EXPECT_EQ(got[1], 2) << "ReadBlock wrote past the unread bytes";
    EXPECT_EQ(m_handler.GetRxCount(), 0);
}

TEST_F(SerialHandlerTest, WaitForRxTimesOutOrGivesTheCount)
{
    ASSERT_TRUE(OpenPort(m_handler));
    EXPECT_EQ(m_handler.WaitForRx(0), 0);
    auto start = Clock::now();
    EXPECT_EQ(m_handler.WaitForRx(100), 0);
    EXPECT_GE(MsSince(start), 90);

    std::thread sender([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        m_peer.Send({'a', 'b', 'c', 'd', 'e'});
    });
    int count = m_handler.WaitForRx(2000);
    sender.join();
    EXPECT_GE(count, 1);
    ASSERT_TRUE(WaitForCount(m_handler, 5));
    // The signal is auto-reset: bytes left from a consumed signal do not
    // end the next wait.
    m_handler.WaitForRx(0);
    EXPECT_EQ(m_handler.WaitForRx(50), 0);
    EXPECT_EQ(m_handler.GetRxCount(), 5);
}

TEST_F(SerialHandlerTest, PurgeEmptiesTheRingAndKeepsItConsistent)
{
    ASSERT_TRUE(OpenPort(m_handler));
    m_peer.Send(Pattern(100));
    ASSERT_TRUE(WaitForCount(m_handler, 100));
    EXPECT_TRUE(m_handler.Purge(PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_EQ(m_handler.GetRxCount(), 0);
    EXPECT_EQ(m_handler.ReadByte(), 0xFF);
    m_peer.Send({'x', 'y', 'z'});
    ASSERT_TRUE(WaitForCount(m_handler, 3));
    uint8_t got[3];
    m_handler.ReadBlock(got, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got), 3), "xyz");

    // Purging while bytes stream in never leaves counters out of step.
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop)
            m_peer.Send(Pattern(64));
    });
    for (int i = 0; i < 50; ++i) {
        m_handler.Purge(0x0F);
        int count = m_handler.GetRxCount();
        EXPECT_GE(count, 0);
        EXPECT_LE(count, RX_RING_SIZE);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    sender.join();
    // A chunk the reader took off the line just before a purge still lands
    // in the ring after it; once the line is quiet a purge empties it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    m_handler.Purge(0x0F);
    EXPECT_EQ(m_handler.GetRxCount(), 0);
}

// ---- the write queue, breaks and closing ----

TEST_F(SerialHandlerTest, WriteQueueRefusesBeyondEightPages)
{
    ASSERT_TRUE(OpenPort(m_handler));
    std::vector<uint8_t> data = Pattern(8 * 4096);
    std::vector<uint8_t> tooBig(8 * 4096 + 1);
    EXPECT_FALSE(m_handler.Write(tooBig.data(), static_cast<int>(tooBig.size())));
    ASSERT_TRUE(m_handler.Write(data.data(), static_cast<int>(data.size())));
    // The peer does not read: the pty takes a few KiB, the rest stays queued.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint8_t one = 0xAA;
    EXPECT_FALSE(m_handler.Write(&one, 1));
    // Once the peer has read it all, the queue takes data again.
    EXPECT_EQ(m_peer.Receive(data.size(), 3000), data);
    auto start = Clock::now();
    bool accepted = false;
    while (!accepted && MsSince(start) < 2000)
        accepted = m_handler.Write(&one, 1);
    EXPECT_TRUE(accepted);
}

TEST_F(SerialHandlerTest, SendBreakWaitsForEarlierWritesAndTheBreak)
{
    ASSERT_TRUE(OpenPort(m_handler));
    m_peer.SetPacketMode();
    setenv("TRAILMARK_DEBUG", "1", 1);
    std::vector<uint8_t> data = Pattern(20000);
    ASSERT_TRUE(m_handler.Write(data.data(), static_cast<int>(data.size())));

    // The peer reads slowly for 300 ms; the pty holds far less than the
    // rest, so the write cannot end sooner.
    std::atomic<bool> sawFlush{false};
    std::atomic<size_t> received{0};
    std::atomic<long long> flushAtMs{-1};
    auto start = Clock::now();
    std::thread peer([&] {
        while (MsSince(start) < 1500) {
            uint8_t chunk[1025];
            bool slow = MsSince(start) < 300;
            ssize_t n = read(m_peer.Fd(), chunk, slow ? 65 : sizeof chunk);
            if (n > 0 && chunk[0] == TIOCPKT_DATA) {
                received += static_cast<size_t>(n - 1);
                if (slow)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
            } else if (n > 0 && (chunk[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0) {
                if (!sawFlush.exchange(true))
                    flushAtMs = MsSince(start);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    });
    testing::internal::CaptureStderr();
    bool ok = m_handler.SendBreak(250);
    long long elapsed = MsSince(start);
    std::string trace = testing::internal::GetCapturedStderr();
    unsetenv("TRAILMARK_DEBUG");
    peer.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(sawFlush) << "the peer cannot see where the break begins";
    EXPECT_GE(flushAtMs.load(), 300) << "break started before the earlier write was sent";
    EXPECT_GE(elapsed, flushAtMs.load() + 240) << "SendBreak returned before the break ended";
    EXPECT_GT(received.load(), size_t(5000));
    EXPECT_EQ(trace, "CSerialHandler::Set Break\r\nCSerialHandler::Clear break\r\n");
}

TEST_F(SerialHandlerTest, CloseEndsPendingWriteWaitAndBreakAtOnce)
{
    ASSERT_TRUE(OpenPort(m_handler));
    // The peer does not read, so the write stays pending.
    std::vector<uint8_t> data = Pattern(8 * 4096);
    ASSERT_TRUE(m_handler.Write(data.data(), static_cast<int>(data.size())));
    std::atomic<int> waitResult{0};
    std::atomic<bool> breakResult{true};
    std::thread waiter([&] { waitResult = m_handler.WaitForRx(-1); });
    std::thread breaker([&] { breakResult = m_handler.SendBreak(100); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = Clock::now();
    EXPECT_TRUE(m_handler.Close());
    waiter.join();
    breaker.join();
    // Threads wake every 500 ms anyway; Close must not wait for that.
    EXPECT_LT(MsSince(start), 300);
    EXPECT_EQ(waitResult.load(), -1);
    EXPECT_FALSE(breakResult.load()) << "a break that was never sent reported success";
    EXPECT_TRUE(OpenPort(m_handler)) << "the port stayed busy after Close";
}

double CpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST_F(SerialHandlerTest, VanishedDeviceDoesNotSpinTheReader)
{
    ASSERT_TRUE(OpenPort(m_handler));
    EXPECT_FALSE(m_handler.IsDeviceGone());
    m_peer.CloseMaster();
    auto start = Clock::now();
    while (!m_handler.IsDeviceGone() && MsSince(start) < 2000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(m_handler.IsDeviceGone());

    double cpuBefore = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(CpuSeconds() - cpuBefore, 0.05) << "reader or writer spins on the dead device";
    // Waits end by their time-outs; a write fails at once and a break does
    // not hang.
    EXPECT_EQ(m_handler.WaitForRx(50), 0);
    const uint8_t byte = 1;
    EXPECT_FALSE(m_handler.Write(&byte, 1));
    EXPECT_TRUE(m_handler.SendBreak(10));
    EXPECT_TRUE(m_handler.Close());
}

}  // namespace
