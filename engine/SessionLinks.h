// The serial links of one upgrade run: the three ports (each a COM number or
// a device path), the boot-loader and flash-monitor managers that talk over
// them, and whether the secondary monitor link answered.
//
// A group of the upgrade session (HERFLoaderImpl.h); the managers point at
// the ports held here. Threading: the ports are set on the front end's
// thread, and Open runs in Start, all before the worker exists.
// From then on the worker alone uses the links, except during the data
// upload, when each upload thread sends on its own monitor manager
// (m_MonitorMgr on the primary port, m_SecondaryMonitorMgr on the secondary
// and third) while the worker only waits. AnyPortGone may be called from any
// thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/PortService.h"
#include "link/QBootManager.h"
#include "link/QMonitorManager.h"
#include "link/SerialHandler.h"

namespace CHERFLoaderLib {

class CSessionLinks {
public:
    // Opens the ports the options need, at 19200 baud 8O1: the primary with
    // RTS and DTR raised (LINE_PACKET), the secondary (and with
    // HLO_THIRD_PORT the third) with them low (LINE_PACKET_LINES_LOW). False
    // with the reason in `error`; ports that did open stay open until Close.
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
    // Port 0..2 as the user knows it: COMn, or its device path as typed.
    const std::string& PortName(int index) const { return m_Ports.port[index].Name(); }
    bool AnyPortGone() const;
    // The name of the first port that is gone; empty when none is.
    std::string GonePortName() const;

    // The primary, secondary and third port.
    CReceiverPorts m_Ports{CPortId::Com(1)};
    CSerialHandler m_PrimaryPort;
    CSerialHandler m_SecondaryPort;
    CSerialHandler m_ThirdPort;
    CQBootManager m_BootMgr;
    CQMonitorManager m_MonitorMgr;
    CQMonitorManager m_SecondaryMonitorMgr;
    bool m_bUseSecondary = false;

private:
    bool OpenPort(CSerialHandler& port, int index, const platform::CLineSettings& settings, std::string& error);
};

}  // namespace CHERFLoaderLib
