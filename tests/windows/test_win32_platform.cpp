// The Win32 backends where they differ from the POSIX ones: COM paths,
// refusing devices as packages, events looked at without being consumed,
// and the serial handler's words for a port that does not exist.
#include <gtest/gtest.h>

#include <string>

#include "link/ReceiverLines.h"
#include "link/SerialHandler.h"
#include "platform/Event.h"
#include "platform/FileReader.h"
#include "platform/PortNames.h"

namespace {

TEST(Win32PortNames, NumbersAndPrefixesNameTheSystemsDevices)
{
    EXPECT_EQ(platform::ResolvePortDevice(nullptr, 5), "\\\\.\\COM5");
    EXPECT_EQ(platform::ResolvePortDevice("com", 12), "\\\\.\\COM12");
    EXPECT_EQ(platform::ResolvePortDevice("CNCA", 0), "\\\\.\\CNCA0");
    EXPECT_EQ(platform::ResolvePortDevice("..\\C:", 1), "") << "a prefix left the device namespace";
    EXPECT_EQ(platform::ResolvePortDevice(nullptr, 0), "");
    _putenv_s("TRAILMARK_COM3", "\\\\.\\COM14");
    EXPECT_EQ(platform::ResolvePortDevice(nullptr, 3), "\\\\.\\COM14");
    _putenv_s("TRAILMARK_COM3", "");
}

TEST(Win32PortNames, ListHasTheNineNumbersAndMarksAbsentOnes)
{
    _putenv_s("TRAILMARK_COM8", "\\\\.\\COM40");
    const std::vector<platform::CPortEntry> ports = platform::ListComPorts();
    _putenv_s("TRAILMARK_COM8", "");
    ASSERT_GE(ports.size(), 9u);
    for (int n = 1; n <= 9; ++n)
        EXPECT_EQ(ports[n - 1].nNumber, n);
    EXPECT_EQ(ports[7].strDevice, "\\\\.\\COM40");
    EXPECT_EQ(ports[7].strDescription, "set by TRAILMARK_COM8");
    // Wine's prefix has COM1 only, unless a test linked another one.
    EXPECT_EQ(ports[8].strDescription, "no device");
}

TEST(Win32FileReader, FoldersAndDevicesAreNotPackages)
{
    for (const char* path : {"C:\\windows", "\\\\.\\NUL"}) {
        platform::CFileReader file;
        std::string error;
        EXPECT_FALSE(file.Open(path, error)) << path;
        EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    }
}

TEST(Win32Event, LookingAtAnAutoResetEventKeepsItsSignal)
{
    platform::CEvent event(false);
    EXPECT_FALSE(event.IsSet());
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.Wait(0)) << "IsSet consumed the signal";
    EXPECT_FALSE(event.Wait(0));
}

TEST(Win32SerialHandler, MissingPortIsNamedAsOnLinux)
{
    CSerialHandler port;
    EXPECT_FALSE(port.Open(platform::CPortId::Com(199), LINE_PACKET));
    EXPECT_EQ(port.GetLastError(), "COM199 (\\\\.\\COM199): no such serial device");
}

}  // namespace
