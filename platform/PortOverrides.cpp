#include "platform/PortOverrides.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace platform {

bool FindPortOverride(int number, std::string& path, std::string& description)
{
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

}  // namespace platform
