// One serial port with a reader thread, a writer thread, a receive ring and a
// bounded write queue.
//
// The threads that use the port (the upgrade worker, the upload threads) never
// touch the device: they queue writes, which return at once, and poll or wait
// on the receive ring. The upgrade session owns one handler per port; the
// protocol managers and the text link hold plain pointers to them.
//
// Threading contract:
//  - every public operation may be called from any thread;
//  - Write, Purge, GetRxCount, ReadByte, ReadBlock and IsOpen never block;
//  - WaitForRx blocks up to its time-out; SendBreak blocks until everything
//    queued before it and the break itself are done;
//  - Close ends both threads, also while a write is pending, and blocks until
//    they have ended (bounded).
//  - The data-arrived signal is auto-reset: one wait consumes one signal, so
//    a caller reads everything in the ring after each wait.
#pragma once

#include <cstdint>
#include <string>

// Purge flags.
constexpr uint32_t PURGE_TXABORT = 0x1;
constexpr uint32_t PURGE_RXABORT = 0x2;
constexpr uint32_t PURGE_TXCLEAR = 0x4;
constexpr uint32_t PURGE_RXCLEAR = 0x8;

// Parity codes.
constexpr uint8_t PARITY_NONE = 0;
constexpr uint8_t PARITY_ODD = 1;
constexpr uint8_t PARITY_EVEN = 2;

// Stop-bit codes.
constexpr uint8_t STOPBITS_ONE = 0;
constexpr uint8_t STOPBITS_TWO = 2;

constexpr int RX_RING_SIZE = 2048;

class CSerialHandler {
public:
    CSerialHandler();
    virtual ~CSerialHandler();
    CSerialHandler(const CSerialHandler&) = delete;
    CSerialHandler& operator=(const CSerialHandler&) = delete;

    // Opens the device named by deviceName: null means COM<port>; a name
    // with a '/' is the device path itself (port is then unused) and names
    // the port in messages as given; any other name is a prefix,
    // <prefix><port>. Applies the line settings and starts the threads. True
    // at once if already open.
    bool Open(uint8_t port, uint32_t baudRate, uint8_t byteSize, uint8_t parity, uint8_t stopBits,
              const char* deviceName, bool rts, bool dtr);
    bool Configure(uint32_t baudRate, uint8_t byteSize, uint8_t parity, uint8_t stopBits, bool rts,
                   bool dtr);
    bool Close();
    // Queues a copy of the bytes; false when closed or when the unsent data
    // would exceed the queue's bound (eight 4 KiB pages).
    bool Write(const uint8_t* bytes, int length);
    // False when closed, or when Close dropped the break before it was sent.
    bool SendBreak(uint32_t durationMs);
    bool Purge(uint32_t flags);
    int GetRxCount();
    // Unread count when data arrived, 0 on time-out, -1 when the wait failed
    // (the port is closed, or was closed during the wait). A negative
    // time-out waits without limit.
    int WaitForRx(int timeoutMs);
    // Oldest unread byte; 0xFF when the ring is empty.
    uint8_t ReadByte();
    bool ReadBlock(uint8_t* destination, int maximum);
    bool IsOpen() const;

    // The device went away while open (a USB adapter pulled out). The reader
    // stops reading; protocol waits end by their time-outs.
    bool IsDeviceGone() const;
    // Why the last Open failed, as a sentence a person can act on.
    std::string GetLastError() const;
    // The device path opened (or tried) at the last Open.
    std::string GetDeviceName() const;
    uint32_t GetBaudRate() const;

private:
    struct Impl;
    Impl* m_pImpl;
};
