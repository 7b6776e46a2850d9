// A thread with a bounded join.
//
// Start runs a function on a new thread; Join waits at most a time-out for it
// to end. A thread that does not end in time is never killed: Join returns
// false and the thread keeps running, so whatever it uses must stay alive
// (the caller keeps this object and the thread's data). The destructor joins
// a finished thread and lets an unfinished one run on detached.
//
// Threading: all calls come from the owning thread; the function runs on the
// new thread.
//
// Backends: posix/Thread.cpp (std::thread), win32/Thread.cpp (_beginthreadex
// and a wait on the thread's handle).
#pragma once

#include <functional>
#include <memory>

namespace platform {

class CThread {
public:
    CThread();
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // False when a thread started earlier has not been joined yet, or when
    // the system refuses a new thread.
    bool Start(std::function<void()> body);
    // True when the thread has ended (or none was started) within timeoutMs;
    // a negative time-out waits without limit.
    bool Join(int timeoutMs);
    bool IsRunning() const;

private:
    struct CState;
    std::unique_ptr<CState> m_pState;
};

}  // namespace platform
