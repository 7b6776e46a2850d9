// Linux rule for COM numbers: scan the tty class in sysfs for devices with
// hardware behind them and order them so that a USB adapter, the usual way to
// reach the receiver, becomes COM1.
#include "platform/PortNames.h"
#include "platform/PortOverrides.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace platform {

namespace fs = std::filesystem;

namespace {

enum EPortGroup { GROUP_USB = 0, GROUP_UART = 1, GROUP_OTHER = 2 };

struct CFoundDevice {
    std::string m_strName;  // ttyUSB0
    std::string m_strById;  // the /dev/serial/by-id name, or empty
    EPortGroup m_eGroup = GROUP_OTHER;
    fs::path m_SysEntry;    // its entry in the tty class folder
};

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// Orders "ttyUSB2" before "ttyUSB10".
bool NaturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// by-id link name for every device name it points at.
std::map<std::string, std::string> ReadByIdNames(const CPortRoots& roots)
{
    std::map<std::string, std::string> names;
    std::error_code ec;
    fs::directory_iterator it(fs::path(roots.strDevDir) / "serial" / "by-id", ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code linkError;
        fs::path target = fs::read_symlink(it->path(), linkError);
        if (linkError)
            continue;
        std::string device = target.filename().string();
        std::string link = it->path().filename().string();
        auto found = names.find(device);
        if (found == names.end() || link < found->second)
            names[device] = link;
    }
    return names;
}

// A ttyS node exists for every possible on-board UART; only those whose
// driver reports a known port type have hardware behind them.
bool UartHasHardware(const fs::path& sysEntry)
{
    std::ifstream typeFile(sysEntry / "type");
    long type = 0;
    if (!(typeFile >> type))
        return false;
    return type != 0;
}

EPortGroup GroupOf(const std::string& name, const fs::path& sysEntry, bool& keep)
{
    keep = true;
    if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM"))
        return GROUP_USB;
    if (StartsWith(name, "ttyS")) {
        keep = UartHasHardware(sysEntry);
        return GROUP_UART;
    }
    return GROUP_OTHER;
}

std::vector<CFoundDevice> ScanDevices(const CPortRoots& roots)
{
    std::vector<CFoundDevice> found;
    std::map<std::string, std::string> byId = ReadByIdNames(roots);
    std::error_code ec;
    fs::directory_iterator it(roots.strSysTtyDir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::error_code probe;
        // Virtual terminals, the console and pseudo-terminals have no device.
        if (!fs::exists(it->path() / "device", probe) || !fs::exists(fs::path(roots.strDevDir) / name, probe))
            continue;
        bool keep = true;
        EPortGroup group = GroupOf(name, it->path(), keep);
        if (!keep)
            continue;
        auto link = byId.find(name);
        found.push_back({name, link == byId.end() ? std::string() : link->second, group, it->path()});
    }
    std::sort(found.begin(), found.end(), [](const CFoundDevice& a, const CFoundDevice& b) {
        if (a.m_eGroup != b.m_eGroup)
            return a.m_eGroup < b.m_eGroup;
        if (a.m_strById.empty() != b.m_strById.empty())
            return !a.m_strById.empty();
        if (!a.m_strById.empty() && a.m_strById != b.m_strById)
            return a.m_strById < b.m_strById;
        return NaturalLess(a.m_strName, b.m_strName);
    });
    return found;
}

std::string Describe(const CFoundDevice& device)
{
    switch (device.m_eGroup) {
    case GROUP_USB: return "USB serial adapter " + (device.m_strById.empty() ? device.m_strName : device.m_strById);
    case GROUP_UART: return "on-board UART";
    default: return "serial device " + device.m_strName;
    }
}

// The first line of a sysfs attribute file; empty when there is none.
std::string ReadAttribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// The USB device a tty belongs to is the first folder above its device
// entry that has an idVendor: one up for a CDC-ACM interface, two for a
// USB serial converter's port.
void ReadUsbFacts(const fs::path& sysEntry, CPortEntry& entry)
{
    constexpr int MAX_LEVELS = 6;
    std::error_code ec;
    fs::path dir = fs::canonical(sysEntry / "device", ec);
    for (int level = 0; !ec && level < MAX_LEVELS && dir.has_relative_path(); ++level, dir = dir.parent_path()) {
        std::error_code probe;
        if (!fs::exists(dir / "idVendor", probe))
            continue;
        entry.strUsbVendorId = ReadAttribute(dir / "idVendor");
        entry.strUsbProductId = ReadAttribute(dir / "idProduct");
        entry.strUsbSerial = ReadAttribute(dir / "serial");
        entry.strUsbProduct = ReadAttribute(dir / "product");
        return;
    }
}

// A prefix names a file in the device folder: no separators, no way out.
bool IsUsablePrefix(const char* prefix)
{
    std::string text(prefix);
    if (text.empty() || text.find('/') != std::string::npos || text.find('\\') != std::string::npos)
        return false;
    return text != "." && text != "..";
}

}  // namespace

std::string ResolvePortDevice(const char* prefix, int number, const CPortRoots& roots)
{
    if (number < 0)
        return std::string();
    if (!IsComPortPrefix(prefix)) {
        if (!IsUsablePrefix(prefix))
            return std::string();
        return (fs::path(roots.strDevDir) / (std::string(prefix) + std::to_string(number))).string();
    }
    if (number < 1)
        return std::string();
    std::string path, description;
    if (FindPortOverride(number, path, description))
        return path;
    std::vector<CFoundDevice> devices = ScanDevices(roots);
    if (static_cast<size_t>(number) > devices.size())
        return std::string();
    return (fs::path(roots.strDevDir) / devices[number - 1].m_strName).string();
}

std::vector<CPortEntry> ListComPorts(const CPortRoots& roots)
{
    std::vector<CFoundDevice> devices = ScanDevices(roots);
    std::vector<CPortEntry> entries;
    for (int number = 1; number <= PORT_LIST_COUNT; ++number) {
        CPortEntry entry;
        entry.nNumber = number;
        if (FindPortOverride(number, entry.strDevice, entry.strDescription)) {
            // The user's own choice is shown as set, but a path that leads
            // nowhere (a typing error, an adapter unplugged) says so.
            struct stat info {};
            entry.bMissing = stat(entry.strDevice.c_str(), &info) != 0;
        } else if (static_cast<size_t>(number) <= devices.size()) {
            const CFoundDevice& device = devices[number - 1];
            entry.strDevice = (fs::path(roots.strDevDir) / device.m_strName).string();
            entry.strDescription = Describe(device);
            if (device.m_eGroup == GROUP_USB)
                ReadUsbFacts(device.m_SysEntry, entry);
        } else {
            entry.strDescription = "no device";
        }
        entries.push_back(entry);
    }
    return entries;
}

std::string PortDeviceKey(const std::string& device)
{
    struct stat info {};
    if (stat(device.c_str(), &info) != 0)
        return std::string();
    if (S_ISCHR(info.st_mode))
        return "char " + std::to_string(major(info.st_rdev)) + ":" + std::to_string(minor(info.st_rdev));
    std::error_code error;
    const fs::path resolved = fs::canonical(device, error);
    return error ? std::string() : "path " + resolved.string();
}

}  // namespace platform
