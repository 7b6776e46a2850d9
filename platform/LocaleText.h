// Locale-dependent date and time texts.
//
// The text helpers format dates and times "the way the user's locale does".
// This is the one place that knows how the operating system exposes the
// locale; everything above it sees plain strings. Thread-safe.
#pragma once

#include <string>

namespace platform {

// The date with the "d MMM yyyy" picture: day without leading zero, the
// locale's abbreviated month name, four-digit year ("12 May 2006").
// Returns an empty string when the date does not exist (31 February).
std::string LocalDateText(int year, int month, int day);

// The locale's time of day for hour (0..24), minute and second.
std::string LocalTimeText(int hour, int minute, int second);

}  // namespace platform
