#include "engine/PortService.h"

namespace CHERFLoaderLib {

std::vector<CPortEntry> ListComPorts()
{
    return platform::ListComPorts();
}

std::string PortDeviceKey(const std::string& device)
{
    return platform::PortDeviceKey(device);
}

}  // namespace CHERFLoaderLib
