// The serial ports the engine offers its front ends: the COM list a user
// picks from, each COM number with the device behind it, and the port value
// a front end hands the engine.
//
// The wizard's connection page and `trailmark ports` show this list; the
// engine opens the port the user chose as one CPortId, a COM number or a
// device path (CHERFLoader::SetPorts), which the command line reads from
// what the user typed with ParsePortId. The naming rules (which device
// stands for COMn) are the platform's: platform/PortNames.h with one backend
// per system (Linux sysfs, Windows SetupAPI), chosen by the build, so a front
// end works unchanged on either. A front end never calls the platform's port
// naming itself.
//
// Threading: every function may be called from any thread; the list may
// take a moment (it looks at the system's devices), so the wizard calls it
// off its user-interface thread.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/PortId.h"
#include "platform/PortNames.h"

namespace CHERFLoaderLib {

// One COM entry: number, device path (empty when no device stands for it)
// and where the device came from ("USB serial adapter <name>", "on-board
// UART", "set by TRAILMARK_COM3", ...).
using CPortEntry = platform::CPortEntry;

// The entries COM1 to COM9 always have (on Windows the list goes on with the
// system's ports above COM9).
constexpr int PORT_LIST_COUNT = platform::PORT_LIST_COUNT;

// One port: a COM number or a device path used as typed, with the name
// messages give it (platform/PortId.h).
using CPortId = platform::CPortId;
// "COM3" in any case, or a text holding '/' or '\', as a port; false for
// anything else.
using platform::ParsePortId;

// The secondary and third ports of a run unless a front end names others:
// COM2 and COM4. They are opened only when the options ask for a second
// link (and for a third port).
constexpr int32_t PORT_SECONDARY_DEFAULT = 2;
constexpr int32_t PORT_THIRD_DEFAULT = 4;

// The ports one receiver is reached on, as one value from where the user
// names them to where the engine opens them: port[0] the primary, port[1]
// the secondary and port[2] the third (COM2 and COM4 unless named). A
// receiver on one port is made from its CPortId.
struct CReceiverPorts {
    CPortId port[3] = {CPortId(), CPortId::Com(PORT_SECONDARY_DEFAULT), CPortId::Com(PORT_THIRD_DEFAULT)};

    CReceiverPorts() = default;
    CReceiverPorts(CPortId primary) { port[0] = std::move(primary); }  // NOLINT: a receiver on one port
    CReceiverPorts(CPortId primary, CPortId secondary, CPortId third)
    {
        port[0] = std::move(primary);
        port[1] = std::move(secondary);
        port[2] = std::move(third);
    }
};

// COM1..COM9 with their devices and descriptions.
std::vector<CPortEntry> ListComPorts();

// What makes two names of a port one device (platform::PortDeviceKey): the
// same key means the same device. Empty when the name leads to nothing.
std::string PortDeviceKey(const std::string& device);

}  // namespace CHERFLoaderLib
