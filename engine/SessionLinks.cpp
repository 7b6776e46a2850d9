#include "engine/SessionLinks.h"

#include "engine/LoaderCodes.h"

namespace CHERFLoaderLib {

namespace {
constexpr int CLOSING_COMMAND_TIMEOUT_MS = 1000;
}  // namespace

const char* CSessionLinks::PortDevice(int index) const
{
    return m_strPortDevice[index].empty() ? nullptr : m_strPortDevice[index].c_str();
}

std::string CSessionLinks::PortName(int index) const
{
    if (const char* device = PortDevice(index))
        return device;
    const int32_t numbers[3] = {m_nPrimaryPort, m_nSecondaryPort, m_nThirdPort};
    return "COM" + std::to_string(numbers[index]);
}

bool CSessionLinks::OpenPort(CSerialHandler& port, int index, bool lines, std::string& error)
{
    const int32_t numbers[3] = {m_nPrimaryPort, m_nSecondaryPort, m_nThirdPort};
    const int32_t number = numbers[index];
    const char* device = PortDevice(index);
    // A port given by its device path needs no number of its own.
    if (device == nullptr && (number < 0 || number > 255)) {
        error = "COM" + std::to_string(number) + ": no such port";
        return false;
    }
    if (port.Open(static_cast<uint8_t>(device != nullptr ? 0 : number), 19200, 8, PARITY_ODD, STOPBITS_ONE, device,
                  lines, lines))
        return true;
    error = port.GetLastError();
    if (error.empty())
        error = "cannot open " + (device != nullptr ? std::string(device) : "COM" + std::to_string(number));
    return false;
}

bool CSessionLinks::Open(uint32_t options, std::string& error)
{
    if (!OpenPort(m_PrimaryPort, 0, true, error))
        return false;
    if (options & HLO_PRIMARY_PORT_ONLY)
        return true;
    if (!OpenPort(m_SecondaryPort, 1, false, error))
        return false;
    if (options & HLO_THIRD_PORT)
        return OpenPort(m_ThirdPort, 2, false, error);
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
    m_PrimaryPort.Open(static_cast<uint8_t>(PortDevice(0) != nullptr ? 0 : m_nPrimaryPort), 19200, 8, PARITY_ODD,
                       STOPBITS_ONE, PortDevice(0), true, true);
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

}  // namespace CHERFLoaderLib
