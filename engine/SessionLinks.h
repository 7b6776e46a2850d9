// The serial links of one upgrade run: the three ports with their COM numbers
// or device paths, the boot-loader and flash-monitor managers that talk over
// them, and whether the secondary monitor link answered.
//
// A group of the upgrade session (HERFLoaderImpl.h); the managers point at
// the ports held here. Threading: the port numbers and paths are set on the
// front end's thread, and Open runs in Start, all before the worker exists.
// From then on the worker alone uses the links, except during the data
// upload, when each upload thread sends on its own monitor manager
// (m_MonitorMgr on the primary port, m_SecondaryMonitorMgr on the secondary
// and third) while the worker only waits. AnyPortGone may be called from any
// thread.
#pragma once

#include <cstdint>
#include <string>

#include "link/QBootManager.h"
#include "link/QMonitorManager.h"
#include "link/SerialHandler.h"

namespace CHERFLoaderLib {

class CSessionLinks {
public:
    // Opens the ports the options need, at 19200 baud 8O1: the primary with
    // RTS and DTR raised, the secondary (and with HLO_THIRD_PORT the third)
    // with them low. False with the reason in `error`; ports that did open
    // stay open until Close.
    bool Open(uint32_t options, std::string& error);
    // Every port the options need is open.
    bool AreOpen(uint32_t options) const;
    // Opens the primary port again at those settings, once the handheld's
    // passthrough has handed the line over to the receiver.
    void ReopenPrimary();
    // The closing sequence: ends the monitor or the boot-loader link with the
    // closing commands the options allow, then closes the ports. With
    // keepMonitor a connected monitor is left running, unended: its receiver
    // has no whole boot loader to return to. `monitorEnded` tells whether a
    // closing command went to a connected monitor.
    bool Close(uint32_t options, bool keepMonitor, bool& monitorEnded);
    // The device path given for port 0..2, or null for its COM number.
    const char* PortDevice(int index) const;
    // The port as the user knows it: its device path, or COMn.
    std::string PortName(int index) const;
    bool AnyPortGone() const;

    int32_t m_nPrimaryPort = 1;
    int32_t m_nSecondaryPort = 3;
    int32_t m_nThirdPort = 4;
    std::string m_strPortDevice[3];  // device paths given for the ports; empty: COM number
    CSerialHandler m_PrimaryPort;
    CSerialHandler m_SecondaryPort;
    CSerialHandler m_ThirdPort;
    CQBootManager m_BootMgr;
    CQMonitorManager m_MonitorMgr;
    CQMonitorManager m_SecondaryMonitorMgr;
    bool m_bUseSecondary = false;

private:
    bool OpenPort(CSerialHandler& port, int index, bool lines, std::string& error);
};

}  // namespace CHERFLoaderLib
