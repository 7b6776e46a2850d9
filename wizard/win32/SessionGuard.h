// CSessionGuard: what the Win32 wizard tells Windows while an upgrade runs.
//
// From the upgrade's beginning to its end the system is kept from sleeping
// (SetThreadExecutionState with ES_CONTINUOUS | ES_SYSTEM_REQUIRED; the
// display may still go dark). While the receiver's flash is written, a
// logoff or shutdown is refused, since a receiver cut off between erase and
// program has no firmware: the sheet's window answers WM_QUERYENDSESSION
// with FALSE, and ShutdownBlockReasonCreate gives Windows the reason it
// shows the user; both end with the flash work. A forced shutdown goes on
// regardless: nothing can refuse that.
//
// The progress page attaches it to the sheet's window and calls it at the
// flow's moments (wizard/ProgressFlow.h).
//
// Threading: user-interface thread only; the execution state belongs to the
// thread that sets it.
#pragma once

#include <windows.h>

namespace wizard::win32 {

class CSessionGuard {
public:
    CSessionGuard() = default;
    ~CSessionGuard();
    CSessionGuard(const CSessionGuard&) = delete;
    CSessionGuard& operator=(const CSessionGuard&) = delete;

    // The top-level window that answers the end of the session; again with
    // the same window changes nothing.
    void Attach(HWND hWindow);

    void UpgradeBegins();
    void FlashWorkBegins();
    void FlashWorkEnds();
    void UpgradeEnds();

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam, UINT_PTR nId,
                                       DWORD_PTR nData);
    void Detach();

    HWND m_hWindow = nullptr;
    bool m_bAwake = false;      // the execution state is set
    bool m_bFlashWork = false;  // the end of the session is refused
};

}  // namespace wizard::win32
