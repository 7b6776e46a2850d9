// Standard output or standard error as `trailmark upgrade` writes to them.
//
// Every writer of the upgrade goes through one: the live bars, the plain
// and JSON lines, the tray, the summary table and the program's own error
// lines. Print collects formatted text and Flush hands it to the system in
// one write (platform::WriteOutput), so that a redraw of the bars reaches a
// terminal whole. Once a write failed (the reader of a pipe went away, the
// terminal was closed, the disk is full) the stream takes nothing more for
// the rest of the run: Print and Flush then cost nothing and say nothing,
// the upgrade goes on, and its exit status tells the result.
//
// Threading: an object is used by one thread (the main thread's views share
// one). The failure is the stream's own (its stdio error indicator), so every
// object over the same stream, and the engine's trace on standard error, see
// it at once.
#pragma once

#include <cstdio>
#include <string>

#include "platform/PrintfFormat.h"

class COutputStream {
public:
    explicit COutputStream(std::FILE* stream) : m_pStream(stream) {}
    COutputStream(const COutputStream&) = delete;
    COutputStream& operator=(const COutputStream&) = delete;

    void Print(const char* format, ...) TRAILMARK_PRINTF_FORMAT(2, 3);
    void Write(const std::string& text);
    // Writes what was collected; false once the stream has failed.
    bool Flush();
    bool IsOpen() const;

private:
    std::FILE* m_pStream;
    std::string m_strPending;
};
