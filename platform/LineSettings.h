// The settings of a serial line as one value: the rate, the frame (data bits,
// parity, stop bits) and the two modem lines the host drives (RTS, DTR).
//
// CSerialDevice::Configure applies a whole CLineSettings, and the serial
// handler (link/SerialHandler.h) is opened and reconfigured with one; the
// settings the receiver's protocols use are named in link/ReceiverLines.h.
// A plain value, safe to copy between threads.
#pragma once

#include <cstdint>

namespace platform {

// The numbers are those the serial drivers use for the same choices.
enum class EParity : uint8_t {
    None = 0,
    Odd = 1,
    Even = 2,
    Mark = 3,   // where the system has it
    Space = 4,  // where the system has it
};

enum class EStopBits : uint8_t {
    One = 0,
    OneAndHalf = 1,  // sent as two where the system has no one and a half
    Two = 2,
};

struct CLineSettings {
    uint32_t nBaudRate = 9600;
    uint8_t nDataBits = 8;
    EParity eParity = EParity::None;
    EStopBits eStopBits = EStopBits::One;
    bool bRts = false;  // raised (true) or low
    bool bDtr = false;

    // The same settings at another rate: what a speed switch changes.
    constexpr CLineSettings WithRate(uint32_t baudRate) const
    {
        CLineSettings settings = *this;
        settings.nBaudRate = baudRate;
        return settings;
    }
    bool operator==(const CLineSettings&) const = default;
};

}  // namespace platform
