// CCustomPropertySheet: the Win32 wizard frame (a comctl32 property sheet in
// wizard mode) holding the connection and progress pages, with a flag that
// bars closing it.
//
// DoModal runs PropertySheetA with PSH_WIZARD and, once the sheet's window
// exists, puts the sheet's command and system-command filters in front of
// comctl32's own handling. While m_bAllowClose is false the command filter
// swallows OK and Cancel (Enter, Escape) and the system-command filter every
// system command (the close box, Alt+F4, moving, sizing, minimising, the
// window menu). The progress page clears the flag when the run may no longer
// be interrupted and sets it again when the result is shown. Because that
// notification may still be queued when the user closes, a close the flag
// allows (Cancel, Escape, the close box, Alt+F4) is also put to
// m_fnMayClose, which the progress page sets to ask the engine itself.
//
// Threading: user-interface thread only; m_bAllowClose is written there. One
// sheet runs at a time.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

namespace wizard::win32 {

class CDialogPage;

class CCustomPropertySheet {
public:
    CCustomPropertySheet(const char* pszCaption, HINSTANCE hInstance);
    CCustomPropertySheet(const CCustomPropertySheet&) = delete;
    CCustomPropertySheet& operator=(const CCustomPropertySheet&) = delete;

    // Pages in the order they are shown; the page objects must outlive DoModal.
    void AddPage(CDialogPage& page);
    // Shows the wizard from page 0 and returns when it closes: Finish, or a
    // close while allowed. False when the sheet could not be made.
    bool DoModal();

    bool m_bAllowClose = true;
    // Asked before every close that m_bAllowClose allows; none: allowed.
    std::function<bool()> m_fnMayClose;

private:
    static int CALLBACK SheetCallback(HWND hWnd, UINT nMessage, LPARAM lParam);
    static LRESULT CALLBACK FilterProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR nId, DWORD_PTR nData);
    // The command filter (OnCommand) and system-command filter (OnSysCommand):
    // true when the message is swallowed.
    bool OnCommand(WPARAM wParam);
    bool OnSysCommand(WPARAM wParam);
    bool MayClose();

    std::string m_strCaption;
    HINSTANCE m_hInstance;
    std::vector<CDialogPage*> m_Pages;
};

}  // namespace wizard::win32
