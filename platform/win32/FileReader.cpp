#include "platform/FileReader.h"

#include <system_error>

#include <windows.h>

#include "platform/win32/SystemError.h"

namespace platform {

struct CFileReader::CState {
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    uint64_t m_nSize = 0;
};

namespace {

std::string ErrorText(const char* what, const char* path, DWORD code)
{
    return std::string(what) + " " + path + ": " + std::generic_category().message(ErrnoFromSystemError(code));
}

}  // namespace

size_t MaxPathBytes()
{
    return MAX_PATH;
}

CFileReader::CFileReader() : m_pState(std::make_unique<CState>()) {}

CFileReader::~CFileReader()
{
    if (m_pState->m_hFile != INVALID_HANDLE_VALUE)
        CloseHandle(m_pState->m_hFile);
}

bool CFileReader::Open(const char* path, std::string& error)
{
    CState& s = *m_pState;
    // A folder cannot be opened as a file here; say what it is.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        error = std::string("cannot open ") + path + ": not a regular file";
        return false;
    }
    s.m_hFile = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
    if (s.m_hFile == INVALID_HANDLE_VALUE) {
        error = ErrorText("cannot open", path, GetLastError());
        return false;
    }
    // Devices and pipes (\\.\COM1, \\.\pipe\x) are not packages.
    if (GetFileType(s.m_hFile) != FILE_TYPE_DISK) {
        error = std::string("cannot open ") + path + ": not a regular file";
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(s.m_hFile, &size)) {
        error = ErrorText("cannot get the size of", path, GetLastError());
        return false;
    }
    s.m_nSize = static_cast<uint64_t>(size.QuadPart);
    return true;
}

uint64_t CFileReader::Size() const
{
    return m_pState->m_nSize;
}

size_t CFileReader::ReadAt(uint64_t offset, void* buffer, size_t length)
{
    uint8_t* p = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
        DWORD want = static_cast<DWORD>(length - done > (size_t{1} << 30) ? (size_t{1} << 30) : length - done);
        uint64_t at = offset + done;
        OVERLAPPED position = {};
        position.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0;
        if (!ReadFile(m_pState->m_hFile, p + done, want, &got, &position) || got == 0)
            break;
        done += got;
    }
    return done;
}

}  // namespace platform
