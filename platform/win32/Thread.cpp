// Win32 threads: _beginthreadex, and a bounded wait on the thread's handle.
#include "platform/Thread.h"

#include <windows.h>
#include <process.h>

namespace platform {

struct CThread::CState {
    HANDLE m_hThread = nullptr;
    unsigned m_nThreadId = 0;
};

namespace {

// The body travels on the heap and belongs to the thread, so that a thread
// left running by a Join that gave up still has it.
unsigned __stdcall ThreadMain(void* argument)
{
    auto* body = static_cast<std::function<void()>*>(argument);
    (*body)();
    delete body;
    return 0;
}

}  // namespace

CThread::CThread() : m_pState(std::make_unique<CState>()) {}

CThread::~CThread()
{
    // An unfinished thread runs on; closing the handle only lets go of it.
    // This also holds when the thread itself destroys its owner.
    if (m_pState->m_hThread != nullptr)
        CloseHandle(m_pState->m_hThread);
}

bool CThread::Start(std::function<void()> body)
{
    CState& s = *m_pState;
    if (s.m_hThread != nullptr)
        return false;
    auto* owned = new std::function<void()>(std::move(body));
    uintptr_t handle = _beginthreadex(nullptr, 0, ThreadMain, owned, 0, &s.m_nThreadId);
    if (handle == 0) {
        delete owned;
        return false;
    }
    s.m_hThread = reinterpret_cast<HANDLE>(handle);
    return true;
}

bool CThread::Join(int timeoutMs)
{
    CState& s = *m_pState;
    if (s.m_hThread == nullptr)
        return true;
    if (s.m_nThreadId == GetCurrentThreadId())
        return false;  // it cannot end while it waits for itself
    DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (WaitForSingleObject(s.m_hThread, wait) != WAIT_OBJECT_0)
        return false;
    CloseHandle(s.m_hThread);
    s.m_hThread = nullptr;
    return true;
}

bool CThread::IsRunning() const
{
    return m_pState->m_hThread != nullptr && WaitForSingleObject(m_pState->m_hThread, 0) == WAIT_TIMEOUT;
}

}  // namespace platform
