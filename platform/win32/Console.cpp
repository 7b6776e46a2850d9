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

}  // namespace platform
