#include "wizard/win32/DialogPage.h"

#include <algorithm>

#include "wizard/win32/ResourceIds.h"

namespace wizard::win32 {

namespace {
// Size of the picture and the base units of the 8-point font it was drawn for.
constexpr int PICTURE_WIDTH = 195;
constexpr int PICTURE_HEIGHT = 210;
constexpr int DLU_NOMINAL_BASE_X = 6;
constexpr int DLU_NOMINAL_BASE_Y = 13;
constexpr UINT_PTR READ_ONLY_TEXT_SUBCLASS = 1;
}  // namespace

CDialogPage::CDialogPage(CCustomPropertySheet& sheet, int nTemplateId)
    : m_Sheet(sheet), m_nTemplateId(nTemplateId)
{
}

HPROPSHEETPAGE CDialogPage::Create(HINSTANCE hInstance)
{
    m_hInstance = hInstance;
    PROPSHEETPAGEA page = {};
    page.dwSize = sizeof page;
    page.dwFlags = PSP_DEFAULT;  // no PSP_HASHELP: the wizard has no Help button
    page.hInstance = hInstance;
    page.pszTemplate = MAKEINTRESOURCEA(m_nTemplateId);
    page.pfnDlgProc = &CDialogPage::DialogProc;
    page.lParam = reinterpret_cast<LPARAM>(this);
    return CreatePropertySheetPageA(&page);
}

INT_PTR CALLBACK CDialogPage::DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    CDialogPage* pPage = nullptr;
    if (nMessage == WM_INITDIALOG) {
        // The sheet hands over the PROPSHEETPAGE it was given, with the page
        // object in its lParam.
        pPage = reinterpret_cast<CDialogPage*>(reinterpret_cast<const PROPSHEETPAGEA*>(lParam)->lParam);
        SetWindowLongPtrA(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(pPage));
        pPage->m_hWnd = hWnd;
    } else {
        pPage = reinterpret_cast<CDialogPage*>(GetWindowLongPtrA(hWnd, DWLP_USER));
    }
    if (pPage == nullptr)
        return FALSE;  // messages before WM_INITDIALOG
    const INT_PTR nResult = pPage->OnMessage(nMessage, wParam, lParam);
    if (nMessage == WM_NCDESTROY) {
        SetWindowLongPtrA(hWnd, DWLP_USER, 0);
        pPage->m_hWnd = nullptr;
    }
    return nResult;
}

INT_PTR CDialogPage::NotifyResult(LONG_PTR nResult)
{
    SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, nResult);
    return TRUE;
}

void CDialogPage::SetWizardButtons(DWORD nButtons)
{
    PostMessageA(SheetWindow(), PSM_SETWIZBUTTONS, 0, static_cast<LPARAM>(nButtons));
}

void CDialogPage::MakeReadOnlyText(int nId)
{
    SetWindowSubclass(Item(nId), &CDialogPage::ReadOnlyTextProc, READ_ONLY_TEXT_SUBCLASS, 0);
}

LRESULT CALLBACK CDialogPage::ReadOnlyTextProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                               DWORD_PTR)
{
    switch (nMessage) {
    case WM_GETDLGCODE:
        // A multi-line edit control asks for every key, Escape included,
        // and to have its text selected when the dialog gives it the focus.
        return DefSubclassProc(hWnd, nMessage, wParam, lParam) &
               ~(DLGC_WANTALLKEYS | DLGC_WANTMESSAGE | DLGC_HASSETSEL | DLGC_WANTTAB);
    case WM_SETFOCUS: {
        const LRESULT nResult = DefSubclassProc(hWnd, nMessage, wParam, lParam);
        HideCaret(hWnd);
        return nResult;
    }
    case WM_NCDESTROY:
        RemoveWindowSubclass(hWnd, &CDialogPage::ReadOnlyTextProc, READ_ONLY_TEXT_SUBCLASS);
        break;
    default:
        break;
    }
    return DefSubclassProc(hWnd, nMessage, wParam, lParam);
}

void CDialogPage::SetScrollText(int nId, const std::string& strText)
{
    HWND hEdit = Item(nId);
    // With the bar shown while the text is set, the lines are counted at the
    // narrower width they then have.
    ShowScrollBar(hEdit, SB_VERT, TRUE);
    SetWindowTextA(hEdit, strText.c_str());
    RECT rcClient = {};
    GetClientRect(hEdit, &rcClient);
    int nLineHeight = 0;
    if (HDC hDC = GetDC(hEdit)) {
        HGDIOBJ hOld = SelectObject(hDC, reinterpret_cast<HGDIOBJ>(SendMessageA(hEdit, WM_GETFONT, 0, 0)));
        TEXTMETRICA metrics = {};
        if (GetTextMetricsA(hDC, &metrics))
            nLineHeight = metrics.tmHeight;
        SelectObject(hDC, hOld);
        ReleaseDC(hEdit, hDC);
    }
    const LRESULT nLines = SendMessageA(hEdit, EM_GETLINECOUNT, 0, 0);
    const bool bLong = nLineHeight <= 0 || nLines * nLineHeight > rcClient.bottom;
    ShowScrollBar(hEdit, SB_VERT, bLong ? TRUE : FALSE);
    SendMessageA(hEdit, EM_SETSEL, 0, 0);
    SendMessageA(hEdit, EM_SCROLLCARET, 0, 0);
}

void CDialogPage::ScalePicture()
{
    // The dialog manager's base units for the page's font: 4 by 8 dialog units.
    RECT rcUnits = {0, 0, 4, 8};
    MapDialogRect(m_hWnd, &rcUnits);
    const double dScale = std::min(static_cast<double>(rcUnits.right) / DLU_NOMINAL_BASE_X,
                                   static_cast<double>(rcUnits.bottom) / DLU_NOMINAL_BASE_Y);
    if (dScale <= 1.05)
        return;  // the template's own bitmap fits
    const int nWidth = static_cast<int>(PICTURE_WIDTH * dScale);
    const int nHeight = static_cast<int>(PICTURE_HEIGHT * dScale);
    auto hPicture = static_cast<HBITMAP>(LoadImageA(m_hInstance, MAKEINTRESOURCEA(IDB_RECEIVER_PICTURE),
                                                    IMAGE_BITMAP, nWidth, nHeight, LR_CREATEDIBSECTION));
    if (hPicture == nullptr)
        return;
    HWND hControl = Item(IDC_RECEIVER_PICTURE);
    auto hOld = reinterpret_cast<HBITMAP>(
        SendMessageA(hControl, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(hPicture)));
    if (hOld != nullptr && hOld != hPicture)
        DeleteObject(hOld);
    SetWindowPos(hControl, nullptr, 0, 0, nWidth, nHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    m_hPicture = hPicture;
}

void CDialogPage::ReleasePicture()
{
    if (m_hPicture == nullptr)
        return;
    SendMessageA(Item(IDC_RECEIVER_PICTURE), STM_SETIMAGE, IMAGE_BITMAP, 0);
    DeleteObject(m_hPicture);
    m_hPicture = nullptr;
}

}  // namespace wizard::win32
