#include "platform/LocalTime.h"

#include <ctime>

namespace platform {

CLocalTime LocalTimeNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    CLocalTime local;
    local.nYear = parts.tm_year + 1900;
    local.nMonth = parts.tm_mon + 1;
    local.nDay = parts.tm_mday;
    local.nHour = parts.tm_hour;
    local.nMinute = parts.tm_min;
    local.nSecond = parts.tm_sec;
    return local;
}

}  // namespace platform
