// The local calendar time, for records that carry the moment they were made.
// Thread-safe.
#pragma once

namespace platform {

struct CLocalTime {
    int nYear = 0;
    int nMonth = 0;  // 1 to 12
    int nDay = 0;    // 1 to 31
    int nHour = 0;
    int nMinute = 0;
    int nSecond = 0;
};

CLocalTime LocalTimeNow();

}  // namespace platform
