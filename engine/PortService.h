// The serial ports the engine offers its front ends: the COM list a user
// picks from, each COM number with the device behind it.
//
// The wizard's connection page and `trailmark ports` show this list; the
// engine opens the port the user chose by its number (or by a device path,
// SetPortDevices). The naming rules (which device stands for COMn) are the
// platform's: platform/PortNames.h with one backend per system (Linux sysfs,
// Windows SetupAPI), chosen by the build, so a front end works unchanged on
// either. A front end never calls the platform's port naming itself.
//
// Threading: every function may be called from any thread; the list may
// take a moment (it looks at the system's devices), so the wizard calls it
// off its user-interface thread.
#pragma once

#include <string>
#include <vector>

#include "platform/PortNames.h"

namespace CHERFLoaderLib {

// One COM entry: number, device path (empty when no device stands for it)
// and where the device came from ("USB serial adapter <name>", "on-board
// UART", "set by TRAILMARK_COM3", ...).
using CPortEntry = platform::CPortEntry;

// The entries COM1 to COM9 always have (on Windows the list goes on with the
// system's ports above COM9).
constexpr int PORT_LIST_COUNT = platform::PORT_LIST_COUNT;

// COM1..COM9 with their devices and descriptions.
std::vector<CPortEntry> ListComPorts();

// What makes two names of a port one device (platform::PortDeviceKey): the
// same key means the same device. Empty when the name leads to nothing.
std::string PortDeviceKey(const std::string& device);

}  // namespace CHERFLoaderLib
