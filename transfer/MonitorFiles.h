// Flash monitor images read from the maker's files.
//
// A real receiver needs the monitor program its maker ships: one file per
// memory-map class, named by the class (XERF1.bin for boards 0 to 3,
// XERF2.bin for boards 4 to 10), in one folder. CMonitorSet holds the images
// a run sends: the built-in ones (no folder) or the files of a folder. Load
// reads and checks every file the folder holds, so a file that cannot work
// is refused before any port is opened; a class whose file the folder lacks
// fails only when a receiver of that class needs it (Get).
//
// A file is usable when it is a regular file that starts with the
// application image header (magic 0xA9B8C7D6), is no longer than the room of
// the monitor area (MONITOR_AREA_SIZE) and carries a version and a build date
// in its header that read as such.
//
// Used by the engine's Start and monitor upload and by `trailmark info
// --monitor-dir`. Threading: none inside; a loaded set is only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transfer/MonitorImages.h"

constexpr int32_t MONITOR_CLASS_COUNT = 2;

// "XERF1.bin" for map class 0, "XERF2.bin" for 1, null for any other.
const char* MonitorFileName(int32_t nMapType);
// "boards 0 to 3", "boards 4 to 10", "" for any other class.
const char* MonitorClassBoards(int32_t nMapType);

// One file checked for one class.
struct CMonitorFileCheck {
    std::string m_strPath;
    bool m_bPresent = false;    // something of that name is in the folder
    bool m_bUsable = false;
    std::string m_strReason;    // why it cannot be used (present, not usable)
    uint64_t m_nLength = 0;
    uint16_t m_wVersion = 0;
    uint16_t m_wYear = 0;
    uint8_t m_nMonth = 0;
    uint8_t m_nDay = 0;
    std::vector<uint8_t> m_Image;  // the file's bytes, when usable
};

// Checks an image in memory for a class; false with the reason.
bool CheckMonitorImage(const uint8_t* pData, uint64_t nLength, int32_t nMapType, std::string& reason);

// Reads and checks the file at `path` as the monitor of a class.
CMonitorFileCheck CheckMonitorFile(const std::string& path, int32_t nMapType);

// Checks both classes' files of a folder into `files`. False, with the
// reason, when the folder itself cannot be used (missing, not a folder).
bool CheckMonitorFolder(const std::string& folder, CMonitorFileCheck (&files)[MONITOR_CLASS_COUNT],
                        std::string& error);

// Why the files of a checked folder cannot serve a run: a present file that
// is not usable, or neither file present. Empty when they can.
std::string MonitorFolderProblem(const std::string& folder, const CMonitorFileCheck (&files)[MONITOR_CLASS_COUNT]);

class CMonitorSet {
public:
    // An empty folder selects the built-in images. Otherwise the folder is
    // checked (CheckMonitorFolder, MonitorFolderProblem); false with the
    // reason, and the set is left built-in, when it cannot be used.
    bool Load(const std::string& folder, std::string& error);
    bool IsBuiltIn() const { return m_strFolder.empty(); }

    // The image of a class and the text saying where it comes from
    // ("Monitor file: <path>" or the built-in text). False with the reason
    // when the folder holds no file for the class, or the class is unknown.
    bool Get(int32_t nMapType, CMonitorImage& image, std::string& sourceText, std::string& error) const;

private:
    std::string m_strFolder;
    CMonitorFileCheck m_Files[MONITOR_CLASS_COUNT];
};
