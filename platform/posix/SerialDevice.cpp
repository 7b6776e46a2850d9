// POSIX termios implementation of the serial device.
#include "platform/SerialDevice.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

namespace platform {

struct CWakeSignal::CState {
    int m_nReadFd = -1;
    int m_nWriteFd = -1;
};

struct CSerialDevice::CState {
    int m_nFd = -1;
    bool m_bPseudoTerminal = false;
    bool m_bSaved = false;
    termios m_Saved;  // settings found at open
};

namespace {

bool SetNonBlocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

bool SpeedFor(uint32_t baudRate, speed_t& speed)
{
    static const struct {
        uint32_t nRate;
        speed_t speed;
    } RATES[] = {{2400, B2400},   {4800, B4800},   {9600, B9600},    {19200, B19200},
                 {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
                 {460800, B460800}, {921600, B921600}};
    for (const auto& rate : RATES) {
        if (rate.nRate == baudRate) {
            speed = rate.speed;
            return true;
        }
    }
    return false;
}

bool CharSizeFor(uint8_t byteSize, tcflag_t& flag)
{
    switch (byteSize) {
    case 5: flag = CS5; return true;
    case 6: flag = CS6; return true;
    case 7: flag = CS7; return true;
    case 8: flag = CS8; return true;
    default: return false;
    }
}

bool ApplyParity(EParity parity, termios& tio)
{
    tio.c_cflag &= ~(PARENB | PARODD);
    tio.c_iflag &= ~(INPCK | IGNPAR);
#if defined(CMSPAR)
    tio.c_cflag &= ~CMSPAR;
#endif
    switch (parity) {
    case EParity::None: return true;
    case EParity::Odd: tio.c_cflag |= PARENB | PARODD; break;
    case EParity::Even: tio.c_cflag |= PARENB; break;
#if defined(CMSPAR)
    case EParity::Mark: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case EParity::Space: tio.c_cflag |= PARENB | CMSPAR; break;
#endif
    default: return false;
    }
    // Check parity and drop a byte that fails (IGNPAR also drops framing
    // errors): the protocols see a lost byte and recover by time-out.
    tio.c_iflag |= INPCK | IGNPAR;
    return true;
}

bool IsPseudoTerminal(int fd)
{
#if defined(__linux__)
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode))
        return false;
    unsigned int devMajor = major(info.st_rdev);
    // Unix98 slaves (136..143) and the old BSD-style slaves (3).
    return (devMajor >= 136 && devMajor <= 143) || devMajor == 3;
#else
    return false;
#endif
}

}  // namespace

// ---- CWakeSignal ----

CWakeSignal::CWakeSignal() : m_pState(std::make_unique<CState>())
{
    int fds[2];
    if (pipe(fds) != 0)
        return;
    m_pState->m_nReadFd = fds[0];
    m_pState->m_nWriteFd = fds[1];
    SetNonBlocking(fds[0]);
    SetNonBlocking(fds[1]);
}

CWakeSignal::~CWakeSignal()
{
    if (m_pState->m_nReadFd >= 0)
        close(m_pState->m_nReadFd);
    if (m_pState->m_nWriteFd >= 0)
        close(m_pState->m_nWriteFd);
}

bool CWakeSignal::IsValid() const
{
    return m_pState->m_nReadFd >= 0;
}

void CWakeSignal::Raise()
{
    // One byte in the pipe keeps it readable until Clear; a full pipe is
    // already raised.
    const char byte = 1;
    ssize_t n = write(m_pState->m_nWriteFd, &byte, 1);
    (void)n;
}

void CWakeSignal::Clear()
{
    char drain[64];
    while (read(m_pState->m_nReadFd, drain, sizeof drain) > 0) {
    }
}

bool CWakeSignal::Sleep(int timeoutMs) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd pfd{m_pState->m_nReadFd, POLLIN, 0};
        // poll rounds down; the loop makes up the last fraction.
        int rc = poll(&pfd, 1, static_cast<int>(left) + 1);
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            return false;
    }
}

