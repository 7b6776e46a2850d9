// CConnectionPage: the Win32 wizard's first page (template 103), where the
// user picks the COM port.
//
// Activation disables every wizard button, empties and disables the list,
// shows the please-wait note, hides Back, labels Next "Connect" and starts a
// short-lived thread that asks the engine's port service what stands for
// each COM number. Its answer comes back as a posted message: the list then
// holds COM1: to COM9: and the present ports above COM9, each with the
// driver's description of its port ("no device present" for none), COM1: is
// selected and has the keyboard focus, the line under the list shows the
// selected entry's description, and "Connect" is enabled. Pressing it
// stores the chosen number in g_nComPort, where the progress page finds it.
//
// Threading: the page lives on the user-interface thread. The list thread
// only calls the port lister and posts its answer; the page joins it before
// starting another and when its window is destroyed, so it never outlives
// the page.
#pragma once

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "engine/PortService.h"
#include "wizard/win32/DialogPage.h"

namespace wizard::win32 {

using CPortLister = std::function<std::vector<CHERFLoaderLib::CPortEntry>()>;

class CConnectionPage : public CDialogPage {
public:
    // `lister` is called on the list thread; by default the engine's port list.
    explicit CConnectionPage(CCustomPropertySheet& sheet, CPortLister lister = CPortLister());
    ~CConnectionPage() override;

protected:
    INT_PTR OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam) override;

private:
    INT_PTR OnNotify(const NMHDR& header);
    void OnSetActive();
    void FillPortList(uint32_t nFill, HWND hPage);
    void OnPortListReady(uint32_t nFill, const std::vector<CHERFLoaderLib::CPortEntry>& entries);
    void FitDroppedWidth();
    void ShowSelectedDevice();
    void OnWizardNext();
    void JoinFillThread();

    CPortLister m_PortLister;
    std::thread m_FillThread;
    uint32_t m_nFill = 0;  // number of the current activation's list fill
    std::vector<CHERFLoaderLib::CPortEntry> m_Entries;  // the list's entries, in its order
};

}  // namespace wizard::win32
