// Debug texts to the debugger (OutputDebugStringA), and to standard error as
// well when TRAILMARK_DEBUG is set, as on the other systems.
#include "platform/DebugOut.h"

#include <cstdio>
#include <cstdlib>

#include <windows.h>

namespace platform {

void DebugOut(const char* text)
{
    if (text == nullptr)
        return;
    OutputDebugStringA(text);
    if (std::getenv("TRAILMARK_DEBUG") == nullptr)
        return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace platform
