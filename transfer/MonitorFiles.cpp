#include "transfer/MonitorFiles.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "package/ByteOrder.h"
#include "package/FirmwareFile.h"
#include "platform/FileReader.h"
#include "texts/Texts.h"
#include "transfer/MemoryMap.h"

namespace fs = std::filesystem;

namespace {

// Header fields the upload shows in its "Monitor: v0.31, 12 May 2006" line.
constexpr size_t MONITOR_VERSION_OFFSET = 10;
constexpr size_t MONITOR_YEAR_OFFSET = 16;
constexpr size_t MONITOR_MONTH_OFFSET = 18;
constexpr size_t MONITOR_DAY_OFFSET = 19;
constexpr unsigned MONITOR_VERSION_LIMIT = 10000;  // v99.99 is the last a version text can show

std::string Number(uint64_t value)
{
    return std::to_string(value);
}

std::string JoinPath(const std::string& folder, const char* name)
{
    return (fs::path(folder) / name).string();
}

}  // namespace

const char* MonitorFileName(int32_t nMapType)
{
    switch (nMapType) {
    case MEMORY_MAP_XERF1: return "XERF1.bin";
    case MEMORY_MAP_XERF2: return "XERF2.bin";
    default: return nullptr;
    }
}

const char* MonitorClassBoards(int32_t nMapType)
{
    switch (nMapType) {
    case MEMORY_MAP_XERF1: return "boards 0 to 3";
    case MEMORY_MAP_XERF2: return "boards 4 to 10";
    default: return "";
    }
}

bool CheckMonitorImage(const uint8_t* pData, uint64_t nLength, int32_t nMapType, std::string& reason)
{
    const uint32_t room = GetMonitorAreaSize(nMapType);
    if (room == 0) {
        reason = "no monitor area is known for map class " + Number(static_cast<uint64_t>(nMapType));
        return false;
    }
    if (nLength < APP_HEADER_SIZE || pData == nullptr) {
        reason = Number(nLength) + " bytes, too short for the application image header (" +
                 Number(APP_HEADER_SIZE) + " bytes)";
        return false;
    }
    if (GetLe32(pData) != APP_IMAGE_MAGIC) {
        char text[96];
        std::snprintf(text, sizeof text, "not an application image: it starts with 0x%08X, not 0x%08X",
                      GetLe32(pData), APP_IMAGE_MAGIC);
        reason = text;
        return false;
    }
    if (nLength > room) {
        reason = Number(nLength) + " bytes, more than the monitor area holds (" + Number(room) + " bytes)";
        return false;
    }
    const unsigned version = GetLe16(pData + MONITOR_VERSION_OFFSET);
    if (version >= MONITOR_VERSION_LIMIT) {
        reason = "the version number in its header (" + Number(version) + ") is not a version";
        return false;
    }
    const unsigned year = GetLe16(pData + MONITOR_YEAR_OFFSET);
    const unsigned month = pData[MONITOR_MONTH_OFFSET];
    const unsigned day = pData[MONITOR_DAY_OFFSET];
    // A header whose build date is no date is not a monitor's header: the
    // same test the date text makes before it shows "?? ??? ????".
    if (year < 1900 || year > 2100 || month < 1 || month > 12 || day < 1 || day > 31) {
        reason = "the build date in its header (" + Number(year) + "-" + Number(month) + "-" + Number(day) +
                 ") is not a date";
        return false;
    }
    return true;
}

CMonitorFileCheck CheckMonitorFile(const std::string& path, int32_t nMapType)
{
    CMonitorFileCheck check;
    check.m_strPath = path;
    std::error_code code;
    check.m_bPresent = fs::exists(fs::symlink_status(path, code));
    if (!check.m_bPresent)
        return check;
    platform::CFileReader file;
    std::string error;
    if (!file.Open(path.c_str(), error)) {
        // The reader's text names the path; the check's reason does not.
        const std::string prefix = "cannot open " + path + ": ";
        check.m_strReason = error.rfind(prefix, 0) == 0 ? error.substr(prefix.size()) : error;
        return check;
    }
    check.m_nLength = file.Size();
    // Never more than the room of the area plus one byte is read: enough to
    // tell that a longer file does not fit, whatever its size.
    const uint64_t room = GetMonitorAreaSize(nMapType);
    std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(check.m_nLength, room + 1)));
    if (file.ReadAt(0, bytes.data(), bytes.size()) != bytes.size()) {
        check.m_strReason = "cannot read it";
        return check;
    }
    if (!CheckMonitorImage(bytes.data(), check.m_nLength, nMapType, check.m_strReason)) {
        if (bytes.size() >= APP_HEADER_SIZE && GetLe32(bytes.data()) == APP_IMAGE_MAGIC)
            check.m_wVersion = GetLe16(bytes.data() + MONITOR_VERSION_OFFSET);
        return check;
    }
    check.m_wVersion = GetLe16(bytes.data() + MONITOR_VERSION_OFFSET);
    check.m_wYear = GetLe16(bytes.data() + MONITOR_YEAR_OFFSET);
    check.m_nMonth = bytes[MONITOR_MONTH_OFFSET];
    check.m_nDay = bytes[MONITOR_DAY_OFFSET];
    check.m_Image = std::move(bytes);
    check.m_bUsable = true;
    return check;
}

