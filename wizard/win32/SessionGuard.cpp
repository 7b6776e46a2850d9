#include "wizard/win32/SessionGuard.h"

#include <string>

#include <commctrl.h>

#include "wizard/WizardTexts.h"

namespace wizard::win32 {

namespace {

// The sheet's own filter (CustomPropertySheet.cpp) is subclass 1.
constexpr UINT_PTR GUARD_SUBCLASS_ID = 2;

std::wstring Wide(const char* pszText)
{
    const int nLength = MultiByteToWideChar(CP_UTF8, 0, pszText, -1, nullptr, 0);
    if (nLength <= 0)
        return std::wstring();
    std::wstring strWide(static_cast<size_t>(nLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, pszText, -1, strWide.data(), nLength);
    strWide.resize(static_cast<size_t>(nLength - 1));
    return strWide;
}

}  // namespace

CSessionGuard::~CSessionGuard()
{
    UpgradeEnds();
    Detach();
}

void CSessionGuard::Attach(HWND hWindow)
{
    if (hWindow == m_hWindow)
        return;
    Detach();
    if (hWindow != nullptr &&
        SetWindowSubclass(hWindow, &CSessionGuard::WindowProc, GUARD_SUBCLASS_ID, reinterpret_cast<DWORD_PTR>(this)))
        m_hWindow = hWindow;
}

void CSessionGuard::Detach()
{
    if (m_hWindow == nullptr)
        return;
    if (m_bFlashWork)
        ShutdownBlockReasonDestroy(m_hWindow);
    RemoveWindowSubclass(m_hWindow, &CSessionGuard::WindowProc, GUARD_SUBCLASS_ID);
    m_hWindow = nullptr;
}

void CSessionGuard::UpgradeBegins()
{
    m_bAwake = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
}

void CSessionGuard::FlashWorkBegins()
{
    m_bFlashWork = true;
    if (m_hWindow != nullptr)
        ShutdownBlockReasonCreate(m_hWindow, Wide(WIZ_TEXT_FLASH_WORK_REASON).c_str());
}

void CSessionGuard::FlashWorkEnds()
{
    if (m_bFlashWork && m_hWindow != nullptr)
        ShutdownBlockReasonDestroy(m_hWindow);
    m_bFlashWork = false;
}

void CSessionGuard::UpgradeEnds()
{
    FlashWorkEnds();
    if (m_bAwake)
        SetThreadExecutionState(ES_CONTINUOUS);
    m_bAwake = false;
}

LRESULT CALLBACK CSessionGuard::WindowProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                           DWORD_PTR nData)
{
    auto* pGuard = reinterpret_cast<CSessionGuard*>(nData);
    switch (nMessage) {
    case WM_QUERYENDSESSION:
        if (pGuard->m_bFlashWork)
            return FALSE;
        break;
    case WM_NCDESTROY:
        pGuard->Detach();
        break;
    default:
        break;
    }
    return DefSubclassProc(hWnd, nMessage, wParam, lParam);
}

}  // namespace wizard::win32
