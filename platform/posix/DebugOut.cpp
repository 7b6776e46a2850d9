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

void DebugOut(const char* text)
{
    if (text == nullptr || (!g_bEnabled && std::getenv("TRAILMARK_DEBUG") == nullptr))
        return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace platform