bool CheckMonitorFolder(const std::string& folder, CMonitorFileCheck (&files)[MONITOR_CLASS_COUNT],
                        std::string& error)
{
    std::error_code code;
    const fs::file_status status = fs::status(folder, code);
    if (!fs::exists(status)) {
        error = "monitor folder " + folder + ": no such folder";
        return false;
    }
    if (!fs::is_directory(status)) {
        error = "monitor folder " + folder + ": not a folder";
        return false;
    }
    // The path shown on every front end: absolute, so that a person can tell
    // which file was sent whichever folder the program was started in.
    fs::path base = fs::absolute(folder, code);
    if (code)
        base = folder;
    for (int32_t mapType = 0; mapType < MONITOR_CLASS_COUNT; ++mapType)
        files[mapType] = CheckMonitorFile(JoinPath(base.lexically_normal().string(), MonitorFileName(mapType)),
                                          mapType);
    return true;
}

std::string MonitorFolderProblem(const std::string& folder, const CMonitorFileCheck (&files)[MONITOR_CLASS_COUNT])
{
    bool anyPresent = false;
    for (const CMonitorFileCheck& file : files) {
        if (file.m_bPresent && !file.m_bUsable)
            return "monitor file " + file.m_strPath + ": " + file.m_strReason;
        anyPresent = anyPresent || file.m_bPresent;
    }
    if (!anyPresent)
        return "monitor folder " + folder + " holds neither " + MonitorFileName(MEMORY_MAP_XERF1) + " (" +
               MonitorClassBoards(MEMORY_MAP_XERF1) + ") nor " + MonitorFileName(MEMORY_MAP_XERF2) + " (" +
               MonitorClassBoards(MEMORY_MAP_XERF2) + ")";
    return std::string();
}

bool CMonitorSet::Load(const std::string& folder, std::string& error)
{
    m_strFolder.clear();
    for (CMonitorFileCheck& file : m_Files)
        file = CMonitorFileCheck();
    if (folder.empty())
        return true;
    CMonitorFileCheck files[MONITOR_CLASS_COUNT];
    if (!CheckMonitorFolder(folder, files, error))
        return false;
    error = MonitorFolderProblem(folder, files);
    if (!error.empty())
        return false;
    m_strFolder = folder;
    for (int32_t mapType = 0; mapType < MONITOR_CLASS_COUNT; ++mapType)
        m_Files[mapType] = std::move(files[mapType]);
    return true;
}

bool CMonitorSet::Get(int32_t nMapType, CMonitorImage& image, std::string& sourceText, std::string& error) const
{
    image = CMonitorImage{nullptr, 0};
    if (MonitorFileName(nMapType) == nullptr) {
        error = "no monitor program is known for map class " + Number(static_cast<uint64_t>(nMapType));
        return false;
    }
    if (IsBuiltIn()) {
        image = GetMonitorImage(nMapType);
        sourceText = MONITOR_BUILT_IN_TEXT;
        return true;
    }
    const CMonitorFileCheck& file = m_Files[nMapType];
    if (!file.m_bUsable) {
        error = "monitor folder " + m_strFolder + " has no " + MonitorFileName(nMapType) + ", the monitor for " +
                MonitorClassBoards(nMapType);
        return false;
    }
    image = CMonitorImage{file.m_Image.data(), static_cast<uint32_t>(file.m_Image.size())};
    sourceText = std::string(MONITOR_FILE_TEXT_PREFIX) + file.m_strPath;
    return true;
}
