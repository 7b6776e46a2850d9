// How a port number and a device prefix become a device path.
//
// COM1, COM2, ... stand for the serial devices present, in a stable order:
// USB and CDC-ACM adapters first (by their /dev/serial/by-id names when those
// exist, else by device name), then on-board UARTs that really have hardware
// behind them, then every other serial device. The environment variable
// TRAILMARK_COMn makes COMn any path. Any prefix other than "COM" names
// /dev/<prefix><number> directly. (A port given as a device path, a
// CPortId of platform/PortId.h, goes to the engine and the serial handler as
// it is and needs no number.)
//
// On Windows COMn is the system's own port \\.\COMn (other prefixes name
// \\.\<prefix><number>); the list describes each port the system has by
// its driver's name for it ("USB serial adapter USB Serial Port (COM3)") and
// goes on past COM9 with the ports the system has there. CPortRoots is not
// used there.
//
// A USB adapter's vendor and product ids, serial number and product name
// come from the USB device above the tty in sysfs (idVendor, idProduct,
// serial, product), on Windows from the device instance id and description.
//
// Backends: posix/PortNames.cpp (Linux sysfs), win32/PortNames.cpp (SetupAPI
// and HARDWARE\DEVICEMAP\SERIALCOMM); PortOverrides.cpp holds the settings
// both look at first, UsbInstanceId.cpp the instance id reading.
//
// Called by CSerialHandler::Open and by the engine's port service
// (engine/PortService.h), through which the front ends see the list.
// Threading: every function may be called from any thread.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Where devices and their driver information are looked up (tests point
// these at a fake tree).
struct CPortRoots {
    std::string strDevDir = "/dev";
    std::string strSysTtyDir = "/sys/class/tty";
};

// One COM entry as the wizard and "ports" listing show it.
struct CPortEntry {
    int nNumber = 0;
    std::string strDevice;       // empty when no device stands for the number
    std::string strDescription;  // "USB serial adapter <name>", "on-board UART", ...
    // A USB adapter's identity as far as the system tells it; empty for
    // other ports and for what the system does not know.
    std::string strUsbVendorId = {};   // four hex digits, "0403"
    std::string strUsbProductId = {};  // four hex digits, "6001"
    std::string strUsbSerial = {};     // the adapter's serial number
    std::string strUsbProduct = {};    // its product name ("FT232R USB UART"; on Windows the driver's name for it)
    // A device was set for the number (TRAILMARK_COMn) but nothing is there:
    // strDevice names it, and opening it fails.
    bool bMissing = false;
};

// The vendor id, product id and serial number in a Windows device instance
// id: "USB\VID_0403&PID_6001\A600XYZ" or "FTDIBUS\VID_0403+PID_6001+A600XYZA\0000".
// An instance part the system made up (it holds '&') is no serial number.
// Fields that are not there stay as they were.
void ParseUsbInstanceId(const std::string& instance, CPortEntry& entry);

constexpr int PORT_LIST_COUNT = 9;

// The device path for <prefix><number> (null prefix means "COM"); empty when
// no device stands for it or the prefix is unusable.
std::string ResolvePortDevice(const char* prefix, int number, const CPortRoots& roots = CPortRoots());

// What makes two names of a serial device one device, so that a port named
// twice (directly and through a link, or by two device nodes) is seen as
// such: on Linux the device number of a character device, else the path
// with every link resolved; on Windows the port's name in upper case without
// the "\\.\" prefix. Empty when the name leads to nothing.
std::string PortDeviceKey(const std::string& device);

// COM1..COM9 with their devices and descriptions (on Windows followed by
// the present ports above COM9).
std::vector<CPortEntry> ListComPorts(const CPortRoots& roots = CPortRoots());

}  // namespace platform
