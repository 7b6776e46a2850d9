// CDialogPage: a property-sheet page made from a dialog template of the
// resource script, the base of the Win32 CConnectionPage and CFinish.
//
// Create gives the sheet the page's PROPSHEETPAGEA (the template, no Help
// button, this object as the page's data); the sheet makes the page's
// window when it first shows it, and every message of that window goes to
// OnMessage. The page also puts the receiver picture up, enlarged to the
// page's font when the system's font is larger than the templates' 8 points.
//
// Threading: user-interface thread only; the window and the object live on
// it. The object must outlive the sheet (the application keeps both on its
// stack and destroys the pages after the sheet has closed).
#pragma once

#include <string>

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

namespace wizard::win32 {

class CCustomPropertySheet;

class CDialogPage {
public:
    CDialogPage(CCustomPropertySheet& sheet, int nTemplateId);
    virtual ~CDialogPage() = default;
    CDialogPage(const CDialogPage&) = delete;
    CDialogPage& operator=(const CDialogPage&) = delete;

    // The page for PropertySheetA; null when the system refuses it.
    HPROPSHEETPAGE Create(HINSTANCE hInstance);

protected:
    // One message of the page's window; returns what a dialog procedure
    // returns (TRUE: handled).
    virtual INT_PTR OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam) = 0;
    // Answers a notification (WM_NOTIFY) with nResult.
    INT_PTR NotifyResult(LONG_PTR nResult);
    // The page's control with this id.
    HWND Item(int nId) const { return GetDlgItem(m_hWnd, nId); }
    HWND SheetWindow() const { return GetParent(m_hWnd); }
    // One of the sheet's standard buttons (Back, Next, Finish, Cancel), by id.
    HWND SheetButton(int nId) const { return GetDlgItem(SheetWindow(), nId); }
    // Which wizard buttons are enabled (PSWIZB_*); posted, as the sheet expects.
    void SetWizardButtons(DWORD nButtons);
    // Makes a read-only multi-line edit control of the page behave as text
    // (on WM_INITDIALOG): the keys the dialog acts on (Escape, Enter, Tab)
    // go to the sheet, not into the control, nothing is selected and no
    // caret shows when it has the focus; it still scrolls.
    void MakeReadOnlyText(int nId);
    // Puts a text of any length into such a control: wrapped to its width,
    // with a scroll bar only when the text is longer than the control is
    // high.
    void SetScrollText(int nId, const std::string& strText);
    // Enlarges the picture for a font larger than the templates' (on
    // WM_INITDIALOG); ReleasePicture frees it (on WM_DESTROY).
    void ScalePicture();
    void ReleasePicture();

    CCustomPropertySheet& m_Sheet;
    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK ReadOnlyTextProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam,
                                             UINT_PTR nId, DWORD_PTR nData);

    int m_nTemplateId;
    HINSTANCE m_hInstance = nullptr;
    HBITMAP m_hPicture = nullptr;  // the enlarged picture, owned; none at the templates' size
};

}  // namespace wizard::win32
