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
// be interrupted and sets it again when the result is shown. A close the
// flag allows (Cancel, Escape, the close box, Alt+F4) reaches comctl32,
// which puts it to the current page as PSN_QUERYCANCEL: the progress page
// answers it by asking the user whether to cancel a running upgrade and the
// engine itself whether it may still stop (the flag's notification may
// still be queued).
//
// The sheet also carries what the connection page hands the progress page
// besides the port (g_nComPort): the package it read and proved, so that the
// package shown is the package written.
//
// Threading: user-interface thread only; m_bAllowClose is written there. One
// sheet runs at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

class CPackageImage;

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
    // The package the connection page checked; null until it has.
    std::shared_ptr<const CPackageImage> m_pPackage;

private:
    static int CALLBACK SheetCallback(HWND hWnd, UINT nMessage, LPARAM lParam);
    static LRESULT CALLBACK FilterProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR nId, DWORD_PTR nData);
    // The command filter (OnCommand) and system-command filter (OnSysCommand):
    // true when the message is swallowed.
    bool OnCommand(WPARAM wParam);
    bool OnSysCommand(WPARAM wParam);

    std::string m_strCaption;
    HINSTANCE m_hInstance;
    std::vector<CDialogPage*> m_Pages;
};

}  // namespace wizard::win32
