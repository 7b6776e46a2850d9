// One serial port as the user named it: a COM number, or a device path used
// as typed.
//
// A COM number stands for whatever device the port naming gives it when the
// port is opened (ResolvePortDevice, platform/PortNames.h, is the one place
// that turns a number into a device); a device path ("/dev/ttyUSB0",
// "\\.\COM12") is the device itself. Name() is what every message calls the
// port: "COM3" for a number, in whatever case it was typed, and a path as it
// was typed.
//
// The command line reads what the user typed with ParsePortId; the wizard,
// whose list offers COM numbers, makes its port with CPortId::Com. The engine
// keeps the value for its links and hands it unchanged to
// CSerialHandler::Open. A plain value, safe to copy between threads.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The highest COM number a port may be given as.
constexpr int32_t PORT_NUMBER_MAX = 255;

class CPortId {
public:
    // No port at all (neither a number nor a path).
    CPortId() = default;
    static CPortId Com(int32_t number);
    // An empty path gives no port.
    static CPortId Device(const std::string& path);

    bool IsEmpty() const { return m_strName.empty(); }
    bool IsDevicePath() const { return !m_strDevice.empty(); }
    // The COM number; 0 for a device path or no port.
    int32_t Number() const { return m_nNumber; }
    // The device path; empty for a COM number or no port.
    const std::string& DevicePath() const { return m_strDevice; }
    // "COM3", or the path as typed; empty for no port.
    const std::string& Name() const { return m_strName; }

    bool operator==(const CPortId&) const = default;

private:
    int32_t m_nNumber = 0;
    std::string m_strDevice;
    std::string m_strName;
};

// What the user typed for a port: "COM" in any case followed by a decimal
// number from 1 to PORT_NUMBER_MAX is that COM number ("com3" is COM3); a
// text that holds a '/' or a '\' is a device path, used as typed. False, with
// `port` unchanged, for anything else (a name that starts with "COM" but has
// no usable number after it included).
bool ParsePortId(const std::string& text, CPortId& port);

}  // namespace platform
