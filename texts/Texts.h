// Version, date, time, model-name and other texts made from numbers.
//
// Small free functions that turn the numbers a receiver or a package carries
// into the texts the user sees: "v1.82", "12 May 2006", the locale's time of
// day, "ModelK", a device family "0x3000", the boards "boards 5-10", and the
// progress texts both front ends show, "0:42" and "10.8 kB/s". Each writes at most `size` bytes (always terminated when size
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

// A device family (a family word masked with 0xFF000) in hexadecimal without
// leading zeros, as every text names it: "0x3000".
char* FormatFamily(char* buffer, size_t size, uint32_t family);

// Board identifiers in ascending order as "board 4", "boards 5-10" or
// "boards 0-1, 4"; "no board" for none.
char* FormatBoards(char* buffer, size_t size, const int32_t* boards, size_t count);

// A duration rounded to the second: "0:42", "12:05", "1:02:03"; "0:00" for
// anything below half a second, negative times included.
char* FormatDuration(char* buffer, size_t size, double seconds);

// A transfer speed: "950 B/s", "10.8 kB/s".
char* FormatSpeed(char* buffer, size_t size, double bytesPerSecond);

// The line every front end shows to say which flash monitor program a run
// sends: the prefix followed by the file's path, or the built-in text for the
// images the program carries (made for the virtual receiver only).
inline constexpr const char* MONITOR_FILE_TEXT_PREFIX = "Monitor file: ";
inline constexpr const char* MONITOR_BUILT_IN_TEXT =
    "Monitor file: none (built-in monitor for the virtual receiver)";
