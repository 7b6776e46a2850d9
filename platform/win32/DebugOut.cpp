// Debug texts to the debugger (OutputDebugStringA), and to standard error as
// well when TRAILMARK_DEBUG is set, as on the other systems.
#include "platform/DebugOut.h"

#include <cstdio>
#include <atomic>
#include <cstdlib>

#include <windows.h>

namespace platform {

namespace {
std::atomic<bool> g_bEnabled{false};
}  // namespace

void EnableDebugOut()
{
    g_bEnabled = true;
}

bool IsDebugOutEnabled()
{
    return g_bEnabled || std::getenv("TRAILMARK_DEBUG") != nullptr;
}

void DebugOut(const char* text)
{
    if (text == nullptr)
        return;
    OutputDebugStringA(text);
    if (!IsDebugOutEnabled())
        return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace platform
