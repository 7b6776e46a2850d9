#include "platform/Event.h"

#include <chrono>

namespace platform {

CEvent::CEvent(bool manualReset, bool initiallySet) : m_bManualReset(manualReset), m_bSignalled(initiallySet) {}

void CEvent::Set()
{
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_bSignalled = true;
    }
    if (m_bManualReset)
        m_Cond.notify_all();
    else
        m_Cond.notify_one();
}

void CEvent::Reset()
{
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bSignalled = false;
}

bool CEvent::Wait(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_Lock);
    auto signalled = [this] { return m_bSignalled; };
    if (timeoutMs < 0)
        m_Cond.wait(lock, signalled);
    else if (!m_Cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled))
        return false;
    if (!m_bManualReset)
        m_bSignalled = false;
    return true;
}

bool CEvent::IsSet() const
{
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_bSignalled;
}

}  // namespace platform
