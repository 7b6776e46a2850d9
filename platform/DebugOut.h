// Debug trace output for developers.
//
// Texts go to standard error only when the environment variable
// TRAILMARK_DEBUG is set; otherwise they are dropped. On Windows they also
// always go to the debugger (OutputDebugStringA). Used by the serial handler
// around line breaks. Thread-safe (one write per text).
#pragma once

namespace platform {

void DebugOut(const char* text);

}  // namespace platform
