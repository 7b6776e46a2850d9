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

// Catches: ids read from the interface instead of the USB device above it,
// one level of searching (a USB serial converter's port is two below the
// device), and USB facts given to a port that is no adapter.
TEST_F(PortNamesTest, UsbAdaptersCarryTheirIdsSerialAndProduct)
{
    const fs::path usb = m_root / "sys" / "devices" / "usb1";
    auto device = [&](const std::string& name, const char* vendor, const char* product, const char* serial,
                      const char* productName) {
        fs::create_directories(usb / name);
        std::ofstream(usb / name / "idVendor") << vendor << "\n";
        std::ofstream(usb / name / "idProduct") << product << "\n";
        if (serial != nullptr)
            std::ofstream(usb / name / "serial") << serial << "\n";
        std::ofstream(usb / name / "product") << productName << "\n";
    };
    device("1-1", "0403", "6001", "A600XYZ", "FT232R USB UART");
    device("1-2", "2341", "0043", nullptr, "Uno");
    // A converter's port sits two below its device, an ACM interface one.
    fs::create_directories(usb / "1-1" / "1-1:1.0" / "ttyUSB0");
    fs::create_directories(usb / "1-2" / "1-2:1.0");
    for (const auto& [name, target] : {std::pair<std::string, fs::path>{"ttyUSB0", usb / "1-1" / "1-1:1.0" / "ttyUSB0"},
                                       {"ttyACM0", usb / "1-2" / "1-2:1.0"}}) {
        fs::create_directories(m_root / "sys" / name);
        fs::create_directory_symlink(target, m_root / "sys" / name / "device");
        std::ofstream(m_root / "dev" / name) << "";
    }
    AddTty("ttyS0", "4");

    const auto ports = platform::ListComPorts(m_roots);
    ASSERT_EQ(ports[0].strDevice, Dev("ttyACM0"));
    EXPECT_EQ(ports[0].strUsbVendorId, "2341");
    EXPECT_EQ(ports[0].strUsbProductId, "0043");
    EXPECT_EQ(ports[0].strUsbSerial, "");
    EXPECT_EQ(ports[0].strUsbProduct, "Uno");
    ASSERT_EQ(ports[1].strDevice, Dev("ttyUSB0"));
    EXPECT_EQ(ports[1].strUsbVendorId, "0403");
    EXPECT_EQ(ports[1].strUsbProductId, "6001");
    EXPECT_EQ(ports[1].strUsbSerial, "A600XYZ");
    EXPECT_EQ(ports[1].strUsbProduct, "FT232R USB UART");
    ASSERT_EQ(ports[2].strDevice, Dev("ttyS0"));
    EXPECT_EQ(ports[2].strUsbVendorId, "");
}

// The Windows port list gives only the device instance id.
TEST(UsbInstanceId, IdsAndSerialFromTheInstance)
{
    struct {
        const char* pszInstance;
        const char* pszVendor;
        const char* pszProduct;
        const char* pszSerial;
    } rows[] = {
        {"USB\\VID_0403&PID_6001\\A600XYZ", "0403", "6001", "A600XYZ"},
        {"FTDIBUS\\VID_0403+PID_6015+DK0AB12CA\\0000", "0403", "6015", "DK0AB12CA"},
        {"USB\\VID_10C4&PID_EA60\\6&2F3B1C&0&2", "10C4", "EA60", ""},  // made up by the system
        {"ACPI\\PNP0501\\1", "", "", ""},
        {"USB\\VID_04", "", "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszInstance);
        platform::CPortEntry entry;
        platform::ParseUsbInstanceId(row.pszInstance, entry);
        EXPECT_EQ(entry.strUsbVendorId, row.pszVendor);
        EXPECT_EQ(entry.strUsbProductId, row.pszProduct);
        EXPECT_EQ(entry.strUsbSerial, row.pszSerial);
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
