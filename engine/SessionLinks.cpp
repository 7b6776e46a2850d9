#include "engine/SessionLinks.h"

#include "engine/LoaderCodes.h"
#include "link/ReceiverLines.h"

namespace CHERFLoaderLib {

namespace {
constexpr int CLOSING_COMMAND_TIMEOUT_MS = 1000;
}  // namespace

bool CSessionLinks::OpenPort(CSerialHandler& port, int index, const platform::CLineSettings& settings,
                             std::string& error)
{
    const CPortId& id = m_Ports.port[index];
    // A port given by its device path needs no number of its own.
    if (!id.IsDevicePath() && (id.Number() < 0 || id.Number() > platform::PORT_NUMBER_MAX)) {
        error = id.Name() + ": no such port";
        return false;
    }
    if (port.Open(id, settings))
        return true;
    error = port.GetLastError();
    if (error.empty())
        error = "cannot open " + id.Name();
    return false;
}

bool CSessionLinks::Open(uint32_t options, std::string& error)
{
    if (!OpenPort(m_PrimaryPort, 0, LINE_PACKET, error))
        return false;
    if (options & HLO_PRIMARY_PORT_ONLY)
        return true;
    if (!OpenPort(m_SecondaryPort, 1, LINE_PACKET_LINES_LOW, error))
        return false;
    if (options & HLO_THIRD_PORT)
        return OpenPort(m_ThirdPort, 2, LINE_PACKET_LINES_LOW, error);
    return true;
}

bool CSessionLinks::AreOpen(uint32_t options) const
{
    bool open = m_PrimaryPort.IsOpen();
    if (!(options & HLO_PRIMARY_PORT_ONLY)) {
        open = open && m_SecondaryPort.IsOpen();
        if (options & HLO_THIRD_PORT)
            open = open && m_ThirdPort.IsOpen();
    }
    return open;
}

void CSessionLinks::ReopenPrimary()
{
    m_PrimaryPort.Close();
    m_PrimaryPort.Open(m_Ports.port[0], LINE_PACKET);
}

bool CSessionLinks::Close(uint32_t options, bool keepMonitor, bool& monitorEnded)
{
    bool pending = true;
    monitorEnded = false;
    if (m_MonitorMgr.IsConnected() && keepMonitor) {
        m_MonitorMgr.Disconnect();
        pending = false;
    } else if (m_MonitorMgr.IsConnected()) {
        monitorEnded = true;
        if (!(options & HLO_SKIP_FIRST_CLOSING_COMMAND) &&
            m_MonitorMgr.Command(MON_CMD_CLOSE, CLOSING_COMMAND_TIMEOUT_MS, 0, 0, 0, nullptr) == LINK_OK)
            pending = false;
        if (pending && !(options & HLO_SKIP_SECOND_CLOSING_COMMAND) &&
            m_MonitorMgr.Command(MON_CMD_RETURN_TO_BOOT, CLOSING_COMMAND_TIMEOUT_MS, 0, 0, 0, nullptr) == LINK_OK)
            pending = false;
        m_MonitorMgr.Disconnect();
    }
    if (m_BootMgr.IsConnected()) {
        if (pending && !(options & HLO_SKIP_FIRST_CLOSING_COMMAND) &&
            m_BootMgr.Command(BOOT_CMD_CLOSE_83, CLOSING_COMMAND_TIMEOUT_MS, 0, 0, 0, nullptr) == LINK_OK)
            pending = false;
        if (pending && !(options & HLO_SKIP_SECOND_CLOSING_COMMAND))
            m_BootMgr.Command(BOOT_CMD_CLOSE_82, CLOSING_COMMAND_TIMEOUT_MS, 0, 0, 0, nullptr);
        m_BootMgr.Disconnect();
    }
    m_BootMgr.Disconnect();
    m_MonitorMgr.Disconnect();
    m_SecondaryMonitorMgr.Disconnect();
    if (!m_PrimaryPort.Close())
        return false;
    if (!m_SecondaryPort.Close())
        return false;
    return m_ThirdPort.Close();
}

bool CSessionLinks::AnyPortGone() const
{
    return m_PrimaryPort.IsDeviceGone() || m_SecondaryPort.IsDeviceGone() || m_ThirdPort.IsDeviceGone();
}

std::string CSessionLinks::GonePortName() const
{
    const CSerialHandler* ports[] = {&m_PrimaryPort, &m_SecondaryPort, &m_ThirdPort};
    for (int i = 0; i < 3; ++i)
        if (ports[i]->IsDeviceGone())
            return PortName(i);
    return std::string();
}

}  // namespace CHERFLoaderLib
