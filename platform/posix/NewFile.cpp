#include "platform/NewFile.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace platform {

struct CNewFile::CState {
    int m_nFd = -1;
};

CNewFile::CNewFile() : m_pState(std::make_unique<CState>()) {}

CNewFile::~CNewFile()
{
    if (m_pState->m_nFd >= 0)
        ::close(m_pState->m_nFd);
}

int CNewFile::Create(const std::string& path)
{
    m_pState->m_nFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    return m_pState->m_nFd >= 0 ? 0 : errno;
}

int CNewFile::WriteAll(const uint8_t* data, size_t size)
{
    // Short writes and interrupted calls are retried.
    while (size > 0) {
        ssize_t written = ::write(m_pState->m_nFd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

int CNewFile::Commit()
{
    int code = ::fsync(m_pState->m_nFd) == 0 ? 0 : errno;
    if (::close(m_pState->m_nFd) != 0 && code == 0)
        code = errno;
    m_pState->m_nFd = -1;
    return code;
}

int RenameOver(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void RemoveFile(const std::string& path)
{
    ::unlink(path.c_str());
}

unsigned long CurrentProcessId()
{
    return static_cast<unsigned long>(::getpid());
}

}  // namespace platform
