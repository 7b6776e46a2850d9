// The local time from GetLocalTime.
#include "platform/LocalTime.h"

#include <windows.h>

namespace platform {

CLocalTime LocalTimeNow()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    CLocalTime local;
    local.nYear = now.wYear;
    local.nMonth = now.wMonth;
    local.nDay = now.wDay;
    local.nHour = now.wHour;
    local.nMinute = now.wMinute;
    local.nSecond = now.wSecond;
    return local;
}

}  // namespace platform
