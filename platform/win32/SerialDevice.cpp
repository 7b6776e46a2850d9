// Win32 communications implementation of the serial device: a COM port
// opened for overlapped I/O. A reader waits on a pending one-byte read,
// which completes when the first byte arrives, and then reads what the
// driver holds; writes are handed to the driver and completed in the
// background.
//
// WaitCommEvent is not used for the received-data event: under Wine on a
// pseudo-terminal it completes at once with no event (its modem-status
// query fails there), which would make the reader spin, while a pending
// read behaves alike on Windows and under Wine.
#include "platform/SerialDevice.h"

#include <atomic>
#include <vector>

#include <windows.h>

#include "platform/win32/SystemError.h"

namespace platform {

namespace {

// The driver's queues, as large as the serial handler's receive ring.
constexpr DWORD SERIAL_QUEUE_SIZE = 2048;
// How long Close waits for an operation it cancelled to be given back.
constexpr DWORD SERIAL_CANCEL_WAIT_MS = 1000;

// One overlapped operation with its own manual-reset event.
struct COverlapped {
    OVERLAPPED m_Ov = {};
    bool m_bPending = false;

    COverlapped() { m_Ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~COverlapped()
    {
        if (m_Ov.hEvent != nullptr)
            CloseHandle(m_Ov.hEvent);
    }
    COverlapped(const COverlapped&) = delete;
    COverlapped& operator=(const COverlapped&) = delete;

    OVERLAPPED* Begin()
    {
        HANDLE event = m_Ov.hEvent;
        m_Ov = OVERLAPPED{};
        m_Ov.hEvent = event;
        ResetEvent(event);
        return &m_Ov;
    }
    // Cancels a pending operation and waits (bounded) until it is given back.
    void Abandon(HANDLE port)
    {
        if (!m_bPending)
            return;
        CancelIoEx(port, &m_Ov);
        DWORD n = 0;
        if (WaitForSingleObject(m_Ov.hEvent, SERIAL_CANCEL_WAIT_MS) == WAIT_OBJECT_0)
            GetOverlappedResult(port, &m_Ov, &n, FALSE);
        m_bPending = false;
    }
};

bool IsSupportedRate(uint32_t baudRate)
{
    static const uint32_t RATES[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
    for (uint32_t rate : RATES) {
        if (rate == baudRate)
            return true;
    }
    return false;
}

ESerialError SerialErrorFromSystemError(DWORD code)
{
    switch (code) {
    case ERROR_SUCCESS: return ESerialError::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_BAD_NETPATH: return ESerialError::NotFound;
    // Windows answers ACCESS_DENIED when another program has the port open.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY: return ESerialError::InUse;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_HANDLE: return ESerialError::BadSetting;
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_BAD_COMMAND:
    case ERROR_OPERATION_ABORTED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED: return ESerialError::Gone;
    default: return ESerialError::Other;
    }
}

}  // namespace

struct CWakeSignal::CState {
    HANDLE m_hEvent = nullptr;
};

struct CSerialDevice::CState {
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
    DCB m_SavedState = {};
    COMMTIMEOUTS m_SavedTimeouts = {};
    bool m_bRts = false;
    bool m_bDtr = false;

    // Used by the reading thread: the pending one-byte read and the byte it
    // brought, held until Read hands it on.
    COverlapped m_Wait;
    uint8_t m_nWaitByte = 0;
    bool m_bHeld = false;
    unsigned m_nHeldPurge = 0;
    COverlapped m_Read;
    // Counts input purges, so that a byte held from before one is dropped.
    std::atomic<unsigned> m_nPurges{0};

    // Used by the writing thread: the bytes of the write in progress live
    // here until the driver has taken them.
    COverlapped m_Write;
    std::vector<uint8_t> m_WriteData;
    bool m_bWriteFailed = false;

    // True when the write in progress has ended (or none was in progress).
    bool FinishWrite()
    {
        if (!m_Write.m_bPending)
            return true;
        DWORD n = 0;
        if (!GetOverlappedResult(m_hPort, &m_Write.m_Ov, &n, FALSE)) {
            DWORD error = GetLastError();
            if (error == ERROR_IO_INCOMPLETE)
                return false;
            // A purge aborts the write, as tcflush discards what waits in a
            // terminal's queue: not a failure of the device.
            if (error != ERROR_OPERATION_ABORTED)
                m_bWriteFailed = true;
        }
        m_Write.m_bPending = false;
        return true;
    }

