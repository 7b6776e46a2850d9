// Debug texts to the debugger (OutputDebugStringA), and to standard error as
// well while the switch (platform/DebugOut.cpp) is on, as on the other systems.
#include "platform/DebugOut.h"

#include <cstdio>

#include <windows.h>

namespace platform {

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
