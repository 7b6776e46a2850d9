#include "platform/PortNames.h"

#include <cctype>

namespace platform {

namespace {

// The four hex digits after `key` ("VID_") in the upper-case text; empty
// when they are not there.
std::string HexAfter(const std::string& upper, const char* key)
{
    const size_t at = upper.find(key);
    if (at == std::string::npos)
        return std::string();
    const std::string digits = upper.substr(at + 4, 4);
    if (digits.size() != 4)
        return std::string();
    for (char c : digits)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::string();
    return digits;
}

}  // namespace

void ParseUsbInstanceId(const std::string& instance, CPortEntry& entry)
{
    std::string upper = instance;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string vendor = HexAfter(upper, "VID_");
    const std::string product = HexAfter(upper, "PID_");
    if (vendor.empty() || product.empty())
        return;
    entry.strUsbVendorId = vendor;
    entry.strUsbProductId = product;
    // The serial number: the part after the ids, in the case the system
    // gives it.
    const size_t first = instance.find('\\');
    if (first == std::string::npos)
        return;
    std::string serial;
    const std::string bus = upper.substr(0, first);
    if (bus == "FTDIBUS") {
        // FTDIBUS\VID_0403+PID_6001+A600XYZA\0000: the third '+' part.
        const size_t plus = instance.find('+', instance.find('+', first) + 1);
        const size_t end = instance.find('\\', first + 1);
        if (plus != std::string::npos && end != std::string::npos && plus < end)
            serial = instance.substr(plus + 1, end - plus - 1);
    } else {
        const size_t second = instance.find('\\', first + 1);
        if (second != std::string::npos)
            serial = instance.substr(second + 1);
    }
    if (!serial.empty() && serial.find('&') == std::string::npos && serial.find('\\') == std::string::npos)
        entry.strUsbSerial = serial;
}

}  // namespace platform
