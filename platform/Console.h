// The terminal a command-line program writes to, its interrupt key, the
// end of its session, and output that may fail.
//
// Called by the `trailmark` command line (its upgrade shows live bars on a
// terminal, stops on Ctrl-C before the flash work and goes on to its end
// after) and by the debug output (DebugOut.h). IgnoreBrokenPipe is called
// once at the program's start; PrepareTerminal from the main thread before
// output starts; CatchInterrupt once, before the first run. WriteOutput and
// the critical-work calls may be called from any thread.
//
// Backends: posix/Console.cpp (isatty, sigaction for SIGINT, SIGTERM and
// SIGHUP, SIGPIPE ignored), win32/Console.cpp (the console mode,
// SetConsoleCtrlHandler, the wait of a console close for critical work);
// ConsoleOutput.cpp (the output and the critical-work count) is shared.
#pragma once

#include <cstdio>
#include <string_view>

namespace platform {

// True when stream is a terminal that carries the cursor-movement escapes
// (ESC [ n A, ESC [ 2K, ESC [ J). A Windows console is switched to process
// them; one that cannot be gives false.
bool PrepareTerminal(std::FILE* stream);

// Calls handler when the user interrupts the program or its session goes
// away: Ctrl-C, SIGTERM and SIGHUP (a closed terminal, a dropped remote
// login) on POSIX systems; Ctrl-C, Ctrl-Break and the console's close,
// logoff and shutdown events on Windows. A signal the program was started
// with ignored (nohup, a background job of a shell without job control)
// stays ignored. The handler may run in a signal handler or on a thread of
// the system's: it must only set a lock-free atomic flag.
//
// Windows ends the process once its handler for a close, logoff or
// shutdown returns. That handler first gives the program CLOSE_SETTLE_MS to
// act on the interrupt (a cancel, or flash work it could no longer stop
// reported as critical work), then waits while critical work runs, up to
// CLOSE_WAIT_MS in all: a little under the 5 s after which the system ends
// the process anyway.
void CatchInterrupt(void (*handler)());
constexpr int CLOSE_SETTLE_MS = 250;
constexpr int CLOSE_WAIT_MS = 4500;

// A write to a pipe whose reader has gone fails (EPIPE) instead of ending
// the process: SIGPIPE is ignored from now on, for the whole process.
// Nothing on Windows, which has no such signal.
void IgnoreBrokenPipe();

// Writes text to stream (standard output or standard error) and flushes it.
// The first write that fails (a pipe whose reader has gone, a terminal that
// was closed, a full disk) ends the stream's output for the rest of the
// process: that call and every later one return false, and later ones try
// nothing, so a program whose output is lost goes on with its work and
// makes no further system calls for it. The mark is the stream's own error
// indicator, which stdio keeps once a write failed and nothing here clears.
bool WriteOutput(std::FILE* stream, std::string_view text);
// False once a write to stream failed.
bool IsOutputOpen(std::FILE* stream);

// Work that must not be cut off by the end of the process, such as a
// receiver's flash being written: counted, so that each of several
// receivers begins and ends its own. Every BeginCriticalWork is matched by
// one EndCriticalWork.
void BeginCriticalWork();
void EndCriticalWork();
bool IsCriticalWorkRunning();
// Waits settleMs, and longer while critical work runs, but no longer than
// limitMs in all; true when none runs at the end. Used by the console's
// close handler on Windows.
bool WaitForCriticalWork(int settleMs, int limitMs);

}  // namespace platform
