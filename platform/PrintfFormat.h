// TRAILMARK_PRINTF_FORMAT(f, a): lets the compiler check a printf-like
// function's calls (format string argument f, first value a) against the
// printf the program really uses. MinGW's C++ runtime uses its own
// C99-conforming printf (with %zu and %lld), which the plain "printf" check
// would take for the old Windows one; its own archetype is named there.
#pragma once

#if defined(__MINGW_PRINTF_FORMAT)
#define TRAILMARK_PRINTF_FORMAT(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#else
#define TRAILMARK_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif
