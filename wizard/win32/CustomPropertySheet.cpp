#include "wizard/win32/CustomPropertySheet.h"

#include "wizard/win32/DialogPage.h"

namespace wizard::win32 {

namespace {
// The sheet DoModal is running; the sheet's callback has no data of its own.
CCustomPropertySheet* s_pModalSheet = nullptr;
constexpr UINT_PTR FILTER_ID = 1;
}  // namespace

CCustomPropertySheet::CCustomPropertySheet(const char* pszCaption, HINSTANCE hInstance)
    : m_strCaption(pszCaption), m_hInstance(hInstance)
{
}

void CCustomPropertySheet::AddPage(CDialogPage& page)
{
    m_Pages.push_back(&page);
}

bool CCustomPropertySheet::DoModal()
{
    std::vector<HPROPSHEETPAGE> pages;
    for (CDialogPage* pPage : m_Pages) {
        HPROPSHEETPAGE hPage = pPage->Create(m_hInstance);
        if (hPage == nullptr) {
            for (HPROPSHEETPAGE hMade : pages)
                DestroyPropertySheetPage(hMade);
            return false;
        }
        pages.push_back(hPage);
    }
    PROPSHEETHEADERA header = {};
    header.dwSize = sizeof header;
    // No PSH_HASHELP: no Help button.
    header.dwFlags = PSH_WIZARD | PSH_USECALLBACK;
    header.hwndParent = nullptr;
    header.hInstance = m_hInstance;
    header.pszCaption = m_strCaption.c_str();
    header.nPages = static_cast<UINT>(pages.size());
    header.nStartPage = 0;
    header.phpage = pages.data();
    header.pfnCallback = &CCustomPropertySheet::SheetCallback;
    s_pModalSheet = this;
    const INT_PTR nResult = PropertySheetA(&header);
    s_pModalSheet = nullptr;
    return nResult >= 0;
}

int CALLBACK CCustomPropertySheet::SheetCallback(HWND hWnd, UINT nMessage, LPARAM)
{
    if (nMessage == PSCB_INITIALIZED && s_pModalSheet != nullptr)
        SetWindowSubclass(hWnd, &CCustomPropertySheet::FilterProc, FILTER_ID,
                          reinterpret_cast<DWORD_PTR>(s_pModalSheet));
    return 0;
}

LRESULT CALLBACK CCustomPropertySheet::FilterProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam,
                                                  UINT_PTR, DWORD_PTR nData)
{
    auto* pSheet = reinterpret_cast<CCustomPropertySheet*>(nData);
    switch (nMessage) {
    case WM_COMMAND:
        if (pSheet->OnCommand(wParam))
            return 0;
        break;
    case WM_SYSCOMMAND:
        if (pSheet->OnSysCommand(wParam))
            return 0;
        break;
    case WM_CLOSE:
        if (!pSheet->m_bAllowClose)
            return 0;
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(hWnd, &CCustomPropertySheet::FilterProc, FILTER_ID);
        break;
    default:
        break;
    }
    return DefSubclassProc(hWnd, nMessage, wParam, lParam);
}

bool CCustomPropertySheet::OnCommand(WPARAM wParam)
{
    const WORD nId = LOWORD(wParam);
    if (nId != IDOK && nId != IDCANCEL)
        return false;
    return !m_bAllowClose;
}

bool CCustomPropertySheet::OnSysCommand(WPARAM)
{
    // Every system command while barred; otherwise comctl32 handles it, and
    // a close goes to the page as PSN_QUERYCANCEL.
    return !m_bAllowClose;
}

}  // namespace wizard::win32
