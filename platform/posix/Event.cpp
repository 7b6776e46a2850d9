#include "platform/Event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

struct CEvent::CState {
    std::mutex m_Lock;
    std::condition_variable m_Cond;
    bool m_bManualReset = false;
    bool m_bSignalled = false;
};

CEvent::CEvent(bool manualReset, bool initiallySet) : m_pState(std::make_unique<CState>())
{
    m_pState->m_bManualReset = manualReset;
    m_pState->m_bSignalled = initiallySet;
}

CEvent::~CEvent() = default;

void CEvent::Set()
{
    CState& s = *m_pState;
    {
        std::lock_guard<std::mutex> lock(s.m_Lock);
        s.m_bSignalled = true;
    }
    if (s.m_bManualReset)
        s.m_Cond.notify_all();
    else
        s.m_Cond.notify_one();
}

void CEvent::Reset()
{
    std::lock_guard<std::mutex> lock(m_pState->m_Lock);
    m_pState->m_bSignalled = false;
}

bool CEvent::Wait(int timeoutMs)
{
    CState& s = *m_pState;
    std::unique_lock<std::mutex> lock(s.m_Lock);
    auto signalled = [&s] { return s.m_bSignalled; };
    if (timeoutMs < 0)
        s.m_Cond.wait(lock, signalled);
    else if (!s.m_Cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled))
        return false;
    if (!s.m_bManualReset)
        s.m_bSignalled = false;
    return true;
}

bool CEvent::IsSet() const
{
    std::lock_guard<std::mutex> lock(m_pState->m_Lock);
    return m_pState->m_bSignalled;
}

}  // namespace platform
