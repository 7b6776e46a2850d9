// Date and time texts in the user's default locale: GetDateFormatA with the
// "d MMM yyyy" picture, GetTimeFormatA with the locale's own time format.
#include "platform/LocaleText.h"

#include <windows.h>

namespace platform {
namespace {

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

// The locale's time picture with its hour field replaced by the literal
// text "24": the system has no hour 24, but the end of a day is shown as
// such where the clock has 24 hours. Empty for a 12-hour clock ("h"), which
// cannot show it.
std::string PictureForHour24()
{
    char picture[80];
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIMEFORMAT, picture, sizeof picture) == 0)
        return "'24':mm:ss";
    std::string result;
    bool quoted = false;
    for (const char* p = picture; *p != '\0'; ++p) {
        if (*p == '\'')
            quoted = !quoted;
        if (!quoted && *p == 'h')
            return std::string();
        if (!quoted && *p == 'H') {
            while (p[1] == 'H')
                ++p;
            result += "'24'";
            continue;
        }
        result += *p;
    }
    return result;
}

}  // namespace

std::string LocalDateText(int year, int month, int day)
{
    if (year < 1601 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
        return std::string();
    SYSTEMTIME date = {};
    date.wYear = static_cast<WORD>(year);
    date.wMonth = static_cast<WORD>(month);
    date.wDay = static_cast<WORD>(day);
    char text[128];
    if (GetDateFormatA(LOCALE_USER_DEFAULT, 0, &date, "d MMM yyyy", text, sizeof text) == 0)
        return std::string();
    return text;
}

std::string LocalTimeText(int hour, int minute, int second)
{
    if (hour < 0 || hour > 24 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return std::string();
    if (hour == 24 && (minute != 0 || second != 0))
        return std::string();
    SYSTEMTIME when = {};
    when.wYear = 2000;
    when.wMonth = 1;
    when.wDay = 1;
    when.wHour = static_cast<WORD>(hour == 24 ? 0 : hour);
    when.wMinute = static_cast<WORD>(minute);
    when.wSecond = static_cast<WORD>(second);
    std::string picture;
    if (hour == 24) {
        picture = PictureForHour24();
        if (picture.empty())
            return std::string();
    }
    char text[128];
    if (GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &when, picture.empty() ? nullptr : picture.c_str(), text,
                       sizeof text) == 0)
        return std::string();
    return text;
}

}  // namespace platform
