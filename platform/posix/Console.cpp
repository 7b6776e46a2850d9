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
    sigemptyset(&action.sa_mask);
    // A write the signal interrupts goes on instead of failing with EINTR:
    // a failed write ends that stream's output for the rest of the run.
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous = {};
        // Whoever started the program with the signal ignored (nohup, a
        // background job) asked for the run to survive it.
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        sigaction(number, &action, nullptr);
    }
}

void IgnoreBrokenPipe()
{
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace platform
