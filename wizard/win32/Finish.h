// CFinish: the Win32 wizard's progress page (template 106), which runs the
// upgrade.
//
// What the page does (the upgrade job, the texts and bars per event, the
// result texts, when closing is barred) is CProgressFlow's, shared with the
// Qt wizard; this page is its Win32 face. Activation disables every wizard
// button, labels Next "Finish", hides Cancel and lets the flow start the
// job. The job's sink posts each event to the page as WM_LOADER_NOTIFY
// (WM_APP + 1000): the word parameter is the notification code, the long
// parameter a copy of the event (the notification's payload and text) with
// the number of the job that sent it, made on the heap by the sink and freed
// by the handler. The text thus stays alive until the page has read it,
// however many events follow it.
//
// The flow's moments go to CSessionGuard, attached to the sheet's window on
// activation: the system kept awake while the upgrade runs, a logoff or
// shutdown refused while the flash is written.
//
// Threading: user-interface thread only, but for the sink, which runs on the
// job's thread and only posts. A close of the sheet (PSN_RESET) and the
// window's end stop a job that is still going (waiting for its thread);
// copies still queued then are freed unread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/HERFLoader.h"
#include "wizard/JobDriver.h"
#include "wizard/ProgressFlow.h"
#include "wizard/win32/DialogPage.h"
#include "wizard/win32/SessionGuard.h"

namespace wizard::win32 {

class CFinish : public CDialogPage, private CProgressView {
public:
    CFinish(CCustomPropertySheet& sheet, std::string strPackagePath, CJobFactory factory);
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
    CHERFLoaderLib::CJobSink MakeSink(uint32_t nJob) override;
    void UpgradeBegins() override { m_SessionGuard.UpgradeBegins(); }
    void FlashWorkBegins() override { m_SessionGuard.FlashWorkBegins(); }
    void FlashWorkEnds() override { m_SessionGuard.FlashWorkEnds(); }
    void UpgradeEnds() override { m_SessionGuard.UpgradeEnds(); }

    CSessionGuard m_SessionGuard;
    CProgressFlow m_Flow;  // destroyed first, while the guard still exists
};

}  // namespace wizard::win32
