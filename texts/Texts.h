// Version, date, time and model-name texts.
//
// Small free functions that turn the numbers a receiver or a package carries
// into the texts the user sees: "v1.82", "12 May 2006", the locale's time of
// day, "ModelK". Each writes at most `size` bytes (always terminated when size
// is at least 1) into the caller's buffer and returns that buffer.
// Used by the package reader, the connection checks, the monitor upload and
// the completion record. Safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// "v%1d.%02d" of value / 100 and value % 100; "v?.??" for 10000 and above.
char* FormatVersion(char* buffer, size_t size, unsigned version);

// Model name for a receiver product code; "?" for codes without a name.
char* FormatModelName(char* buffer, size_t size, unsigned productCode);

// Locale date text with the "d MMM yyyy" picture (user's month abbreviations);
// "?? ??? ????" for years outside 1900..2100, months outside 1..12 and days
// outside 1..31.
char* FormatDate(char* buffer, size_t size, unsigned year, unsigned month, unsigned day);

// Locale time of day for a number of seconds after midnight; "??:??:??" above
// 86400.
char* FormatTime(char* buffer, size_t size, unsigned seconds);

// The line every front end shows to say which flash monitor program a run
// sends: the prefix followed by the file's path, or the built-in text for the
// images the program carries (made for the virtual receiver only).
inline constexpr const char* MONITOR_FILE_TEXT_PREFIX = "Monitor file: ";
inline constexpr const char* MONITOR_BUILT_IN_TEXT =
    "Monitor file: none (built-in monitor for the virtual receiver)";
