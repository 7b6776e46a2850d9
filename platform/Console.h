// The terminal a command-line program writes to, and its interrupt key.
//
// Called by the `trailmark` command line (its upgrade shows live bars on a
// terminal and stops on Ctrl-C). PrepareTerminal is called from the main
// thread before output starts; CatchInterrupt once at start.
//
// Backends: posix/Console.cpp (isatty, sigaction for SIGINT and SIGTERM),
// win32/Console.cpp (the console mode, SetConsoleCtrlHandler).
#pragma once

#include <cstdio>

namespace platform {

// True when stream is a terminal that carries the cursor-movement escapes
// (ESC [ n A, ESC [ 2K, ESC [ J). A Windows console is switched to process
// them; one that cannot be gives false.
bool PrepareTerminal(std::FILE* stream);

// Calls handler when the user interrupts the program (Ctrl-C; SIGTERM on
// POSIX systems, Ctrl-Break on Windows). The handler may run in a signal handler or on a thread of the
// system's: it must only set a lock-free atomic flag.
void CatchInterrupt(void (*handler)());

}  // namespace platform
