// One port of the virtual receiver: the master side of a pseudo-terminal
// pair, whose slave path the host opens as its serial device.
//
// The master runs in packet mode, and EXTPROC is set in the line settings,
// so every change of the host's line settings (TIOCPKT_IOCTL) and every
// flush of the host's queues (TIOCPKT_FLUSHREAD, TIOCPKT_FLUSHWRITE) shows up
// here in order with the data; tcgetattr on the master reads the host's
// settings, of which only the rate is real (a pseudo-terminal carries no
// parity: Linux clears PARENB on it). When the host closes its side the
// master reports a hang-up until the host opens it again.
//
// Used by CVirtualReceiver's loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CPtyEvent {
    enum EKind { PTY_DATA, PTY_FLUSH, PTY_SETTINGS };
    EKind m_eKind = PTY_DATA;
    std::vector<uint8_t> m_Bytes;  // PTY_DATA
    bool m_bInput = false;         // PTY_FLUSH: the host flushed its receive queue
    bool m_bOutput = false;        // PTY_FLUSH: the host flushed its transmit queue
};

class CPtyPort {
public:
    CPtyPort() = default;
    ~CPtyPort();
    CPtyPort(const CPtyPort&) = delete;
    CPtyPort& operator=(const CPtyPort&) = delete;

    // Creates the pair: raw, 19200 baud, packet mode, EXTPROC.
    bool Open(std::string& error);
    void Close();
    bool IsOpen() const { return m_nFd >= 0; }
    int Fd() const { return m_nFd; }
    const std::string& SlavePath() const { return m_strSlave; }

    // Reads what is waiting (without blocking) and appends it as events.
    // Returns false when the host side is closed (hang-up).
    bool Read(std::vector<CPtyEvent>& events);
    // The host's rate as its line settings say; 0 when unknown.
    uint32_t HostBaud() const;
    // Writes without blocking; the count taken (all of it when the host side
    // is closed: bytes sent to nobody are lost, as on a real line).
    size_t Write(const uint8_t* bytes, size_t count);

private:
    int m_nFd = -1;
    std::string m_strSlave;
};
