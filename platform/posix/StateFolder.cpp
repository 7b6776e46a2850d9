#include "platform/StateFolder.h"

#include <cstdlib>

namespace platform {

std::string StateFolder()
{
    if (const char* own = std::getenv("TRAILMARK_STATE_DIR"); own != nullptr && *own != '\0')
        return own;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg == '/')
        return std::string(xdg) + "/trailmark";
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return std::string(home) + "/.local/state/trailmark";
    return std::string();
}

}  // namespace platform
