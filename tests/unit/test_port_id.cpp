// What the user types for a port, read into one port value.
#include <gtest/gtest.h>

#include <string>

#include "platform/PortId.h"

namespace {

using platform::CPortId;

// Catches: "com3" read as another port than "COM3", a number that overflows
// or lies outside 1..255 taken for some port, a bare device name taken for a
// path, a path renamed in messages, and a refused text that still changes
// the port it was meant for.
TEST(PortId, TypedTextsBecomeNumbersOrPathsOrAreRefused)
{
    struct {
        const char* pszText;
        bool bParsed;
        int32_t nNumber;       // when parsed
        const char* pszDevice;  // when parsed: "" for a COM number
        const char* pszName;    // when parsed
    } rows[] = {
        {"COM3", true, 3, "", "COM3"},
        {"com3", true, 3, "", "COM3"},
        {"cOm12", true, 12, "", "COM12"},
        {"COM007", true, 7, "", "COM7"},
        {"COM255", true, 255, "", "COM255"},
        {"COM256", false, 0, "", ""},
        {"COM0", false, 0, "", ""},
        {"COM99999999999999999999", false, 0, "", ""},
        {"COM-1", false, 0, "", ""},
        {"COM3 ", false, 0, "", ""},
        {"COM", false, 0, "", ""},
        {"COM/dev/ttyS0", false, 0, "", ""},
        {"/dev/ttyUSB0", true, 0, "/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"./link", true, 0, "./link", "./link"},
        {"\\\\.\\COM12", true, 0, "\\\\.\\COM12", "\\\\.\\COM12"},
        {"ttyUSB0", false, 0, "", ""},
        {"3", false, 0, "", ""},
        {"", false, 0, "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszText);
        CPortId port = CPortId::Com(9);
        ASSERT_EQ(platform::ParsePortId(row.pszText, port), row.bParsed);
        if (!row.bParsed) {
            EXPECT_EQ(port, CPortId::Com(9));
            continue;
        }
        EXPECT_EQ(port.Number(), row.nNumber);
        EXPECT_EQ(port.DevicePath(), row.pszDevice);
        EXPECT_EQ(port.IsDevicePath(), *row.pszDevice != '\0');
        EXPECT_EQ(port.Name(), row.pszName);
    }
}

}  // namespace
