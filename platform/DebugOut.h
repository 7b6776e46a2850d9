// Debug trace output for developers.
//
// Texts go to standard error only when the environment variable
// TRAILMARK_DEBUG is set or EnableDebugOut was called; otherwise they are
// dropped, as they are once a write to standard error failed (see
// WriteOutput in Console.h). On Windows they also always go to the debugger
// (OutputDebugStringA). Used by the serial handler around line breaks and by
// the engine for every notification but the percentages. Thread-safe (one
// write per text).
#pragma once

namespace platform {

void DebugOut(const char* text);
// Sends the texts to standard error from now on, as if TRAILMARK_DEBUG were
// set (the command line's -v).
void EnableDebugOut();
// Whether texts reach standard error, so that a caller need not build a
// text that would be dropped.
bool IsDebugOutEnabled();

}  // namespace platform
