// A thread with a bounded join.
//
// Start runs a function on a new thread; Join waits at most a time-out for it
// to end. A thread that does not end in time is never killed: Join returns
// false and the thread keeps running, so whatever it uses must stay alive
// (the caller keeps this object and the thread's data). The destructor joins
// a finished thread and lets an unfinished one run on detached.
//
// The object may also be destroyed on its own thread, by the function's last
// act (releasing the last reference to the object that owns this one): the
// thread is then detached, never joined, and runs only its own exit. Join
// from the thread itself returns false at once.
//
// Threading: all calls come from the owning thread, or from the thread
// itself as above; the function runs on the new thread.
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
