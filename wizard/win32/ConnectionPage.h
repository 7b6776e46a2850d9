// CConnectionPage: the Win32 wizard's first page (template 103), where the
// user picks the COM port and sees the package the upgrade will write.
//
// Activation disables every wizard button, empties and disables the list,
// shows the please-wait note, hides Back, labels Next "Connect" and starts a
// short-lived thread that asks the engine's port service what stands for
// each COM number and has the engine read and prove the package
// (wizard/PackageCheck.h). Its answer comes back as a posted message: the
// list then holds COM1: to COM9: and the present ports above COM9, each
// with the driver's description of its port ("no device present" for none,
// a device set but not there marked missing); the port chosen before
// (g_nComPort) is selected when it has a device, else the first that has
// one, and has the keyboard focus; the line under the list shows the
// selected entry's description (or that it cannot be chosen); under the
// picture the package's name, versions and boards, or why it cannot be
// written. "Connect" is enabled only for a sound package and a port with a
// device. Pressing it stores the chosen number in g_nComPort and the checked
// package in the sheet, where the progress page finds them. Back from the
// progress page activates the page again: the list is filled and the package
// checked again, the port kept.
//
// Threading: the page lives on the user-interface thread. The list thread
// only calls the port lister and the package checker and posts its answer;
// the page joins it before starting another and when its window is
// destroyed, so it never outlives the page.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/PortService.h"
#include "wizard/PackageCheck.h"
#include "wizard/win32/DialogPage.h"

namespace wizard::win32 {

using CPortLister = std::function<std::vector<CHERFLoaderLib::CPortEntry>()>;

class CConnectionPage : public CDialogPage {
public:
    // `lister` and `checker` are called on the list thread; by default the
    // engine's port list and CheckPackage of strPackagePath.
    CConnectionPage(CCustomPropertySheet& sheet, std::string strPackagePath, CPortLister lister = CPortLister(),
                    CPackageChecker checker = CPackageChecker());
    ~CConnectionPage() override;

protected:
    INT_PTR OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam) override;

private:
    INT_PTR OnNotify(const NMHDR& header);
    void OnSetActive();
    void FillPortList(uint32_t nFill, HWND hPage);
    void OnPortListReady(uint32_t nFill, const std::vector<CHERFLoaderLib::CPortEntry>& entries,
                         const CPackageCheck& package);
    void FitDroppedWidth();
    void ShowSelectedDevice();
    // Whether Connect may be pressed: the list is there, the package sound
    // and the selected port has a device.
    bool MayConnect() const;
    bool OnWizardNext();
    void JoinFillThread();

    std::string m_strPackagePath;
    CPortLister m_PortLister;
    CPackageChecker m_PackageChecker;
    std::thread m_FillThread;
    uint32_t m_nFill = 0;  // number of the current activation's list fill
    bool m_bListReady = false;
    std::vector<CHERFLoaderLib::CPortEntry> m_Entries;  // the list's entries, in its order
    CPackageCheck m_Package;                             // as the list thread found it
};

}  // namespace wizard::win32
