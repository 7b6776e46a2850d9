// Win32 error codes in the terms the portable code uses: the C library's
// error numbers (whose texts read the same on every system) and the
// system's own sentence for a code. Used by the Win32 backends only.
#pragma once

#include <string>

#include <windows.h>

namespace platform {

// The error number closest to a GetLastError code; EIO for codes without one.
int ErrnoFromSystemError(DWORD code);

// The system's text for a code, without the trailing line break.
std::string SystemErrorText(DWORD code);

}  // namespace platform
