#include "platform/PortId.h"

namespace platform {

CPortId CPortId::Com(int32_t number)
{
    CPortId port;
    port.m_nNumber = number;
    port.m_strName = "COM" + std::to_string(number);
    return port;
}

CPortId CPortId::Device(const std::string& path)
{
    CPortId port;
    port.m_strDevice = path;
    port.m_strName = path;
    return port;
}

bool ParsePortId(const std::string& text, CPortId& port)
{
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    if (text.size() > 3 && upper(text[0]) == 'C' && upper(text[1]) == 'O' && upper(text[2]) == 'M') {
        // Digits only, and stopped as soon as the number is too large, so
        // that no text overflows it.
        int32_t number = 0;
        for (size_t i = 3; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9')
                return false;
            number = number * 10 + (text[i] - '0');
            if (number > PORT_NUMBER_MAX)
                return false;
        }
        if (number < 1)
            return false;
        port = CPortId::Com(number);
        return true;
    }
    if (text.find_first_of("/\\") == std::string::npos)
        return false;
    port = CPortId::Device(text);
    return true;
}

}  // namespace platform