    // The pending one-byte read has ended: true with the byte held, or
    // after a purge aborted it; false when it failed (the device is gone).
    bool FinishWait()
    {
        DWORD n = 0;
        m_Wait.m_bPending = false;
        if (!GetOverlappedResult(m_hPort, &m_Wait.m_Ov, &n, FALSE))
            return GetLastError() == ERROR_OPERATION_ABORTED;
        if (n == 1) {
            m_bHeld = true;
            m_nHeldPurge = m_nPurges.load();
        }
        return true;
    }

    void WaitUntilSent(const CWakeSignal& wake);
};

// ---- CWakeSignal ----

CWakeSignal::CWakeSignal() : m_pState(std::make_unique<CState>())
{
    m_pState->m_hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

CWakeSignal::~CWakeSignal()
{
    if (m_pState->m_hEvent != nullptr)
        CloseHandle(m_pState->m_hEvent);
}

bool CWakeSignal::IsValid() const
{
    return m_pState->m_hEvent != nullptr;
}

void CWakeSignal::Raise()
{
    SetEvent(m_pState->m_hEvent);
}

void CWakeSignal::Clear()
{
    ResetEvent(m_pState->m_hEvent);
}

bool CWakeSignal::Sleep(int timeoutMs) const
{
    if (timeoutMs <= 0)
        return WaitForSingleObject(m_pState->m_hEvent, 0) == WAIT_OBJECT_0;
    return WaitForSingleObject(m_pState->m_hEvent, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

// ---- CSerialDevice ----

CSerialDevice::CSerialDevice() : m_pState(std::make_unique<CState>()) {}

CSerialDevice::~CSerialDevice()
{
    Close();
}

bool CSerialDevice::IsOpen() const
{
    return m_pState->m_hPort != INVALID_HANDLE_VALUE;
}

bool CSerialDevice::Fail(long systemError)
{
    const DWORD code = static_cast<DWORD>(systemError);
    m_eError = SerialErrorFromSystemError(code);
    m_strError = SystemErrorText(code);
    return false;
}

bool CSerialDevice::Open(const std::string& path)
{
    if (IsOpen())
        Close();
    m_eError = ESerialError::None;
    m_strError.clear();
    CState& s = *m_pState;
    if (s.m_Wait.m_Ov.hEvent == nullptr || s.m_Read.m_Ov.hEvent == nullptr || s.m_Write.m_Ov.hEvent == nullptr)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    // No sharing: the port is ours alone until Close.
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return Fail(static_cast<long>(GetLastError()));
    DCB state = {};
    state.DCBlength = sizeof state;
    COMMTIMEOUTS saved = {};
    // No time-outs: a read ends when all the bytes asked for have come (the
    // reader asks for one, or for what the driver holds), a write when the
    // driver has taken everything.
    COMMTIMEOUTS untimed = {0, 0, 0, 0, 0};
    if (!GetCommState(port, &state) || !GetCommTimeouts(port, &saved)) {
        // Not a serial port (a file or another device named by mistake).
        DWORD error = GetLastError();
        CloseHandle(port);
        return Fail(static_cast<long>(error == ERROR_SUCCESS ? ERROR_INVALID_FUNCTION : error));
    }
    SetupComm(port, SERIAL_QUEUE_SIZE, SERIAL_QUEUE_SIZE);
    if (!SetCommTimeouts(port, &untimed)) {
        DWORD error = GetLastError();
        CloseHandle(port);
        return Fail(static_cast<long>(error));
    }
    s.m_hPort = port;
    s.m_SavedState = state;
    s.m_SavedTimeouts = saved;
    s.m_bRts = state.fRtsControl != RTS_CONTROL_DISABLE;
    s.m_bDtr = state.fDtrControl != DTR_CONTROL_DISABLE;
    s.m_bHeld = false;
    s.m_bWriteFailed = false;
    return true;
}

void CSerialDevice::Close()
{
    if (!IsOpen())
        return;
    CState& s = *m_pState;
    // Cancelling gives back the operations the ended reader and writer left
    // behind.
    s.m_Wait.Abandon(s.m_hPort);
    s.m_Write.Abandon(s.m_hPort);
    s.m_Read.Abandon(s.m_hPort);
    SetCommTimeouts(s.m_hPort, &s.m_SavedTimeouts);
    // The settings found at open go back, except DTR, which stays as it is
    // so that closing the port does not reset the receiver.
    DCB restore = s.m_SavedState;
    restore.fDtrControl = s.m_bDtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    SetCommState(s.m_hPort, &restore);
    CloseHandle(s.m_hPort);
    s.m_hPort = INVALID_HANDLE_VALUE;
}

bool CSerialDevice::Configure(const CLineSettings& settings)
{
    if (!IsOpen())
        return Fail(ERROR_INVALID_HANDLE);
    // EParity and EStopBits hold the driver's own numbers.
    static_assert(static_cast<BYTE>(EParity::None) == NOPARITY && static_cast<BYTE>(EParity::Odd) == ODDPARITY &&
                  static_cast<BYTE>(EParity::Even) == EVENPARITY && static_cast<BYTE>(EParity::Mark) == MARKPARITY &&
                  static_cast<BYTE>(EParity::Space) == SPACEPARITY);
    static_assert(static_cast<BYTE>(EStopBits::One) == ONESTOPBIT &&
                  static_cast<BYTE>(EStopBits::OneAndHalf) == ONE5STOPBITS &&
                  static_cast<BYTE>(EStopBits::Two) == TWOSTOPBITS);
    const BYTE parity = static_cast<BYTE>(settings.eParity);
    const BYTE stopBits = static_cast<BYTE>(settings.eStopBits);
    const uint32_t baudRate = settings.nBaudRate;
    const uint8_t byteSize = settings.nDataBits;
    if (!IsSupportedRate(baudRate) || byteSize < 5 || byteSize > 8 || parity > SPACEPARITY || stopBits > TWOSTOPBITS)
        return Fail(ERROR_INVALID_PARAMETER);
    CState& s = *m_pState;
    DCB state = {};
    state.DCBlength = sizeof state;
    if (!GetCommState(s.m_hPort, &state))
        return Fail(static_cast<long>(GetLastError()));
    state.BaudRate = baudRate;
    state.ByteSize = byteSize;
    state.Parity = parity;
    state.StopBits = stopBits;
    // Binary, parity checked, no flow control of any kind, no character
    // replaced or dropped, errors never stop the port.
    state.fBinary = TRUE;
    state.fParity = TRUE;
    state.fOutxCtsFlow = FALSE;
    state.fOutxDsrFlow = FALSE;
    state.fDsrSensitivity = FALSE;
    state.fOutX = FALSE;
    state.fInX = FALSE;
    state.fErrorChar = FALSE;
    state.fNull = FALSE;
    state.fAbortOnError = FALSE;
    // The modem lines keep their last state through a speed change.
    state.fDtrControl = s.m_bDtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    state.fRtsControl = s.m_bRts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    if (SetCommState(s.m_hPort, &state)) {
        SetModemLines(settings.bRts, settings.bDtr);
        return true;
    }
    const DWORD error = GetLastError();
    // Wine's port on a pseudo-terminal takes every setting but parity, which
    // a pseudo-terminal cannot carry, and then reports the whole change as
    // refused. Ask that port only for what its line can do, as the POSIX
    // layer does; a port that refused the other settings too stays refused.
    DCB taken = {};
    taken.DCBlength = sizeof taken;
    if (parity != NOPARITY && GetCommState(s.m_hPort, &taken) && taken.BaudRate == baudRate &&
        taken.ByteSize == byteSize && taken.Parity == NOPARITY) {
        state.Parity = NOPARITY;
        if (SetCommState(s.m_hPort, &state)) {
            SetModemLines(settings.bRts, settings.bDtr);
            return true;
        }
    }
    return Fail(static_cast<long>(error));
}

void CSerialDevice::SetModemLines(bool rts, bool dtr)
{
    if (!IsOpen())
        return;
    // A port without modem lines (Wine's on a pseudo-terminal) refuses
    // these; that is ignored.
    m_pState->m_bRts = rts;
    m_pState->m_bDtr = dtr;
    EscapeCommFunction(m_pState->m_hPort, rts ? SETRTS : CLRRTS);
    EscapeCommFunction(m_pState->m_hPort, dtr ? SETDTR : CLRDTR);
}

void CSerialDevice::SetRts(bool on)
{
    if (!IsOpen())
        return;
    m_pState->m_bRts = on;
    EscapeCommFunction(m_pState->m_hPort, on ? SETRTS : CLRRTS);
}

bool CSerialDevice::Purge(bool input, bool output)
{
    if (!IsOpen())
        return false;
    DWORD flags = (input ? PURGE_RXABORT | PURGE_RXCLEAR : 0) | (output ? PURGE_TXABORT | PURGE_TXCLEAR : 0);
    if (flags == 0)
        return true;
    if (input) {
        // The byte a reader holds, or its pending read brings in, came
        // before the purge: both go with it.
        m_pState->m_nPurges.fetch_add(1);
        CancelIoEx(m_pState->m_hPort, &m_pState->m_Wait.m_Ov);
    }
    return PurgeComm(m_pState->m_hPort, flags) != 0;
}

void CSerialDevice::CState::WaitUntilSent(const CWakeSignal& wake)
{
    // A break raised while bytes still wait in the driver would cut them
    // off; give them the time they need at the slowest speed.
    const int LIMIT_MS = 5000;
    if (m_Write.m_bPending) {
        HANDLE events[2] = {wake.m_pState->m_hEvent, m_Write.m_Ov.hEvent};
        if (WaitForMultipleObjects(2, events, FALSE, LIMIT_MS) != WAIT_OBJECT_0 + 1)
            return;
        FinishWrite();
    }
    for (int waited = 0; waited < LIMIT_MS; waited += 2) {
        DWORD errors = 0;
        COMSTAT status = {};
        if (!ClearCommError(m_hPort, &errors, &status) || status.cbOutQue == 0)
            return;
        if (wake.Sleep(2))
            return;
    }
}

void CSerialDevice::SendBreak(uint32_t durationMs, const CWakeSignal& wake)
{
    if (!IsOpen())
        return;
    // Durations beyond a minute are not breaks anyone means; cap the wait.
    int ms = durationMs > 60000 ? 60000 : static_cast<int>(durationMs);
    CState& s = *m_pState;
    s.WaitUntilSent(wake);
    // Where the break begins, both directions are purged (see the header):
    // nothing is left to send by now, and what came before the break
    // belongs to the exchange the break ends.
    PurgeComm(s.m_hPort, PURGE_TXCLEAR | PURGE_RXCLEAR);
    if (!SetCommBreak(s.m_hPort))
        return;  // the port has no break: nothing is sent, no pause made
    wake.Sleep(ms);
    ClearCommBreak(s.m_hPort);
}

void CSerialDevice::RequestLowLatency()
{
    // A USB adapter's latency is a setting of its Windows driver.
}

EWaitResult CSerialDevice::WaitReadable(const CWakeSignal& wake, int timeoutMs)
{
    if (!IsOpen())
        return EWaitResult::Gone;
    CState& s = *m_pState;
    if (s.m_bHeld)
        return EWaitResult::Ready;
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        // Bytes already there are ready at once; a port whose status cannot
        // be read any more has lost its device. Reading the status also
        // clears line errors, so that reception goes on after them.
        DWORD errors = 0;
        COMSTAT status = {};
        if (!ClearCommError(s.m_hPort, &errors, &status))
            return EWaitResult::Gone;
        if (status.cbInQue > 0 && !s.m_Wait.m_bPending)
            return EWaitResult::Ready;
        if (!s.m_Wait.m_bPending) {
            if (ReadFile(s.m_hPort, &s.m_nWaitByte, 1, nullptr, s.m_Wait.Begin())) {
                s.m_Wait.m_bPending = true;
                if (!s.FinishWait())
                    return EWaitResult::Gone;
                if (s.m_bHeld)
                    return EWaitResult::Ready;
                continue;
            }
            if (GetLastError() != ERROR_IO_PENDING)
                return EWaitResult::Gone;
            s.m_Wait.m_bPending = true;
        }
        DWORD wait = INFINITE;
        if (timeoutMs >= 0) {
            ULONGLONG now = GetTickCount64();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        // The wake signal comes first, so that a stop is seen even while
        // data keeps arriving.
        HANDLE events[2] = {wake.m_pState->m_hEvent, s.m_Wait.m_Ov.hEvent};
        DWORD result = WaitForMultipleObjects(2, events, FALSE, wait);
        if (result == WAIT_OBJECT_0)
            return EWaitResult::Woken;
        if (result == WAIT_TIMEOUT)
            return EWaitResult::Timeout;
        if (result != WAIT_OBJECT_0 + 1 || !s.FinishWait())
            return EWaitResult::Gone;  // the read failed: the adapter went away
        if (s.m_bHeld)
            return EWaitResult::Ready;
    }
}

EWaitResult CSerialDevice::WaitWritable(const CWakeSignal& wake, int timeoutMs)
{
    if (!IsOpen())
        return EWaitResult::Gone;
    CState& s = *m_pState;
    if (s.m_Write.m_bPending) {
        HANDLE events[2] = {wake.m_pState->m_hEvent, s.m_Write.m_Ov.hEvent};
        DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
        DWORD result = WaitForMultipleObjects(2, events, FALSE, wait);
        if (result == WAIT_OBJECT_0)
            return EWaitResult::Woken;
        if (result == WAIT_TIMEOUT)
            return EWaitResult::Timeout;
        if (result != WAIT_OBJECT_0 + 1)
            return EWaitResult::Gone;
        s.FinishWrite();
    }
    return s.m_bWriteFailed ? EWaitResult::Gone : EWaitResult::Ready;
}

int CSerialDevice::Read(uint8_t* buffer, int maximum)
{
    if (!IsOpen() || maximum <= 0)
        return -1;
    CState& s = *m_pState;
    int count = 0;
    if (s.m_bHeld) {
        s.m_bHeld = false;
        if (s.m_nHeldPurge == s.m_nPurges.load())
            buffer[count++] = s.m_nWaitByte;
    }
    // The pending one-byte read would take the next byte out of order.
    if (s.m_Wait.m_bPending)
        return count;
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(s.m_hPort, &errors, &status))
        return count > 0 ? count : -1;
    DWORD want = status.cbInQue < static_cast<DWORD>(maximum - count) ? status.cbInQue
                                                                      : static_cast<DWORD>(maximum - count);
    if (want == 0)
        return count;
    // Only what the driver holds is asked for, so the read ends at once.
    DWORD n = 0;
    OVERLAPPED* ov = s.m_Read.Begin();
    if (!ReadFile(s.m_hPort, buffer + count, want, nullptr, ov)) {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            // A purge took bytes after they were counted: give up on the
            // rest after a moment.
            if (WaitForSingleObject(ov->hEvent, SERIAL_CANCEL_WAIT_MS) != WAIT_OBJECT_0)
                CancelIo(s.m_hPort);
            if (GetOverlappedResult(s.m_hPort, ov, &n, TRUE))
                return count + static_cast<int>(n);
            error = GetLastError();
        }
        if (error == ERROR_OPERATION_ABORTED)
            return count + static_cast<int>(n);
        return count > 0 ? count : -1;
    }
    if (!GetOverlappedResult(s.m_hPort, ov, &n, FALSE))
        return count > 0 ? count : -1;
    return count + static_cast<int>(n);
}

int CSerialDevice::Write(const uint8_t* bytes, int length)
{
    if (!IsOpen() || length < 0)
        return -1;
    CState& s = *m_pState;
    if (!s.FinishWrite())
        return 0;  // the driver has not taken the last bytes yet
    if (s.m_bWriteFailed) {
        s.m_bWriteFailed = false;
        return -1;
    }
    if (length == 0)
        return 0;
    s.m_WriteData.assign(bytes, bytes + length);
    OVERLAPPED* ov = s.m_Write.Begin();
    if (!WriteFile(s.m_hPort, s.m_WriteData.data(), static_cast<DWORD>(length), nullptr, ov)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return -1;
        // The bytes are the driver's now; the next Write or WaitWritable
        // learns how it went.
        s.m_Write.m_bPending = true;
        return length;
    }
    DWORD n = 0;
    if (!GetOverlappedResult(s.m_hPort, ov, &n, FALSE))
        return -1;
    return static_cast<int>(n);
}

}  // namespace platform
