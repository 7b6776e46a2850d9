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

#include "platform/LineSettings.h"
#include "platform/PortId.h"

// Purge flags.
constexpr uint32_t PURGE_TXABORT = 0x1;
constexpr uint32_t PURGE_RXABORT = 0x2;
constexpr uint32_t PURGE_TXCLEAR = 0x4;
constexpr uint32_t PURGE_RXCLEAR = 0x8;

constexpr int RX_RING_SIZE = 2048;

class CSerialHandler {
public:
    CSerialHandler();
    virtual ~CSerialHandler();
    CSerialHandler(const CSerialHandler&) = delete;
    CSerialHandler& operator=(const CSerialHandler&) = delete;

    // Opens the port's device: a device path as it is, a COM number through
    // the port naming (platform/PortNames.h). Messages name the port by
    // port.Name(), a COM number also with the device it stood for. Applies
    // the line settings and starts the threads. True at once if already
    // open (the settings then stay as they are).
    bool Open(const platform::CPortId& port, const platform::CLineSettings& settings);
    // Applies other settings to the open port (remembered also when closed,
    // but then false).
    bool Configure(const platform::CLineSettings& settings);
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
