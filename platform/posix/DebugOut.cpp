#include "platform/DebugOut.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void DebugOut(const char* text)
{
    if (text == nullptr || std::getenv("TRAILMARK_DEBUG") == nullptr)
        return;
    std::fputs(text, stderr);
    std::fflush(stderr);
}

}  // namespace platform
