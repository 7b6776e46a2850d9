#include "engine/PortService.h"

namespace CHERFLoaderLib {

std::vector<CPortEntry> ListComPorts()
{
    return platform::ListComPorts();
}

}  // namespace CHERFLoaderLib
