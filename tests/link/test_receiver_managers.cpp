// The host's own serial handler and protocol managers against the virtual
// receiver, in each of the four ways to reach it: wake text, break and
// command line, passthrough, none. Each run uploads the monitor, starts it,
// sends a block, verifies it, erases, programs, and reads the result back
// through the report. Catches disagreements between the two sides of the
// line that tests of either side alone cannot see.
#include "link/PikePassthroughManager.h"
#include "link/QBootManager.h"
#include "link/QMonitorManager.h"
#include "link/ReceiverLines.h"
#include "link/ReceiverTextLink.h"
#include "link/SerialHandler.h"
#include "platform/PortNames.h"
#include "receiver/ReceiverReport.h"
#include "tests/link/test_receiver_host.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t RAM_TOP = 0x00600000;  // board 7
constexpr uint32_t APP = 0x01020000;

CReceiverConfig ManagerConfig(EReceiverStart start)
{
    CReceiverConfig config;
    config.m_nBoardId = 7;
    config.m_eStart = start;
    return config;
}

bool OpenPort(CSerialHandler& port, const std::string& path)
{
    return port.Open(platform::CPortId::Device(path), LINE_PACKET);
}

bool WakeWithText(CSerialHandler& port)
{
    port.Configure(LINE_PACKET_LINES_LOW);
    port.Purge(0x0F);
    const char* answer = "tUrNiPgReEnSo";
    size_t matched = 0;
    for (int send = 0; send < 10; ++send) {
        port.Write(reinterpret_cast<const uint8_t*>("PoLkAdOtSy"), 10);
        port.WaitForRx(250);
        while (port.GetRxCount() > 0) {
            uint8_t b = port.ReadByte();
            matched = b == static_cast<uint8_t>(answer[matched]) ? matched + 1 : 0;
            if (matched == 13)
                return true;
        }
    }
    return false;
}

// Boot loader to programmed flash, as the upgrade's phases do it.
void UpgradeThroughManagers(CSerialHandler& port, CVirtualReceiver& receiver)
{
    port.Configure(LINE_PACKET);
    CQBootManager boot;
    boot.SetPorts(&port, nullptr);
    ASSERT_EQ(boot.Connect(3000), 0);
    EXPECT_EQ(RxGetLe16(&boot.GetBootInfo()[10]), 7);
    EXPECT_EQ(RxGetLe16(&boot.GetBootInfo()[2]), 175);

    ASSERT_EQ(boot.Command(BOOT_CMD_SET_SPEED, 5000, 115200, 0, 0, nullptr), 0);
    port.Configure(LINE_PACKET.WithRate(115200));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(boot.Command(BOOT_CMD_READ_POWER, 2000, 0, 0, 0, nullptr), 0);
    EXPECT_EQ(boot.Command(BOOT_CMD_CHECK_84, 2000, 0, 0, 0, nullptr), 0);

    CMonitorImage image = GetMonitorImage(1);
    for (uint32_t at = 0; at < image.nLength; at += 1024) {
        uint32_t n = std::min<uint32_t>(1024, image.nLength - at);
        ASSERT_EQ(boot.SendData(image.pData + at, 0x20000 + at, n, 2000), 0) << at;
    }
    ASSERT_EQ(boot.Command(BOOT_CMD_START_MONITOR, 2000, 0, 0, 0, nullptr), 0);
    boot.Disconnect();

    port.Configure(LINE_PACKET);
    CQMonitorManager monitor;
    monitor.SetPorts(&port, nullptr);
    ASSERT_EQ(monitor.ConnectMonitor(3000, false), 0);
    ASSERT_EQ(monitor.Command(MON_CMD_READ_FLASH_INFO, 2000, 0, 0, 0, nullptr), 0);
    EXPECT_EQ(RxGetLe16(&monitor.GetFlashInfo()[2]), 0xC0);

    std::vector<uint8_t> block(1024);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 13 + 1);
    uint32_t sum = 0;
    for (uint8_t b : block)
        sum += b;
    uint32_t staged = RAM_TOP - 1024;
    ASSERT_EQ(monitor.Command(MON_CMD_READY, 1000, 0, 0, 0, nullptr), 0);
    ASSERT_EQ(monitor.SendData(block.data(), staged, 1024, 3000), 0);
    EXPECT_EQ(monitor.Command(MON_CMD_VERIFY, 5000, staged, 1024, sum, nullptr), 0);
    EXPECT_EQ(monitor.Command(MON_CMD_VERIFY, 5000, staged, 1024, sum + 1, nullptr), 2);
    ASSERT_EQ(monitor.Command(MON_CMD_PREPARE_FLASH, 5000, APP, 0, 0, nullptr), 0);
    ASSERT_EQ(monitor.Command(MON_CMD_PROGRAM_FLASH, 5000, staged, 1024, APP, nullptr), 0);
    EXPECT_EQ(monitor.SendText("FW test record", 4000), 0);
    EXPECT_EQ(monitor.Command(MON_CMD_RETURN_TO_BOOT, 1000, 0, 0, 0, nullptr), 0);

    std::string report = receiver.ReportJson();
    EXPECT_NE(report.find("\"upgrade_record\": \"FW test record\""), std::string::npos);
    EXPECT_EQ(ReportNumber(report, "programs"), 1);
    EXPECT_NE(report.find("\"application_valid\": false"), std::string::npos)
        << "the block replaced the application header";
}

}  // namespace

