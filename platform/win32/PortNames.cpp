// Windows rule for COM numbers: COMn is the system's own \\.\COMn. The list
// shows the ports the system has, with the names their drivers give them
// (SetupAPI's ports class), so that the entry of a USB adapter says so;
// ports known only from HARDWARE\DEVICEMAP\SERIALCOMM are described by
// their kernel device name.
#include "platform/PortNames.h"

#include <cctype>
#include <cstring>
#include <map>

#include <windows.h>
#include <setupapi.h>

#include "platform/PortOverrides.h"

namespace platform {
namespace {

// The ports device class ("Ports (COM & LPT)"), spelt out so that no
// GUID library is needed.
const GUID PORTS_CLASS = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct CFoundPort {
    std::string m_strFriendlyName;  // "USB Serial Port (COM3)"
    std::string m_strSource;        // device instance ("FTDIBUS\VID_0403+...") or "\Device\Serial0"
    std::string m_strDeviceDesc;    // the driver's name for the device ("USB Serial Port")
};

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// "COM12" gives 12; anything else 0.
int ComNumber(const std::string& name)
{
    std::string upper = Upper(name);
    if (upper.size() < 4 || upper.compare(0, 3, "COM") != 0)
        return 0;
    int number = 0;
    for (size_t i = 3; i < upper.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(upper[i])) || number > 255)
            return 0;
        number = number * 10 + (upper[i] - '0');
    }
    return number;
}

std::string RegistryText(HKEY key, const char* name)
{
    char value[256];
    DWORD type = 0, size = sizeof value - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return std::string();
    value[size] = '\0';
    return value;
}

void AddSetupApiPorts(std::map<int, CFoundPort>& ports)
{
    HDEVINFO set = SetupDiGetClassDevsA(&PORTS_CLASS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        int number = ComNumber(RegistryText(key, "PortName"));
        RegCloseKey(key);
        if (number == 0)
            continue;  // a printer port
        CFoundPort port;
        char text[256] = {};
        if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 1, nullptr))
            port.m_strFriendlyName = text;
        std::memset(text, 0, sizeof text);
        if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_DEVICEDESC, nullptr,
                                              reinterpret_cast<BYTE*>(text), sizeof text - 1, nullptr))
            port.m_strDeviceDesc = text;
        std::memset(text, 0, sizeof text);
        if (SetupDiGetDeviceInstanceIdA(set, &device, text, sizeof text - 1, nullptr))
            port.m_strSource = text;
        ports[number] = port;
    }
    SetupDiDestroyDeviceInfoList(set);
}

void AddRegisteredPorts(std::map<int, CFoundPort>& ports)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        char name[256], value[64];
        DWORD nameSize = sizeof name, valueSize = sizeof value - 1, type = 0;
        if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(value),
                          &valueSize) != ERROR_SUCCESS)
            break;
        if (type != REG_SZ)
            continue;
        value[valueSize] = '\0';
        int number = ComNumber(value);
        if (number != 0 && ports.find(number) == ports.end())
            ports[number] = CFoundPort{std::string(), name, std::string()};
    }
    RegCloseKey(key);
}

bool Contains(const std::string& text, const char* part)
{
    return Upper(text).find(part) != std::string::npos;
}

// What kind of port it is, in the words of the Linux list: USB adapters
// are told by their bus (USB, FTDIBUS, a vendor id) or their driver's
// device name (\Device\VCP0, \Device\USBSER000, \Device\Silabser0, ...).
std::string Describe(const CFoundPort& port)
{
    const std::string& source = port.m_strSource;
    const std::string name = port.m_strFriendlyName.empty() ? source : port.m_strFriendlyName;
    if (Upper(source).rfind("USB\\", 0) == 0 || Upper(source).rfind("FTDIBUS\\", 0) == 0 || Contains(source, "VID_") ||
        Contains(source, "\\DEVICE\\VCP") || Contains(source, "USBSER") || Contains(source, "SILABSER") ||
        Contains(source, "PROLIFIC") || Contains(source, "CH341"))
        return "USB serial adapter " + name;
    if (Contains(source, "PNP0501") || Upper(source).rfind("\\DEVICE\\SERIAL", 0) == 0)
        return port.m_strFriendlyName.empty() ? "on-board UART" : "on-board UART " + name;
    return "serial device " + name;
}

std::string DevicePath(const char* prefix, int number)
{
    return std::string("\\\\.\\") + prefix + std::to_string(number);
}

// Whether a device path set by the user surely leads nowhere: a file path
// whose file or folder the system does not find. A device name
// ("\\.\COM5") is taken as it stands: Windows cannot tell whether it is
// there without opening it (which raises a port's modem lines), and Wine
// knows nothing of the names it links to ports.
bool IsSurelyMissing(const std::string& path)
{
    if (path.rfind("\\\\.\\", 0) == 0)
        return false;
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

std::string ResolvePortDevice(const char* prefix, int number, const CPortRoots&)
{
    if (number < 0)
        return std::string();
    if (!IsComPortPrefix(prefix)) {
        // A prefix names a device of the system's: no separators, no way out.
        if (*prefix == '\0' || std::strpbrk(prefix, "\\/:.") != nullptr)
            return std::string();
        return DevicePath(prefix, number);
    }
    if (number < 1)
        return std::string();
    std::string path, description;
    if (FindPortOverride(number, path, description))
        return path;
    return DevicePath("COM", number);
}

std::vector<CPortEntry> ListComPorts(const CPortRoots&)
{
    std::map<int, CFoundPort> found;
    AddSetupApiPorts(found);
    AddRegisteredPorts(found);
    std::vector<CPortEntry> entries;
    for (int number = 1; number <= PORT_LIST_COUNT; ++number)
        found.emplace(number, CFoundPort{"", "", ""});
    for (const auto& [number, port] : found) {
        CPortEntry entry;
        entry.nNumber = number;
        if (FindPortOverride(number, entry.strDevice, entry.strDescription)) {
            entry.bMissing = IsSurelyMissing(entry.strDevice);
        } else if (port.m_strSource.empty() && port.m_strFriendlyName.empty()) {
            entry.strDescription = "no device";
        } else {
            entry.strDevice = DevicePath("COM", number);
            entry.strDescription = Describe(port);
            ParseUsbInstanceId(port.m_strSource, entry);
            if (!entry.strUsbVendorId.empty())
                entry.strUsbProduct = port.m_strDeviceDesc;
        }
        entries.push_back(entry);
    }
    return entries;
}

std::string PortDeviceKey(const std::string& device)
{
    // Ports are names in the system's device space, not files: "COM3",
    // "com3" and "\\.\COM3" are one port.
    std::string name = device.rfind("\\\\.\\", 0) == 0 ? device.substr(4) : device;
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

}  // namespace platform
