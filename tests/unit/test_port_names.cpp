// COM numbers to device paths, against a fake /dev and /sys/class/tty tree.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/PortNames.h"

namespace {

namespace fs = std::filesystem;

class PortNamesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/trailmark_ports_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        m_roots.strDevDir = (m_root / "dev").string();
        m_roots.strSysTtyDir = (m_root / "sys").string();
        fs::create_directories(m_root / "dev" / "serial" / "by-id");
        fs::create_directories(m_root / "sys");
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(m_root, ec);
        unsetenv("TRAILMARK_COM3");
    }
    // A tty with hardware behind it (a device entry) and a /dev node.
    void AddTty(const std::string& name, const char* uartType = nullptr, bool devNode = true)
    {
        fs::create_directories(m_root / "sys" / name / "device");
        if (uartType != nullptr)
            std::ofstream(m_root / "sys" / name / "type") << uartType << "\n";
        if (devNode)
            std::ofstream(m_root / "dev" / name) << "";
    }
    void AddById(const std::string& link, const std::string& device)
    {
        fs::create_symlink("../../" + device, m_root / "dev" / "serial" / "by-id" / link);
    }
    std::string Dev(const std::string& name) const { return (m_root / "dev" / name).string(); }

    fs::path m_root;
    platform::CPortRoots m_roots;
};

TEST_F(PortNamesTest, UsbAdaptersFirstThenRealUartsThenTheRest)
{
    AddTty("ttyAMA0");
    AddTty("ttyS0", "4");
    AddTty("ttyS1", "0");  // placeholder node without hardware
    AddTty("ttyUSB10");
    AddTty("ttyUSB2");
    AddTty("ttyUSB0");
    AddTty("ttyACM0");
    AddTty("ttyUSB7", nullptr, false);  // no /dev node: not usable
    fs::create_directories(m_root / "sys" / "tty0");  // virtual terminal
    std::ofstream(m_root / "dev" / "tty0") << "";
    AddById("usb-FTDI_B-if00-port0", "ttyUSB0");
    AddById("usb-Arduino_A-if00", "ttyACM0");

    auto ports = platform::ListComPorts(m_roots);
    ASSERT_EQ(ports.size(), 9u);
    struct {
        const char* pszDevice;
        const char* pszDescription;
    } expected[] = {
        {"ttyACM0", "USB serial adapter usb-Arduino_A-if00"},
        {"ttyUSB0", "USB serial adapter usb-FTDI_B-if00-port0"},
        {"ttyUSB2", "USB serial adapter ttyUSB2"},  // natural order: 2 before 10
        {"ttyUSB10", "USB serial adapter ttyUSB10"},
        {"ttyS0", "on-board UART"},
        {"ttyAMA0", "serial device ttyAMA0"},
    };
    for (int i = 0; i < 9; ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_EQ(ports[i].nNumber, i + 1);
        if (i < 6) {
            EXPECT_EQ(ports[i].strDevice, Dev(expected[i].pszDevice));
            EXPECT_EQ(ports[i].strDescription, expected[i].pszDescription);
            EXPECT_EQ(platform::ResolvePortDevice(nullptr, i + 1, m_roots), Dev(expected[i].pszDevice));
        } else {
            EXPECT_EQ(ports[i].strDevice, "");
            EXPECT_EQ(ports[i].strDescription, "no device");
            EXPECT_EQ(platform::ResolvePortDevice("COM", i + 1, m_roots), "");
        }
    }
}

TEST_F(PortNamesTest, EnvironmentOverridesTheScan)
{
    AddTty("ttyUSB0");
    AddTty("ttyUSB1");
    AddTty("ttyUSB2");
    EXPECT_EQ(platform::ResolvePortDevice(nullptr, 3, m_roots), Dev("ttyUSB2"));
    setenv("TRAILMARK_COM3", "/dev/pts/42", 1);
    EXPECT_EQ(platform::ResolvePortDevice(nullptr, 3, m_roots), "/dev/pts/42");
    EXPECT_EQ(platform::ListComPorts(m_roots)[2].strDescription, "set by TRAILMARK_COM3");
    unsetenv("TRAILMARK_COM3");
    EXPECT_EQ(platform::ResolvePortDevice(nullptr, 3, m_roots), Dev("ttyUSB2"));
    // An override of one number leaves the others on the scan.
    setenv("TRAILMARK_COM3", "/dev/pts/42", 1);
    EXPECT_EQ(platform::ResolvePortDevice(nullptr, 1, m_roots), Dev("ttyUSB0"));
}

TEST_F(PortNamesTest, PrefixesAndNumbers)
{
    AddTty("ttyUSB0");
    struct {
        const char* pszPrefix;
        int nNumber;
        std::string strExpected;
    } rows[] = {
        {"com", 1, Dev("ttyUSB0")},     // the COM rule ignores case
        {"ttyUSB", 0, Dev("ttyUSB0")},  // other prefixes name /dev/<prefix><n>
        {"rfcomm", 12, Dev("rfcomm12")},
        {"COM", 0, ""},
        {"COM", -1, ""},
        {"ttyS", -3, ""},
        {"../etc/passwd", 1, ""},  // no way out of the device folder
        {"a/b", 1, ""},
        {"", 1, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszPrefix);
        EXPECT_EQ(platform::ResolvePortDevice(row.pszPrefix, row.nNumber, m_roots), row.strExpected);
    }
}

TEST_F(PortNamesTest, MissingTreesGiveNoDevicesNotAFailure)
{
    platform::CPortRoots nowhere{"/nonexistent/dev", "/nonexistent/sys"};
    auto ports = platform::ListComPorts(nowhere);
    ASSERT_EQ(ports.size(), 9u);
    for (const auto& port : ports)
        EXPECT_EQ(port.strDescription, "no device");
    EXPECT_EQ(platform::ResolvePortDevice(nullptr, 1, nowhere), "");
}

}  // namespace
