// A signal one thread sets and others wait for, with the two meanings the
// port and session code rely on:
//  - manual-reset: stays signalled until Reset; every waiter sees it;
//  - auto-reset: a successful Wait consumes the signal, so one Set releases
//    one wait (setting it twice before anyone waits still releases one).
//
// Threading: Set, Reset and Wait may be called from any thread at the same
// time. Wait blocks up to its time-out.
//
// Backends: posix/Event.cpp (a mutex and a condition variable), win32/Event.cpp
// (an event object).
#pragma once

#include <memory>

namespace platform {

class CEvent {
public:
    explicit CEvent(bool manualReset, bool initiallySet = false);
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    // True when the event was (or became) signalled within timeoutMs; a
    // negative time-out waits without limit.
    bool Wait(int timeoutMs);
    bool IsSet() const;

private:
    struct CState;
    std::unique_ptr<CState> m_pState;
};

}  // namespace platform
