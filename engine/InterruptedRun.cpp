#include "engine/InterruptedRun.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/NewFile.h"
#include "platform/StateFolder.h"

namespace CHERFLoaderLib {

namespace {

namespace fs = std::filesystem;

constexpr char RECORD_HEADER[] = "trailmark interrupted upgrade 1";
constexpr char RECORD_SUFFIX[] = ".run";
constexpr size_t RECORD_MAX_BYTES = 4096;

// A port or serial number as part of a file name: anything but letters,
// digits, '-' and '.' becomes '_', so "/dev/pts/4" and "COM3" both give
// plain names.
std::string NamePart(const std::string& text)
{
    std::string name;
    for (char c : text) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                           c == '-' || c == '.';
        name += plain ? c : '_';
    }
    return name;
}

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text;
}

bool FromHex(const std::string& text, std::vector<uint8_t>& bytes)
{
    if (text.size() % 2 != 0)
        return false;
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(text.substr(i, 2).c_str(), "%2X", &value) != 1)
            return false;
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return true;
}

bool ToNumber(const std::string& text, long long low, long long high, long long& value)
{
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return !text.empty() && end != nullptr && *end == '\0' && value >= low && value <= high;
}

}  // namespace

std::string FormatInterruptedRun(const CInterruptedRun& run)
{
    std::ostringstream out;
    out << RECORD_HEADER << "\n"
        << "port=" << run.strPort << "\n"
        << "serial=" << run.strSerial << "\n"
        << "board=" << run.nBoardId << "\n"
        << "memory_map=" << Hex(run.memoryMap) << "\n"
        << "old_app=" << run.wOldAppVersion << "\n"
        << "old_boot=" << run.wOldBootVersion << "\n"
        << "monitor_baud=" << run.nMonitorBaud << "\n"
        << "boot_incomplete=" << (run.bBootIncomplete ? 1 : 0) << "\n"
        << "package=" << run.strPackage << "\n";
    return out.str();
}

bool ParseInterruptedRun(const std::string& text, CInterruptedRun& run)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != RECORD_HEADER)
        return false;
    CInterruptedRun parsed;
    int fields = 0;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            return false;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        long long number = 0;
        if (key == "port") {
            parsed.strPort = value;
        } else if (key == "serial") {
            parsed.strSerial = value;
        } else if (key == "board" && ToNumber(value, -1, 65535, number)) {
            parsed.nBoardId = static_cast<int32_t>(number);
        } else if (key == "memory_map" && FromHex(value, parsed.memoryMap)) {
        } else if (key == "old_app" && ToNumber(value, 0, 65535, number)) {
            parsed.wOldAppVersion = static_cast<uint16_t>(number);
        } else if (key == "old_boot" && ToNumber(value, 0, 65535, number)) {
            parsed.wOldBootVersion = static_cast<uint16_t>(number);
        } else if (key == "monitor_baud" && ToNumber(value, 1, 10000000, number)) {
            parsed.nMonitorBaud = static_cast<uint32_t>(number);
        } else if (key == "boot_incomplete" && ToNumber(value, 0, 1, number)) {
            parsed.bBootIncomplete = number == 1;
        } else if (key == "package") {
            parsed.strPackage = value;
        } else {
            return false;
        }
        ++fields;
    }
    // A record cut short (the disk filled up) is no record.
    if (fields != 9 || parsed.strPort.empty())
        return false;
    run = parsed;
    return true;
}

CInterruptedRunStore::CInterruptedRunStore(std::string folder) : m_strFolder(std::move(folder)) {}

CInterruptedRunStore CInterruptedRunStore::Default()
{
    const std::string state = platform::StateFolder();
    return CInterruptedRunStore(state.empty() ? std::string() : state + "/interrupted");
}

std::string CInterruptedRunStore::FileFor(const std::string& port, const std::string& serial) const
{
    return m_strFolder + "/" + NamePart(port) + "@" + NamePart(serial) + RECORD_SUFFIX;
}

std::vector<std::string> CInterruptedRunStore::FilesFor(const std::string& port) const
{
    std::vector<std::string> files;
    std::error_code error;
    if (m_strFolder.empty() || !fs::is_directory(m_strFolder, error))
        return files;
    const std::string prefix = NamePart(port) + "@";
    for (const fs::directory_entry& entry : fs::directory_iterator(m_strFolder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && name.size() > sizeof RECORD_SUFFIX &&
            name.compare(name.size() - (sizeof RECORD_SUFFIX - 1), std::string::npos, RECORD_SUFFIX) == 0)
            files.push_back(entry.path().string());
    }
    return files;
}

bool CInterruptedRunStore::Save(const CInterruptedRun& run, std::string& error) const
{
    if (m_strFolder.empty()) {
        error = "no folder for the program's state";
        return false;
    }
    std::error_code code;
    fs::create_directories(m_strFolder, code);
    const std::string path = FileFor(run.strPort, run.strSerial);
    const std::string temporary = path + "." + std::to_string(platform::CurrentProcessId()) + ".new";
    const std::string text = FormatInterruptedRun(run);
    platform::CNewFile file;
    platform::RemoveFile(temporary);
    int result = file.Create(temporary);
    if (result == 0)
        result = file.WriteAll(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (result == 0)
        result = file.Commit();
    if (result == 0)
        result = platform::RenameOver(temporary, path);
    if (result != 0) {
        platform::RemoveFile(temporary);
        error = "cannot write " + path + ": " + std::generic_category().message(result);
        return false;
    }
    return true;
}

bool CInterruptedRunStore::Find(const std::string& port, const std::string& serial, CInterruptedRun& run) const
{
    std::vector<std::string> files;
    if (!serial.empty())
        files.push_back(FileFor(port, serial));
    else
        files = FilesFor(port);
    for (const std::string& path : files) {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            continue;
        std::string text(RECORD_MAX_BYTES, '\0');
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<size_t>(in.gcount()));
        CInterruptedRun found;
        if (ParseInterruptedRun(text, found) && found.strPort == port && (serial.empty() || found.strSerial == serial)) {
            run = found;
            return true;
        }
    }
    return false;
}

void CInterruptedRunStore::Remove(const std::string& port, const std::string& serial) const
{
    if (!m_strFolder.empty())
        platform::RemoveFile(FileFor(port, serial));
}

void CInterruptedRunStore::RemoveAll(const std::string& port) const
{
    for (const std::string& path : FilesFor(port))
        platform::RemoveFile(path);
}

}  // namespace CHERFLoaderLib
