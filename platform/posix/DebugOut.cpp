#include "platform/DebugOut.h"

#include <cstdio>
#include <atomic>
#include <cstdlib>

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
    if (text == nullptr || !IsDebugOutEnabled())
        return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace platform
