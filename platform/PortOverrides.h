// The devices set for COM numbers by the environment (TRAILMARK_COMn), which
// every system's port naming looks at first. Used by the PortNames backends
// only. Thread-safe.
#pragma once

#include <string>

namespace platform {

// The path set for COM<number>, with who set it ("set by
// TRAILMARK_COM3"); false when nothing is set.
bool FindPortOverride(int number, std::string& path, std::string& description);

// True for a null prefix and for "COM" in any case.
bool IsComPortPrefix(const char* prefix);

}  // namespace platform
