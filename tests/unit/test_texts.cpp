// Version, date, time and model-name texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "texts/Texts.h"
#include "platform/LocaleText.h"

namespace {

// The locale is taken once, on first use: pin it to "C" before any test runs
// so the English month names and the 24-hour clock below are what we get.
const bool s_bLocalePinned = putenv(const_cast<char*>("LC_ALL=C")) == 0;

struct CNumberCase {
    unsigned nValue;
    const char* pszExpected;
};

TEST(Texts, VersionShowsMajorAndTwoDigitMinorAndRefusesFiveDigits)
{
    const CNumberCase cases[] = {
        {9999, "v99.99"}, {10000, "v?.??"}, {1234, "v12.34"}, {5, "v0.05"},
        {182, "v1.82"},   {0, "v0.00"},     {4294967295u, "v?.??"},
    };
    char text[64];
    for (const CNumberCase& c : cases)
        EXPECT_STREQ(FormatVersion(text, sizeof text, c.nValue), c.pszExpected) << c.nValue;
}

TEST(Texts, ModelNamesCoverTheTableAndNothingElse)
{
    const CNumberCase cases[] = {
        {1, "ModelH"},  {4, "ModelJ"},  {8, "ModelK"},  {9, "ModelA"}, {10, "HandheldOS"}, {11, "ModelB"},
        {12, "ModelC"}, {13, "ModelE"}, {14, "ModelF"}, {15, "ModelG"}, {0, "?"},          {2, "?"},
        {5, "?"},       {16, "?"},      {65537, "?"},
    };
    char text[64];
    for (const CNumberCase& c : cases)
        EXPECT_STREQ(FormatModelName(text, sizeof text, c.nValue), c.pszExpected) << c.nValue;
}

TEST(Texts, DateIsFormattedOnlyWhenItExists)
{
    ASSERT_TRUE(s_bLocalePinned);
    struct CDateCase {
        unsigned nYear, nMonth, nDay;
        const char* pszExpected;
    } const cases[] = {
        {2006, 5, 12, "12 May 2006"},  {2100, 12, 31, "31 Dec 2100"}, {1900, 1, 1, "1 Jan 1900"},
        {2004, 2, 29, "29 Feb 2004"},  {2000, 2, 29, "29 Feb 2000"},  {1900, 2, 29, "?? ??? ????"},
        {2006, 2, 31, "?? ??? ????"},  {2006, 4, 31, "?? ??? ????"},  {2006, 0, 12, "?? ??? ????"},
        {1899, 5, 12, "?? ??? ????"},  {2101, 1, 1, "?? ??? ????"},   {2006, 13, 1, "?? ??? ????"},
        {2006, 5, 0, "?? ??? ????"},   {2006, 5, 32, "?? ??? ????"},
        // 65536 + 2000: a 16-bit wrap of the year would take this for 2000.
        {67536, 1, 1, "?? ??? ????"},
    };
    for (const CDateCase& c : cases) {
        char text[64];
        std::memset(text, 'X', sizeof text);
        EXPECT_STREQ(FormatDate(text, sizeof text, c.nYear, c.nMonth, c.nDay), c.pszExpected)
            << c.nYear << "-" << c.nMonth << "-" << c.nDay;
    }
}

TEST(Texts, TimeOfDayIncludingMidnightAtTheEnd)
{
    ASSERT_TRUE(s_bLocalePinned);
    const CNumberCase cases[] = {
        {3661, "01:01:01"}, {0, "00:00:00"}, {86399, "23:59:59"}, {86400, "24:00:00"}, {86401, "??:??:??"},
    };
    char text[64];
    for (const CNumberCase& c : cases)
        EXPECT_STREQ(FormatTime(text, sizeof text, c.nValue), c.pszExpected) << c.nValue;
}

// Catches: a family in decimal or with leading zeros, consecutive boards
// not joined into a range (or a gap joined), a duration that overflows into
// nonsense or rounds down, and a speed without its unit.
TEST(Texts, FamilyBoardsDurationAndSpeed)
{
    char text[64];
    EXPECT_STREQ(FormatFamily(text, sizeof text, 0x3000), "0x3000");
    EXPECT_STREQ(FormatFamily(text, sizeof text, 0xFF000), "0xFF000");
    struct CBoardsCase {
        std::vector<int32_t> boards;
        const char* pszExpected;
    } const boards[] = {
        {{4}, "board 4"},
        {{5, 6, 7, 8, 9, 10}, "boards 5-10"},
        {{0, 1, 4}, "boards 0-1, 4"},
        {{0, 2, 3, 7}, "boards 0, 2-3, 7"},
        {{}, "no board"},
    };
    for (const CBoardsCase& c : boards)
        EXPECT_STREQ(FormatBoards(text, sizeof text, c.boards.data(), c.boards.size()), c.pszExpected);
    struct CSecondsCase {
        double dSeconds;
        const char* pszExpected;
    } const durations[] = {
        {0, "0:00"}, {41.6, "0:42"}, {725, "12:05"}, {3723, "1:02:03"}, {-5, "0:00"}, {1e300, "0:00"},
    };
    for (const CSecondsCase& c : durations)
        EXPECT_STREQ(FormatDuration(text, sizeof text, c.dSeconds), c.pszExpected) << c.dSeconds;
    EXPECT_STREQ(FormatSpeed(text, sizeof text, 950), "950 B/s");
    EXPECT_STREQ(FormatSpeed(text, sizeof text, 10750), "10.8 kB/s");
    EXPECT_STREQ(FormatSpeed(text, sizeof text, -1), "0 B/s");
}

TEST(Texts, SmallBuffersAreTruncatedAndTerminatedAndSizeZeroWritesNothing)
{
    char text[8];
    EXPECT_STREQ(FormatVersion(text, 4, 182), "v1.");
    EXPECT_STREQ(FormatModelName(text, 3, 10), "Ha");
    EXPECT_STREQ(FormatDate(text, 5, 2006, 5, 12), "12 M");
    EXPECT_STREQ(FormatDate(text, 4, 2006, 2, 31), "?? ");
    EXPECT_STREQ(FormatTime(text, 3, 3661), "01");
    EXPECT_STREQ(FormatTime(text, 1, 3661), "");

    std::memset(text, 'X', sizeof text);
    EXPECT_EQ(FormatVersion(text, 0, 182), text);
    EXPECT_EQ(FormatDate(text, 0, 2006, 5, 12), text);
    EXPECT_EQ(FormatTime(text, 0, 1), text);
    EXPECT_EQ(FormatModelName(text, 0, 1), text);
    EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, 'X'));
}

// The worker thread forms texts while the front end may too; the locale is
// made on first use, which here happens in several threads at once.
TEST(LocaleText, GivesTheSameTextsFromSeveralThreadsAtOnce)
{
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&mismatches, t] {
            for (int i = 0; i < 500; ++i) {
                mismatches[t] += platform::LocalDateText(2006, 5, 12) != "12 May 2006";
                mismatches[t] += platform::LocalTimeText(1, 1, 1) != "01:01:01";
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(LocaleText, RefusesDaysTheMonthDoesNotHave)
{
    EXPECT_EQ(platform::LocalDateText(2006, 2, 29), "");
    EXPECT_EQ(platform::LocalDateText(2006, 6, 31), "");
    EXPECT_EQ(platform::LocalTimeText(24, 0, 1), "");
    EXPECT_EQ(platform::LocalTimeText(-1, 0, 0), "");
}

}  // namespace