TEST(ReceiverWithManagers, WakeText)
{
    CVirtualReceiver receiver(ManagerConfig(RXS_APPLICATION));
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    CSerialHandler port;
    ASSERT_TRUE(OpenPort(port, receiver.SlavePaths()[0])) << port.GetLastError();
    ASSERT_TRUE(WakeWithText(port));
    UpgradeThroughManagers(port, receiver);
}

TEST(ReceiverWithManagers, BreakAndCommandLine)
{
    CVirtualReceiver receiver(ManagerConfig(RXS_APPLICATION));
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    CSerialHandler port;
    ASSERT_TRUE(OpenPort(port, receiver.SlavePaths()[0])) << port.GetLastError();
    CReceiverTextLink text(&port);
    char info[256] = {}, reply[256] = {};
    text.ExchangeText("TITAN : GOTO FLASH MONITOR\r\n", info, sizeof info, reply, sizeof reply);
    EXPECT_STREQ(info, "PRODUCT,ModelK;PORT,1,9600,0,8,1,N");
    ASSERT_STREQ(reply, "TITAN : GOING TO FLASH MONITOR\r\n");
    UpgradeThroughManagers(port, receiver);
}

TEST(ReceiverWithManagers, Passthrough)
{
    CReceiverConfig config = ManagerConfig(RXS_PASSTHROUGH);
    config.m_nBoardId = 7;
    CVirtualReceiver receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    CSerialHandler port;
    ASSERT_TRUE(OpenPort(port, receiver.SlavePaths()[0])) << port.GetLastError();
    {
        CPikePassthroughManager pass;
        pass.SetPorts(&port, nullptr);
        port.Configure(LINE_PASSTHROUGH);
        ASSERT_EQ(pass.Connect(3000), 0);
        pass.Disconnect();
        port.Purge(0x0F);
    }
    port.Close();
    ASSERT_TRUE(OpenPort(port, receiver.SlavePaths()[0]));
    UpgradeThroughManagers(port, receiver);
}

TEST(ReceiverWithManagers, NoPreparation)
{
    CVirtualReceiver receiver(ManagerConfig(RXS_BOOT_LOADER));
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    CSerialHandler port;
    ASSERT_TRUE(OpenPort(port, receiver.SlavePaths()[0])) << port.GetLastError();
    UpgradeThroughManagers(port, receiver);
}
