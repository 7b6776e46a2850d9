#include "receiver/PtyPort.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

CPtyPort::~CPtyPort()
{
    Close();
}

bool CPtyPort::Open(std::string& error)
{
    Close();
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno),
               false;
    char name[128] = {};
    int packet = 1;
    termios tio{};
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0 ||
        ioctl(fd, TIOCPKT, &packet) != 0 || tcgetattr(fd, &tio) != 0) {
        error = std::string("cannot set up the pseudo-terminal: ") + std::strerror(errno);
        close(fd);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_lflag |= EXTPROC;
    cfsetispeed(&tio, B19200);
    cfsetospeed(&tio, B19200);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = std::string("cannot set up the pseudo-terminal: ") + std::strerror(errno);
        close(fd);
        return false;
    }
    m_nFd = fd;
    m_strSlave = name;
    return true;
}

void CPtyPort::Close()
{
    if (m_nFd >= 0)
        close(m_nFd);
    m_nFd = -1;
}

// A pending notice comes before data that was already waiting. That is also
// what a real line does: bytes still in the transmit queue when the rate
// changes leave at the new rate.
bool CPtyPort::Read(std::vector<CPtyEvent>& events)
{
    uint8_t buffer[4097];
    for (int rounds = 0; rounds < 64; ++rounds) {
        ssize_t n = read(m_nFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        if (n <= 0)
            return false;  // EIO: no one holds the slave side
        uint8_t status = buffer[0];
        if (status == TIOCPKT_DATA) {
            CPtyEvent data;
            data.m_Bytes.assign(buffer + 1, buffer + n);
            events.push_back(std::move(data));
            continue;
        }
        // Notices that arrive together are reported settings first: the
        // host's usual order is to set the rate and then flush or break.
        if (status & TIOCPKT_IOCTL) {
            CPtyEvent settings;
            settings.m_eKind = CPtyEvent::PTY_SETTINGS;
            events.push_back(settings);
        }
        if (status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) {
            CPtyEvent flush;
            flush.m_eKind = CPtyEvent::PTY_FLUSH;
            flush.m_bInput = status & TIOCPKT_FLUSHREAD;
            flush.m_bOutput = status & TIOCPKT_FLUSHWRITE;
            events.push_back(flush);
        }
    }
    return true;
}

// cfgetospeed gives the termios constant (B921600 is 010007), not the rate:
// every rate the host may set needs its own line here.
uint32_t CPtyPort::HostBaud() const
{
    termios tio{};
    if (m_nFd < 0 || tcgetattr(m_nFd, &tio) != 0)
        return 0;
    switch (cfgetospeed(&tio)) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return 0;
    }
}

size_t CPtyPort::Write(const uint8_t* bytes, size_t count)
{
    if (m_nFd < 0)
        return count;
    ssize_t n = write(m_nFd, bytes, count);
    if (n >= 0)
        return static_cast<size_t>(n);
    if (errno == EAGAIN || errno == EINTR)
        return 0;
    return count;
}
