#include "platform/FileReader.h"

#include <cerrno>
#include <climits>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

size_t MaxPathBytes()
{
    return PATH_MAX;
}

struct CFileReader::CState {
    int m_nFd = -1;
    uint64_t m_nSize = 0;
};

CFileReader::CFileReader() : m_pState(std::make_unique<CState>()) {}

CFileReader::~CFileReader()
{
    if (m_pState->m_nFd >= 0)
        close(m_pState->m_nFd);
}

bool CFileReader::Open(const char* path, std::string& error)
{
    CState& s = *m_pState;
    // Opened without blocking so that a FIFO or device named by mistake
    // cannot hang the caller.
    do {
        s.m_nFd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (s.m_nFd < 0 && errno == EINTR);
    if (s.m_nFd < 0) {
        error = std::string("cannot open ") + path + ": " + std::generic_category().message(errno);
        return false;
    }
    struct stat info;
    if (fstat(s.m_nFd, &info) != 0) {
        error = std::string("cannot get the size of ") + path + ": " + std::generic_category().message(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = std::string("cannot open ") + path + ": not a regular file";
        return false;
    }
    s.m_nSize = static_cast<uint64_t>(info.st_size);
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
        size_t want = length - done;
        if (want > (size_t{1} << 30))
            want = size_t{1} << 30;
        ssize_t n = pread(m_pState->m_nFd, p + done, want, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

}  // namespace platform
