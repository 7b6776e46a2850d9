#include "platform/Console.h"

#include <atomic>

#include <io.h>
#include <windows.h>

namespace platform {
namespace {

std::atomic<void (*)()> g_pInterruptHandler{nullptr};

// Runs on a thread the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    void (*handler)() = g_pInterruptHandler.load();
    if (handler == nullptr)
        return FALSE;
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        handler();
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // The system ends the process once this returns, or about 5 s after
        // the event. Before the flash work the interrupt cancels the run, as
        // Ctrl-C does; flash work that runs, or that began before the cancel
        // was decided, is given as long as the system allows to end first,
        // since a receiver cut off between erase and program has no firmware.
        handler();
        WaitForCriticalWork(CLOSE_SETTLE_MS, CLOSE_WAIT_MS);
        return TRUE;
    default: return FALSE;
    }
}

}  // namespace

bool PrepareTerminal(std::FILE* stream)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode))
        return false;  // a file or a pipe
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0)
        return true;
    return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void CatchInterrupt(void (*handler)())
{
    g_pInterruptHandler = handler;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void IgnoreBrokenPipe()
{
    // A write to a pipe whose reader has gone fails with an error here
    // anyway; no signal ends the process.
}

}  // namespace platform
