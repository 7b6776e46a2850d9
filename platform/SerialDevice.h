// One serial device as the operating system offers it, kept narrow so that
// everything above it (the serial handler, the protocols) is portable and runs
// unchanged against a pseudo-terminal.
//
// CSerialDevice opens a device exclusively, applies raw line settings, drives
// RTS/DTR, purges, sends timed breaks, and reads and writes without blocking;
// WaitReadable/WaitWritable block until the device is ready, a CWakeSignal is
// raised or a time-out passes, so another thread can stop a waiting reader or
// writer at once.
//
// Line settings: raw 8-bit transparent line (no echo, no line editing, no
// CR/LF translation, no XON/XOFF or hardware flow control), receiver enabled,
// modem status lines ignored, 2400 to 115200 baud, 5 to 8 data bits, parity
// none/odd/even (mark/space where the system has them) with checking on: a
// byte received with a parity error is dropped and the protocols' time-outs
// deal with the loss. Hang-up on close is switched off so that closing the
// port does not drop DTR and reset the receiver; the settings found at open
// are put back on close, except that hang-up on close stays off. A
// pseudo-terminal takes the speed and stop bits but always carries 8 data
// bits without parity; those two settings are left out there.
//
// Line breaks: SendBreak waits until the bytes already written have left,
// holds the line in the break state for the asked duration and releases it.
// A pseudo-terminal cannot carry a break (it accepts the request and does
// nothing); there the device flushes both directions (tcflush TCIOFLUSH) at
// the break's start and still waits the duration, so a peer on the master
// side in packet mode (the virtual receiver) sees a flush event where the
// break begins. As on a real line, where a break garbles what is in flight,
// bytes the peer has not read yet at that moment are discarded by the flush.
//
// On Windows the device is a COM port opened for overlapped I/O:
// WaitReadable waits on a pending one-byte read and Read takes what the
// driver holds; a write hands its bytes to the driver and WaitWritable waits
// for it to have taken them. Where Wine maps the port to a pseudo-terminal,
// parity is left out as above. A break begins
// with a purge of both directions, as on a pseudo-terminal: that is what a
// peer sees where Wine maps the port to a pseudo-terminal, on which the
// break itself (TIOCSBRK) does nothing the other side can see. On hardware
// the purge discards nothing, since the break waits until every byte has
// left. A USB adapter that goes away makes the pending wait fail, or the
// port's status query fail at the next idle wake-up: Gone, not a busy loop.
//
// Backends: posix/SerialDevice.cpp (termios), win32/SerialDevice.cpp (the
// Win32 communications functions).
//
// Threading: one thread may wait and read while another waits and writes,
// and a third may purge, configure or set modem lines; Open and Close are
// called while no other thread uses the device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/LineSettings.h"

namespace platform {

// Why an operation failed, in portable terms.
enum class ESerialError {
    None,
    NotFound,          // no such device
    InUse,             // another program holds it
    PermissionDenied,  // the user may not open it
    BadSetting,        // a line setting the device or this layer refuses
    Gone,              // the device went away while open
    Other,
};

// A signal that wakes a device wait from another thread. Stays raised until
// Clear.
class CWakeSignal {
public:
    CWakeSignal();
    ~CWakeSignal();
    CWakeSignal(const CWakeSignal&) = delete;
    CWakeSignal& operator=(const CWakeSignal&) = delete;

    bool IsValid() const;
    void Raise();
    void Clear();
    // Sleeps timeoutMs unless the signal is raised first; true when raised.
    bool Sleep(int timeoutMs) const;

private:
    friend class CSerialDevice;
    struct CState;  // the backend's pipe or event
    std::unique_ptr<CState> m_pState;
};

enum class EWaitResult {
    Ready,    // the device can be read (or written)
    Woken,    // the wake signal was raised
    Timeout,
    Gone,     // the device hung up or reports an error: it went away
};

class CSerialDevice {
public:
    CSerialDevice();
    ~CSerialDevice();
    CSerialDevice(const CSerialDevice&) = delete;
    CSerialDevice& operator=(const CSerialDevice&) = delete;

    // Opens path for exclusive use and remembers its settings.
    bool Open(const std::string& path);
    // Puts the remembered settings back and closes. Harmless when closed.
    void Close();
    bool IsOpen() const;

    // Applies the rate and frame, then drives RTS and DTR as the settings
    // say. False, with the modem lines left as they were, when the device or
    // this layer refuses the rate or the frame.
    bool Configure(const CLineSettings& settings);
    // Modem lines; devices without them (pseudo-terminals) ignore this.
    void SetModemLines(bool rts, bool dtr);
    void SetRts(bool on);
    bool Purge(bool input, bool output);
    // Holds a break for durationMs (see above); ends early when wake is raised.
    void SendBreak(uint32_t durationMs, const CWakeSignal& wake);
    // Asks the driver to hand over received bytes at once (USB adapters
    // otherwise collect them for up to 16 ms). Ignored where unsupported.
    void RequestLowLatency();

    // A negative time-out waits without limit.
    EWaitResult WaitReadable(const CWakeSignal& wake, int timeoutMs);
    EWaitResult WaitWritable(const CWakeSignal& wake, int timeoutMs);
    // Bytes read (> 0), 0 when none are there now, -1 when the device failed
    // or went away.
    int Read(uint8_t* buffer, int maximum);
    // Bytes written (may be fewer than asked), 0 when the device takes none
    // now, -1 when it failed.
    int Write(const uint8_t* bytes, int length);

    // Why the last Open or Configure failed.
    ESerialError LastError() const { return m_eError; }
    // The system's own words for that failure.
    const std::string& LastErrorText() const { return m_strError; }

private:
    // Records why an operation failed, from the backend's error code (errno,
    // or GetLastError on Windows); always false.
    bool Fail(long systemError);

    struct CState;  // the backend's handle, saved settings, pending operations
    std::unique_ptr<CState> m_pState;
    ESerialError m_eError = ESerialError::None;
    std::string m_strError;
};

// The portable error for a system error number.
ESerialError SerialErrorFromErrno(int errorNumber);

}  // namespace platform
