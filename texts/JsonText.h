// JSON string quoting: the one place that turns a text into a JSON string.
//
// Used by the command line's JSON writer (tools/trailmark/JsonWriter.h) and
// by the virtual receiver's report. Texts from outside (package names,
// paths, the upgrade record line) may hold any bytes: quotes, backslashes
// and control characters are escaped and bytes that are not valid UTF-8
// become U+FFFD, so the result is always valid JSON. Pure function, safe
// from any thread.
#pragma once

#include <string>

// `text` as a quoted, escaped JSON string.
std::string JsonString(const std::string& text);
