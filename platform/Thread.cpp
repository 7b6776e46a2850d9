#include "platform/Thread.h"

#include <system_error>

namespace platform {

CThread::~CThread()
{
    if (!m_Thread.joinable())
        return;
    // The owner may be freed by the thread itself (its function held the
    // last reference): a thread cannot join itself, and it only has its own
    // exit left to run.
    if (m_pEnded->IsSet() && !IsCurrent())
        m_Thread.join();
    else
        m_Thread.detach();
}

bool CThread::IsCurrent() const
{
    return m_Thread.get_id() == std::this_thread::get_id();
}

bool CThread::Start(std::function<void()> body)
{
    if (m_Thread.joinable())
        return false;
    auto ended = std::make_shared<CEvent>(true);
    try {
        m_Thread = std::thread([ended, body = std::move(body)] {
            body();
            ended->Set();
        });
    } catch (const std::system_error&) {
        return false;
    }
    m_pEnded = ended;
    return true;
}

bool CThread::Join(int timeoutMs)
{
    if (!m_Thread.joinable())
        return true;
    if (IsCurrent())
        return false;  // it cannot end while it waits for itself
    if (!m_pEnded->Wait(timeoutMs))
        return false;
    m_Thread.join();
    return true;
}

bool CThread::IsRunning() const
{
    return m_Thread.joinable() && !m_pEnded->IsSet();
}

}  // namespace platform
