// Debug texts to the debugger (OutputDebugStringA), and to standard error as
// well while the switch (platform/DebugOut.cpp) is on and until a write to it
// fails, as on the other systems.
#include "platform/DebugOut.h"

#include <cstdio>

#include <windows.h>

#include "platform/Console.h"

namespace platform {

void DebugOut(const char* text)
{
    if (text == nullptr)
        return;
    OutputDebugStringA(text);
    if (!IsDebugOutEnabled())
        return;
    WriteOutput(stderr, text);
}

}  // namespace platform
