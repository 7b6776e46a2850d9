// Win32 events: CreateEventA with the asked reset kind, WaitForSingleObject.
#include "platform/Event.h"

#include <windows.h>

namespace platform {

struct CEvent::CState {
    HANDLE m_hEvent = nullptr;
    bool m_bManualReset = false;
};

CEvent::CEvent(bool manualReset, bool initiallySet) : m_pState(std::make_unique<CState>())
{
    m_pState->m_bManualReset = manualReset;
    m_pState->m_hEvent = CreateEventA(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE, nullptr);
}

CEvent::~CEvent()
{
    if (m_pState->m_hEvent != nullptr)
        CloseHandle(m_pState->m_hEvent);
}

void CEvent::Set()
{
    SetEvent(m_pState->m_hEvent);
}

void CEvent::Reset()
{
    ResetEvent(m_pState->m_hEvent);
}

bool CEvent::Wait(int timeoutMs)
{
    DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(m_pState->m_hEvent, wait) == WAIT_OBJECT_0;
}

bool CEvent::IsSet() const
{
    if (WaitForSingleObject(m_pState->m_hEvent, 0) != WAIT_OBJECT_0)
        return false;
    // Looking at an auto-reset event consumes its signal; give it back.
    if (!m_pState->m_bManualReset)
        SetEvent(m_pState->m_hEvent);
    return true;
}

}  // namespace platform