// ---- CSerialDevice ----

CSerialDevice::CSerialDevice() : m_pState(std::make_unique<CState>()) {}

CSerialDevice::~CSerialDevice()
{
    Close();
}

bool CSerialDevice::IsOpen() const
{
    return m_pState->m_nFd >= 0;
}

bool CSerialDevice::Fail(long systemError)
{
    const int errorNumber = static_cast<int>(systemError);
    m_eError = SerialErrorFromErrno(errorNumber);
    m_strError = std::strerror(errorNumber);
    return false;
}

bool CSerialDevice::Open(const std::string& path)
{
    if (IsOpen())
        Close();
    m_eError = ESerialError::None;
    m_strError.clear();
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Fail(errno);
    // The advisory lock keeps out programs (and handlers in this process)
    // that lock too; TIOCEXCL keeps out plain opens by other users.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return Fail(err);
    }
    termios saved;
    if (tcgetattr(fd, &saved) != 0) {
        int err = errno;
        close(fd);
        return Fail(err);
    }
    ioctl(fd, TIOCEXCL);
    m_pState->m_nFd = fd;
    m_pState->m_bPseudoTerminal = IsPseudoTerminal(fd);
    m_pState->m_Saved = saved;
    m_pState->m_bSaved = true;
    return true;
}

void CSerialDevice::Close()
{
    if (!IsOpen())
        return;
    CState& s = *m_pState;
    if (s.m_bSaved) {
        termios restore = s.m_Saved;
        restore.c_cflag &= ~HUPCL;
        tcsetattr(s.m_nFd, TCSANOW, &restore);
    }
    ioctl(s.m_nFd, TIOCNXCL);
    close(s.m_nFd);  // also releases the advisory lock
    s.m_nFd = -1;
    s.m_bSaved = false;
}

bool CSerialDevice::Configure(const CLineSettings& settings)
{
    if (!IsOpen())
        return Fail(EBADF);
    termios tio;
    if (tcgetattr(m_pState->m_nFd, &tio) != 0)
        return Fail(errno);
    speed_t speed;
    tcflag_t charSize;
    if (!SpeedFor(settings.nBaudRate, speed) || !CharSizeFor(settings.nDataBits, charSize) ||
        settings.eStopBits > EStopBits::Two)
        return Fail(EINVAL);
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag &= ~(CSIZE | CSTOPB | HUPCL | CRTSCTS);
    tio.c_cflag |= charSize | CLOCAL | CREAD;
    if (settings.eStopBits != EStopBits::One)
        tio.c_cflag |= CSTOPB;
    if (!ApplyParity(settings.eParity, tio))
        return Fail(EINVAL);
    if (m_pState->m_bPseudoTerminal) {
        // A pseudo-terminal carries neither parity nor narrow bytes: the
        // kernel drops those flags and the C library then reports the
        // whole call as refused. Ask only for what the line can do.
        tio.c_cflag &= ~(CSIZE | PARENB);
        tio.c_cflag |= CS8;
    }
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0)
        return Fail(EINVAL);
    if (tcsetattr(m_pState->m_nFd, TCSANOW, &tio) != 0)
        return Fail(errno);
    SetModemLines(settings.bRts, settings.bDtr);
    return true;
}

void CSerialDevice::SetModemLines(bool rts, bool dtr)
{
    if (!IsOpen())
        return;
    // Pseudo-terminals refuse these calls; that is ignored.
    int on = (rts ? TIOCM_RTS : 0) | (dtr ? TIOCM_DTR : 0);
    int off = (rts ? 0 : TIOCM_RTS) | (dtr ? 0 : TIOCM_DTR);
    if (on != 0)
        ioctl(m_pState->m_nFd, TIOCMBIS, &on);
    if (off != 0)
        ioctl(m_pState->m_nFd, TIOCMBIC, &off);
}

