// CCustomPropertySheet: the wizard frame holding the connection and progress
// pages, with a flag that bars closing it.
//
// While m_bAllowClose is false the sheet refuses every way of ending it that
// the window system lets a program refuse: Escape, Enter, its own OK and
// Cancel (done, accept, reject), the close box and Alt+F4 (closeEvent). The
// progress page clears the flag when the run may no longer be interrupted
// and sets it again when the result is shown. A close the flag allows is
// also put to m_fnMayClose, once per close however many of the dialog's
// calls it passes through: the progress page sets it to ask the user
// whether to cancel a running upgrade, and the engine itself whether it may
// still stop (the flag's notification may still be queued).
//
// The sheet also carries what the connection page hands the progress page
// besides the port (g_nComPort): the package it read and proved, so that the
// package shown is the package written.
// Moving the window cannot be
// refused on X11 or Wayland, where the window manager moves windows without
// asking the program, so it is not attempted.
//
// Threading: user-interface thread only; m_bAllowClose is written there.
#pragma once

#include <functional>
#include <memory>

#include <QWizard>

class CPackageImage;

namespace wizard {

class CCustomPropertySheet : public QWizard {
public:
    explicit CCustomPropertySheet(const QString& strCaption, QWidget* pParent = nullptr);

    void done(int nResult) override;
    void reject() override;

    bool m_bAllowClose = true;
    // Asked before every close that m_bAllowClose allows; none: allowed.
    std::function<bool()> m_fnMayClose;
    // The package the connection page checked; null until it has.
    std::shared_ptr<const CPackageImage> m_pPackage;

protected:
    void closeEvent(QCloseEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    void showEvent(QShowEvent* pEvent) override;

private:
    bool MayClose();
    bool m_bClosing = false;  // a close m_fnMayClose allowed is under way
    // Makes the frame large enough for its largest page, so no page is cut
    // off when the wizard moves on to it.
    void FitPages();
};

}  // namespace wizard
