// The switch every system's debug output looks at: EnableDebugOut (the
// command line's -v) or the environment variable TRAILMARK_DEBUG.
#include "platform/DebugOut.h"

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

}  // namespace platform