void CSerialDevice::SetRts(bool on)
{
    if (!IsOpen())
        return;
    int bits = TIOCM_RTS;
    ioctl(m_pState->m_nFd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

bool CSerialDevice::Purge(bool input, bool output)
{
    if (!IsOpen())
        return false;
    if (!input && !output)
        return true;
    int queue = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    return tcflush(m_pState->m_nFd, queue) == 0;
}

namespace {

void WaitUntilSent(int fd, const CWakeSignal& wake)
{
    // A break raised while bytes still wait in the driver would cut them
    // off; give them the time they need at the slowest speed.
    const int LIMIT_MS = 5000;
    for (int waited = 0; waited < LIMIT_MS; waited += 2) {
        int pending = 0;
        if (ioctl(fd, TIOCOUTQ, &pending) != 0 || pending <= 0)
            return;
        if (wake.Sleep(2))
            return;
    }
}

}  // namespace

void CSerialDevice::SendBreak(uint32_t durationMs, const CWakeSignal& wake)
{
    if (!IsOpen())
        return;
    // Durations beyond a minute are not breaks anyone means; cap the wait.
    int ms = durationMs > 60000 ? 60000 : static_cast<int>(durationMs);
    if (m_pState->m_bPseudoTerminal) {
        // A pseudo-terminal carries no break (and accepts the request
        // silently): flush both directions so that the peer sees where the
        // break begins, and keep the timing.
        tcflush(m_pState->m_nFd, TCIOFLUSH);
        wake.Sleep(ms);
        return;
    }
    WaitUntilSent(m_pState->m_nFd, wake);
    if (ioctl(m_pState->m_nFd, TIOCSBRK) != 0)
        return;  // the device has no break: nothing is sent, no pause made
    wake.Sleep(ms);
    ioctl(m_pState->m_nFd, TIOCCBRK);
}

void CSerialDevice::RequestLowLatency()
{
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    if (!IsOpen())
        return;
    serial_struct info;
    std::memset(&info, 0, sizeof info);
    if (ioctl(m_pState->m_nFd, TIOCGSERIAL, &info) != 0)
        return;
    info.flags |= ASYNC_LOW_LATENCY;
    ioctl(m_pState->m_nFd, TIOCSSERIAL, &info);
#endif
}

namespace {

EWaitResult PollDevice(int fd, int wakeFd, int timeoutMs, short events)
{
    if (fd < 0)
        return EWaitResult::Gone;
    pollfd pfds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        int rc = poll(pfds, 2, timeoutMs < 0 ? -1 : timeoutMs);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            return EWaitResult::Gone;
        if (rc == 0)
            return EWaitResult::Timeout;
        if (pfds[1].revents != 0)
            return EWaitResult::Woken;
        // Data still waiting is read before a hang-up is believed.
        if ((pfds[0].revents & events) != 0)
            return EWaitResult::Ready;
        return EWaitResult::Gone;  // POLLHUP, POLLERR or POLLNVAL
    }
}

}  // namespace

EWaitResult CSerialDevice::WaitReadable(const CWakeSignal& wake, int timeoutMs)
{
    return PollDevice(m_pState->m_nFd, wake.m_pState->m_nReadFd, timeoutMs, POLLIN);
}

EWaitResult CSerialDevice::WaitWritable(const CWakeSignal& wake, int timeoutMs)
{
    return PollDevice(m_pState->m_nFd, wake.m_pState->m_nReadFd, timeoutMs, POLLOUT);
}

int CSerialDevice::Read(uint8_t* buffer, int maximum)
{
    if (!IsOpen() || maximum <= 0)
        return -1;
    for (;;) {
        ssize_t n = read(m_pState->m_nFd, buffer, static_cast<size_t>(maximum));
        if (n > 0)
            return static_cast<int>(n);
        // With VMIN and VTIME 0 a terminal answers "nothing there" with 0;
        // the caller decides whether a run of those means the device is gone.
        if (n == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

int CSerialDevice::Write(const uint8_t* bytes, int length)
{
    if (!IsOpen() || length < 0)
        return -1;
    for (;;) {
        ssize_t n = write(m_pState->m_nFd, bytes, static_cast<size_t>(length));
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

}  // namespace platform
