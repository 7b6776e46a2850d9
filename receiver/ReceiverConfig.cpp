#include "receiver/ReceiverConfig.h"

#include "receiver/ReceiverMemory.h"

#include <cerrno>
#include <cstdlib>

static bool ParseNumber(const std::string& text, uint64_t limit, uint64_t& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno || *end || v > limit)
        return false;
    value = v;
    return true;
}

bool ParseRefusalRule(const std::string& text, CRefusalRule& rule, std::string& error)
{
    std::vector<std::string> parts;
    std::string body = text;
    rule.m_nPort = 0;
    const size_t at = text.find('@');
    if (at != std::string::npos) {
        const std::string port = text.substr(at + 1);
        if (port != "1" && port != "2" && port != "3") {
            error = "refusal '" + text + "': the port after @ is 1, 2 or 3";
            return false;
        }
        rule.m_nPort = port[0] - '0';
        body = text.substr(0, at);
    }
    size_t start = 0;
    for (;;) {
        size_t colon = body.find(':', start);
        parts.push_back(body.substr(start, colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    error = "refusal '" + text + "': expected CODE[:N[:K]][@PORT]";
    if (parts.size() > 3)
        return false;
    uint64_t v = 0;
    if (parts[0] == "data")
        rule.m_nCode = RXR_DATA;
    else if (parts[0] == "text")
        rule.m_nCode = RXR_TEXT;
    else if (ParseNumber(parts[0], 255, v))
        rule.m_nCode = static_cast<int>(v);
    else
        return false;
    rule.m_nFirst = 1;
    rule.m_nCount = 1;
    if (parts.size() > 1) {
        if (!ParseNumber(parts[1], 0xFFFFFFFF, v) || v == 0)
            return false;
        rule.m_nFirst = static_cast<uint32_t>(v);
    }
    if (parts.size() > 2) {
        if (!ParseNumber(parts[2], 0xFFFFFFFF, v) || v == 0)
            return false;
        rule.m_nCount = static_cast<uint32_t>(v);
    }
    error.clear();
    return true;
}

static bool Rate(double r)
{
    return r >= 0.0 && r <= 1.0;
}

bool IsReceiverBaudRate(uint32_t baud)
{
    switch (baud) {
    case 2400: case 4800: case 9600: case 19200: case 38400: case 57600: case 115200:
        return true;
    default:
        return false;
    }
}

bool IsHighReceiverBaudRate(uint32_t baud)
{
    return baud == 230400 || baud == 460800 || baud == 921600;
}

bool IsKnownReceiverBaudRate(uint32_t baud)
{
    return IsReceiverBaudRate(baud) || IsHighReceiverBaudRate(baud);
}

bool ParseRateList(const std::string& text, std::vector<uint32_t>& rates, std::string& error)
{
    rates.clear();
    if (text.empty())
        return error = "the rate list names no rate", false;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma - start);
        uint64_t v = 0;
        if (!ParseNumber(item, 0xFFFFFFFF, v) || !IsKnownReceiverBaudRate(static_cast<uint32_t>(v)))
            return error = "rate list '" + text + "': '" + item + "' is not a rate the receiver runs at "
                           "(2400 to 115200, 230400, 460800, 921600)",
                   false;
        rates.push_back(static_cast<uint32_t>(v));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return true;
}

bool ValidateReceiverConfig(const CReceiverConfig& config, std::string& error)
{
    CReceiverChip_Info chip;
    if (!FindReceiverChip(config.m_strChip, chip))
        return error = "unknown flash chip '" + config.m_strChip + "' (AT49BV16X4 or AT49LV8011)",
               false;
    if (config.m_nBoardId < 0 || config.m_nBoardId > 0xFFFF)
        return error = "board identifier must lie in 0 to 65535", false;
    if (config.m_nPorts < 1 || config.m_nPorts > 3)
        return error = "a receiver has 1 to 3 ports", false;
    if (!Rate(config.m_dDropRx) || !Rate(config.m_dDropTx) || !Rate(config.m_dCorruptRx) ||
        !Rate(config.m_dCorruptTx))
        return error = "fault rates lie in 0 to 1", false;
    if (!(config.m_dBitErrorRate >= 0.0 && config.m_dBitErrorRate <= 0.1))
        return error = "the bit error rate lies in 0 to 0.1", false;
    if (config.m_nMaxBaud != RX_BAUD_LIMIT && !IsHighReceiverBaudRate(config.m_nMaxBaud))
        return error = "the highest line rate is 115200, 230400, 460800 or 921600", false;
    if (!(config.m_dBaudErrorPercent >= 0.0 && config.m_dBaudErrorPercent <= 10.0))
        return error = "the clock error lies in 0 to 10 per cent", false;
    for (uint32_t baud : config.m_MonitorRates)
        if (!IsKnownReceiverBaudRate(baud))
            return error = "the monitor's rate " + std::to_string(baud) + " is not one the receiver runs at", false;
    if (config.m_nSwitchDelayMs > RX_SWITCH_DELAY_MAX_MS)
        return error = "a rate switch takes 0 to 400 ms", false;
    if (config.m_nMaxRead < RX_READ_MIN || config.m_nMaxRead > RX_READ_MAX)
        return error = "the largest read-back lies in 128 to 1024 bytes", false;
    if (config.m_nPacketGapMs > 60000)
        return error = "the packet gap lies in 0 to 60000 ms", false;
    if (config.m_nLatencyMs > 255)
        return error = "a latency timer runs 0 to 255 ms", false;
    if (config.m_strProductName.size() > 200)
        return error = "product name too long", false;
    if (config.m_nAnnounceMs == 0)
        return error = "announcement interval must be above 0", false;
    return true;
}
