// Version, date, time and model-name texts.
#include "texts/Texts.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/LocaleText.h"

namespace {

constexpr const char* TEXT_UNKNOWN_DATE = "?? ??? ????";
constexpr const char* TEXT_UNKNOWN_TIME = "??:??:??";
constexpr unsigned TEXT_SECONDS_PER_DAY = 86400;

struct CModelNameEntry {
    unsigned nProductCode;
    const char* pszName;
};

const CModelNameEntry s_modelNames[] = {
    {1, "ModelH"},  {4, "ModelJ"},  {8, "ModelK"},  {9, "ModelA"},  {10, "HandheldOS"},
    {11, "ModelB"}, {12, "ModelC"}, {13, "ModelE"}, {14, "ModelF"}, {15, "ModelG"},
};

// Copies as much of the text as fits and always terminates (size >= 1).
char* CopyText(char* buffer, size_t size, const char* text)
{
    if (buffer == nullptr || size == 0)
        return buffer;
    size_t n = std::strlen(text);
    if (n >= size)
        n = size - 1;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return buffer;
}

}  // namespace

char* FormatVersion(char* buffer, size_t size, unsigned version)
{
    char scratch[64];
    if (version > 9999)
        std::snprintf(scratch, sizeof scratch, "v?.??");
    else
        std::snprintf(scratch, sizeof scratch, "v%1u.%02u", version / 100, version % 100);
    return CopyText(buffer, size, scratch);
}

char* FormatModelName(char* buffer, size_t size, unsigned productCode)
{
    for (const CModelNameEntry& info : s_modelNames) {
        if (info.nProductCode == productCode)
            return CopyText(buffer, size, info.pszName);
    }
    return CopyText(buffer, size, "?");
}

char* FormatDate(char* buffer, size_t size, unsigned year, unsigned month, unsigned day)
{
    // The year range is checked on the full value: a 16-bit wrap of year - 1900
    // would let years like 67436 through.
    if (year < 1900 || year > 2100 || month < 1 || month > 12 || day < 1 || day > 31)
        return CopyText(buffer, size, TEXT_UNKNOWN_DATE);
    std::string text = platform::LocalDateText(static_cast<int>(year), static_cast<int>(month),
                                               static_cast<int>(day));
    // An empty text is a day its month does not have (31 February).
    if (text.empty())
        return CopyText(buffer, size, TEXT_UNKNOWN_DATE);
    if (buffer != nullptr && size > 0)
        std::memset(buffer, 0, size);
    return CopyText(buffer, size, text.c_str());
}

char* FormatTime(char* buffer, size_t size, unsigned seconds)
{
    if (seconds > TEXT_SECONDS_PER_DAY)
        return CopyText(buffer, size, TEXT_UNKNOWN_TIME);
    unsigned hour = seconds / 3600;
    unsigned minute = (seconds - 3600 * hour) / 60;
    unsigned second = seconds % 60;
    std::string text = platform::LocalTimeText(static_cast<int>(hour), static_cast<int>(minute),
                                               static_cast<int>(second));
    // The locale may have no way to show hour 24 (a 12-hour clock); the plain
    // 24-hour form still says the right thing.
    if (text.empty()) {
        char scratch[64];
        std::snprintf(scratch, sizeof scratch, "%02u:%02u:%02u", hour, minute, second);
        return CopyText(buffer, size, scratch);
    }
    return CopyText(buffer, size, text.c_str());
}

char* FormatFamily(char* buffer, size_t size, uint32_t family)
{
    char scratch[16];
    std::snprintf(scratch, sizeof scratch, "0x%X", static_cast<unsigned>(family));
    return CopyText(buffer, size, scratch);
}

char* FormatBoards(char* buffer, size_t size, const int32_t* boards, size_t count)
{
    if (boards == nullptr || count == 0)
        return CopyText(buffer, size, "no board");
    std::string text = count == 1 ? "board " : "boards ";
    for (size_t i = 0; i < count;) {
        // A run of consecutive identifiers is written as its first and last.
        size_t j = i;
        while (j + 1 < count && boards[j + 1] == boards[j] + 1)
            ++j;
        text += (i > 0 ? ", " : "") + std::to_string(boards[i]);
        if (j > i)
            text += "-" + std::to_string(boards[j]);
        i = j + 1;
    }
    return CopyText(buffer, size, text.c_str());
}

char* FormatDuration(char* buffer, size_t size, double seconds)
{
    const long total = seconds > 0 && seconds < 1e9 ? std::lround(seconds) : 0;
    char scratch[32];
    if (total >= 3600)
        std::snprintf(scratch, sizeof scratch, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(scratch, sizeof scratch, "%ld:%02ld", total / 60, total % 60);
    return CopyText(buffer, size, scratch);
}

char* FormatSpeed(char* buffer, size_t size, double bytesPerSecond)
{
    char scratch[32];
    if (!(bytesPerSecond >= 0) || bytesPerSecond > 1e12)
        bytesPerSecond = 0;
    if (bytesPerSecond < 1000)
        std::snprintf(scratch, sizeof scratch, "%.0f B/s", bytesPerSecond);
    else
        std::snprintf(scratch, sizeof scratch, "%.1f kB/s", bytesPerSecond / 1000);
    return CopyText(buffer, size, scratch);
}
