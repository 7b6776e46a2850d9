// CFinish: the Win32 wizard's progress page (template 106), which runs the
// upgrade.
//
// What the page does (the upgrade job, the texts and bars per event, the
// times and retry lines, the flash warning, the result texts, when closing
// is barred, Try again) is CProgressFlow's, shared with the Qt wizard; this
// page is its Win32 face. Activation disables every wizard button, labels
// Next "Finish", hides Cancel and lets the flow start the job with the
// package the connection page checked. The job's sink posts each event to
// the page as WM_LOADER_NOTIFY (WM_APP + 1000): the word parameter is the
// notification code, the long parameter a copy of the event (the
// notification's payload and text) with the number of the job that sent it,
// made on the heap by the sink and freed by the handler. The text thus stays
// alive until the page has read it, however many events follow it. A timer
// moves the times on between notifications. After a failure the sheet's
// Back button is shown and enabled beside Finish, and the page's Try again
// button; a close the sheet lets through (PSN_QUERYCANCEL) is put to the
// flow, which asks "Cancel the upgrade?" while the job may still be stopped.
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
    void ShowTimes(const std::string& strLine) override;
    void ShowRetry(const std::string& strLine) override;
    void ShowFlashWarning(bool bShown) override;
    void SetFinished(bool bFinished, bool bOfferRetry) override;
    void SetAllowClose(bool bAllow) override;
    bool ConfirmCancel() override;
    CHERFLoaderLib::CJobSink MakeSink(uint32_t nJob) override;
    void UpgradeBegins() override { m_SessionGuard.UpgradeBegins(); }
    void FlashWorkBegins() override { m_SessionGuard.FlashWorkBegins(); }
    void FlashWorkEnds() override { m_SessionGuard.FlashWorkEnds(); }
    void UpgradeEnds() override { m_SessionGuard.UpgradeEnds(); }

    void OnInitDialog();

    HFONT m_hWarningFont = nullptr;  // the page's font in bold, owned; for the flash warning
    CSessionGuard m_SessionGuard;
    CProgressFlow m_Flow;  // destroyed first, while the guard still exists
};

}  // namespace wizard::win32
