#include "platform/Thread.h"

#include <system_error>
#include <thread>

#include "platform/Event.h"

namespace platform {

struct CThread::CState {
    std::thread m_Thread;
    // Shared with the thread so that a detached thread can still set it.
    std::shared_ptr<CEvent> m_pEnded;
};

CThread::CThread() : m_pState(std::make_unique<CState>()) {}

CThread::~CThread()
{
    CState& s = *m_pState;
    if (!s.m_Thread.joinable())
        return;
    // The owner may be freed by the thread itself (its function held the
    // last reference): a thread cannot join itself, and it only has its own
    // exit left to run.
    if (s.m_pEnded->IsSet() && s.m_Thread.get_id() != std::this_thread::get_id())
        s.m_Thread.join();
    else
        s.m_Thread.detach();
}

bool CThread::Start(std::function<void()> body)
{
    CState& s = *m_pState;
    if (s.m_Thread.joinable())
        return false;
    auto ended = std::make_shared<CEvent>(true);
    try {
        s.m_Thread = std::thread([ended, body = std::move(body)] {
            body();
            ended->Set();
        });
    } catch (const std::system_error&) {
        return false;
    }
    s.m_pEnded = ended;
    return true;
}

bool CThread::Join(int timeoutMs)
{
    CState& s = *m_pState;
    if (!s.m_Thread.joinable())
        return true;
    if (s.m_Thread.get_id() == std::this_thread::get_id())
        return false;  // it cannot end while it waits for itself
    if (!s.m_pEnded->Wait(timeoutMs))
        return false;
    s.m_Thread.join();
    return true;
}

bool CThread::IsRunning() const
{
    return m_pState->m_Thread.joinable() && !m_pState->m_pEnded->IsSet();
}

}  // namespace platform
