// The interface of the virtual receiver's modes: its application (or, behind
// a handheld, the handheld's passthrough), its boot loader and the flash
// monitor. The receiver core owns one object per mode and hands every event
// to the mode that runs; a mode answers through the core (CReceiverCore).
//
// Called on the receiver's loop thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

using CRxClock = std::chrono::steady_clock;
using CRxTime = CRxClock::time_point;

class CReceiverCore;

class CReceiverMode {
public:
    explicit CReceiverMode(CReceiverCore& core) : m_Core(core) {}
    virtual ~CReceiverMode() = default;
    CReceiverMode(const CReceiverMode&) = delete;
    CReceiverMode& operator=(const CReceiverMode&) = delete;

    // The receiver enters the mode (start, reset, jump); `speed` is the line
    // rate it starts at.
    virtual void Enter(CRxTime now) = 0;
    // Bytes from the host on port 0 (primary), 1 (secondary) or 2 (third).
    virtual void OnBytes(int port, const uint8_t* bytes, size_t count, CRxTime now) = 0;
    // The host flushed its side of the line: `input` its receive queue,
    // `output` its transmit queue.
    virtual void OnFlush(int port, bool input, bool output, CRxTime now)
    {
        (void)port, (void)input, (void)output, (void)now;
    }
    // A break ended on the port (see the core for how it is recognised).
    virtual void OnBreak(int port, CRxTime now) { (void)port, (void)now; }
    // Timers: called when the time returned by NextDeadline has come.
    virtual void Tick(CRxTime now) { (void)now; }
    virtual CRxTime NextDeadline() const { return CRxTime::max(); }

protected:
    CReceiverCore& m_Core;
};
