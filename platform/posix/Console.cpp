#include "platform/Console.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<void (*)()> g_pInterruptHandler{nullptr};

void OnSignal(int)
{
    if (void (*handler)() = g_pInterruptHandler.load())
        handler();
}

}  // namespace

bool PrepareTerminal(std::FILE* stream)
{
    return isatty(fileno(stream)) != 0;
}

void CatchInterrupt(void (*handler)())
{
    g_pInterruptHandler = handler;
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace platform
