// Date and time texts in the user's LC_TIME locale, through a locale object of
// our own (newlocale/nl_langinfo_l/strftime_l) so that no call here touches the
// process-wide locale, which setlocale would change under other threads.
#include "platform/LocaleText.h"

#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <cstdio>
#include <cstring>

namespace platform {
namespace {

// The user's time locale, made once on first use and kept for the life of the
// process. Falls back to the "C" locale when the environment names a locale
// that is not installed.
locale_t TimeLocale()
{
    static const locale_t s_locale = [] {
        locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
        if (loc == static_cast<locale_t>(0))
            loc = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
        return loc;
    }();
    return s_locale;
}

bool IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month)
{
    static const int s_nDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && IsLeapYear(year))
        return 29;
    return s_nDays[month - 1];
}

const char* MonthAbbreviation(int month)
{
    static const char* const s_pszEnglish[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    locale_t loc = TimeLocale();
    if (loc != static_cast<locale_t>(0)) {
        const char* psz = nl_langinfo_l(static_cast<nl_item>(ABMON_1 + month - 1), loc);
        if (psz != nullptr && psz[0] != '\0')
            return psz;
    }
    return s_pszEnglish[month - 1];
}

// True when the time format shows a 12-hour clock, which cannot show hour 24.
bool UsesTwelveHourClock(const char* pszFormat)
{
    for (const char* p = pszFormat; *p != '\0'; ++p) {
        if (*p != '%')
            continue;
        ++p;
        while (*p == 'E' || *p == 'O' || *p == '-' || *p == '_' || *p == '0' || *p == '^' || *p == '#')
            ++p;
        if (*p == '\0')
            break;
        if (std::strchr("IlrpP", *p) != nullptr)
            return true;
    }
    return false;
}

}  // namespace

std::string LocalDateText(int year, int month, int day)
{
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return std::string();
    char text[128];
    std::snprintf(text, sizeof text, "%d %s %04d", day, MonthAbbreviation(month), year);
    return text;
}

std::string LocalTimeText(int hour, int minute, int second)
{
    if (hour < 0 || hour > 24 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return std::string();
    if (hour == 24 && (minute != 0 || second != 0))
        return std::string();

    locale_t loc = TimeLocale();
    const char* pszFormat = nullptr;
    if (loc != static_cast<locale_t>(0))
        pszFormat = nl_langinfo_l(T_FMT, loc);
    if (pszFormat == nullptr || pszFormat[0] == '\0')
        pszFormat = "%H:%M:%S";
    // A 12-hour clock would show hour 24 as noon; leave that to the caller.
    if (hour == 24 && UsesTwelveHourClock(pszFormat))
        return std::string();

    struct tm when;
    std::memset(&when, 0, sizeof when);
    when.tm_hour = hour;
    when.tm_min = minute;
    when.tm_sec = second;
    when.tm_mday = 1;
    when.tm_year = 100;
    when.tm_isdst = -1;

    char text[128];
    size_t n = 0;
    if (loc != static_cast<locale_t>(0))
        n = strftime_l(text, sizeof text, pszFormat, &when, loc);
    else
        n = strftime(text, sizeof text, pszFormat, &when);
    if (n == 0)
        return std::string();
    return std::string(text, n);
}

}  // namespace platform
