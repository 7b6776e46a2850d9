// Debug texts to standard error while the switch (platform/DebugOut.cpp) is on,
// until a write to it fails.
#include "platform/DebugOut.h"

#include <cstdio>

#include "platform/Console.h"

namespace platform {

void DebugOut(const char* text)
{
    if (text == nullptr || !IsDebugOutEnabled())
        return;
    // A standard error that failed once (a full disk, a closed terminal)
    // takes nothing more, and the run goes on.
    WriteOutput(stderr, text);
}

}  // namespace platform
