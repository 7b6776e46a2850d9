// Debug texts to standard error while the switch (platform/DebugOut.cpp) is on.
#include "platform/DebugOut.h"

#include <cstdio>

namespace platform {

void DebugOut(const char* text)
{
    if (text == nullptr || !IsDebugOutEnabled())
        return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace platform
