#include "platform/PortOverrides.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/PortNames.h"

namespace platform {
namespace {

std::mutex g_overrideMutex;
std::map<int, std::string> g_overrides;

}  // namespace

bool FindPortOverride(int number, std::string& path, std::string& description)
{
    {
        std::lock_guard<std::mutex> lock(g_overrideMutex);
        auto it = g_overrides.find(number);
        if (it != g_overrides.end()) {
            path = it->second;
            description = "set for this run";
            return true;
        }
    }
    std::string variable = "TRAILMARK_COM" + std::to_string(number);
    const char* value = std::getenv(variable.c_str());
    if (value == nullptr || *value == '\0')
        return false;
    path = value;
    description = "set by " + variable;
    return true;
}

bool IsComPortPrefix(const char* prefix)
{
    if (prefix == nullptr)
        return true;
    std::string text(prefix);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text == "COM";
}

void SetPortDevice(int number, const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_overrideMutex);
    if (path.empty())
        g_overrides.erase(number);
    else
        g_overrides[number] = path;
}

}  // namespace platform
