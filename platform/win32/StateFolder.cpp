#include "platform/StateFolder.h"

#include <cstdlib>

namespace platform {

std::string StateFolder()
{
    if (const char* own = std::getenv("TRAILMARK_STATE_DIR"); own != nullptr && *own != '\0')
        return own;
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0')
        return std::string(local) + "\\Trailmark";
    return std::string();
}

}  // namespace platform
