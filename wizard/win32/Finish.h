// CFinish: the Win32 wizard's progress page (template 106), which runs the
// upgrade.
//
// What the page does (the engine per run, the texts and bars per
// notification, the retry through the upgrade policy, the result texts, when
// closing is barred) is CProgressFlow's, shared with the Qt wizard; this page
// is its Win32 face. Activation disables every wizard button, labels Next
// "Finish", hides Cancel and lets the flow start the first run. The engine's
// sink posts each notification to the page as WM_LOADER_NOTIFY (WM_APP +
// 1000): the word parameter is the notification code, the long parameter a
// copy of the notification (its payload and text) with the number of the
// run that sent it, made on the heap by the sink and freed by the handler.
// The text thus stays alive until the page has read it, however many
// notifications follow it.
//
// The flow's moments go to CSessionGuard, attached to the sheet's window on
// activation: the system kept awake while the upgrade runs, a logoff or
// shutdown refused while the flash is written.
//
// Threading: user-interface thread only, but for the sink, which runs on the
// engine's threads and only posts. A close of the sheet (PSN_RESET) and the
// window's end stop a run that is still going (the engine waits for its
// threads); copies still queued then are freed unread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/HERFLoader.h"
#include "wizard/LoaderDriver.h"
#include "wizard/ProgressFlow.h"
#include "wizard/win32/DialogPage.h"
#include "wizard/win32/SessionGuard.h"

namespace wizard::win32 {

class CFinish : public CDialogPage, private CProgressView {
public:
    CFinish(CCustomPropertySheet& sheet, std::string strPackagePath, CLoaderFactory factory);
    ~CFinish() override;

protected:
    INT_PTR OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam) override;

private:
    INT_PTR OnNotify(const NMHDR& header);
    void OnSetActive();
    INT_PTR OnLoaderNotify(LPARAM lParam);
    void FreeQueuedNotifications();

    void ShowResultText(const std::string& strText) override;
    void ShowPhase(const std::string& strLine, int nPercent) override;
    void ShowOverall(const std::string& strLine, int nPercent) override;
    void SetFinished(bool bFinished) override;
    void SetAllowClose(bool bAllow) override;
    CHERFLoaderLib::CNotifySink MakeSink(uint32_t nRun) override;
    void UpgradeBegins() override { m_SessionGuard.UpgradeBegins(); }
    void FlashWorkBegins() override { m_SessionGuard.FlashWorkBegins(); }
    void FlashWorkEnds() override { m_SessionGuard.FlashWorkEnds(); }
    void UpgradeEnds() override { m_SessionGuard.UpgradeEnds(); }

    CSessionGuard m_SessionGuard;
    CProgressFlow m_Flow;  // destroyed first, while the guard still exists
};

}  // namespace wizard::win32
