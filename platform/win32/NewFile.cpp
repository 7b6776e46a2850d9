#include "platform/NewFile.h"

#include <windows.h>

#include "platform/win32/SystemError.h"

namespace platform {

struct CNewFile::CState {
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
};

CNewFile::CNewFile() : m_pState(std::make_unique<CState>()) {}

CNewFile::~CNewFile()
{
    if (m_pState->m_hFile != INVALID_HANDLE_VALUE)
        CloseHandle(m_pState->m_hFile);
}

int CNewFile::Create(const std::string& path)
{
    m_pState->m_hFile =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    return m_pState->m_hFile != INVALID_HANDLE_VALUE ? 0 : ErrnoFromSystemError(GetLastError());
}

int CNewFile::WriteAll(const uint8_t* data, size_t size)
{
    while (size > 0) {
        DWORD chunk = static_cast<DWORD>(size > (size_t{1} << 30) ? (size_t{1} << 30) : size);
        DWORD written = 0;
        if (!WriteFile(m_pState->m_hFile, data, chunk, &written, nullptr))
            return ErrnoFromSystemError(GetLastError());
        data += written;
        size -= written;
    }
    return 0;
}

int CNewFile::Commit()
{
    int code = FlushFileBuffers(m_pState->m_hFile) ? 0 : ErrnoFromSystemError(GetLastError());
    if (!CloseHandle(m_pState->m_hFile) && code == 0)
        code = ErrnoFromSystemError(GetLastError());
    m_pState->m_hFile = INVALID_HANDLE_VALUE;
    return code;
}

int RenameOver(const std::string& from, const std::string& to)
{
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return ErrnoFromSystemError(GetLastError());
}

void RemoveFile(const std::string& path)
{
    DeleteFileA(path.c_str());
}

unsigned long CurrentProcessId()
{
    return GetCurrentProcessId();
}

}  // namespace platform
