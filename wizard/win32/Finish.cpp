#include "wizard/win32/Finish.h"

#include <memory>
#include <new>
#include <utility>

#include "wizard/WizardTexts.h"
#include "wizard/win32/CustomPropertySheet.h"
#include "wizard/win32/ResourceIds.h"

namespace wizard::win32 {

static_assert(WM_LOADER_NOTIFY == WM_APP + 1000);

namespace {

// What one WM_LOADER_NOTIFY carries in its long parameter.
// Posted after the wizard buttons have changed (which is posted too): moves
// the keyboard focus to the page (FOCUS_PAGE) or to the Finish button
// (FOCUS_FINISH). The page has no control that takes the focus, and the
// focus of the connection page's list is gone with that page; without a
// focus in the sheet, Escape and Enter would not reach it at all.
constexpr UINT WM_TAKE_FOCUS = WM_APP + 2;
constexpr WPARAM FOCUS_PAGE = 0;
constexpr WPARAM FOCUS_FINISH = 1;

struct CLoaderNotifyMessage {
    CHERFLoaderLib::CJobEvent m_Event;
    uint32_t m_nJob;
};

}  // namespace

CFinish::CFinish(CCustomPropertySheet& sheet, std::string strPackagePath, CJobFactory factory)
    : CDialogPage(sheet, IDD_FINISH_PAGE), m_Flow(*this, std::move(strPackagePath), std::move(factory))
{
}

CFinish::~CFinish()
{
    m_Flow.StopRun();
}

INT_PTR CFinish::OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    switch (nMessage) {
    case WM_INITDIALOG:
        ScalePicture();
        SendMessageA(Item(IDC_OVERALL_PROGRESS), PBM_SETRANGE32, 0, 100);
        SendMessageA(Item(IDC_PHASE_PROGRESS), PBM_SETRANGE32, 0, 100);
        m_Sheet.m_fnMayClose = [this] { return m_Flow.MayClose(); };
        return TRUE;
    case WM_NOTIFY:
        return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_LOADER_NOTIFY:
        return OnLoaderNotify(lParam);
    case WM_TAKE_FOCUS:
        if (wParam == FOCUS_FINISH)
            SendMessageA(SheetWindow(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(SheetButton(IDC_SHEET_FINISH)), TRUE);
        else
            SetFocus(m_hWnd);
        return TRUE;
    case WM_DESTROY:
        m_Flow.StopRun();
        m_Sheet.m_fnMayClose = nullptr;
        FreeQueuedNotifications();
        ReleasePicture();
        return FALSE;
    default:
        return FALSE;
    }
}

INT_PTR CFinish::OnNotify(const NMHDR& header)
{
    switch (header.code) {
    case PSN_SETACTIVE:
        OnSetActive();
        return NotifyResult(0);
    case PSN_RESET:
        // The sheet is closing (allowed, so the run may still be stopped).
        m_Flow.StopRun();
        return FALSE;
    default:
        return FALSE;
    }
}

void CFinish::OnSetActive()
{
    SetWizardButtons(0);
    SetWindowTextA(SheetButton(IDC_SHEET_NEXT), WIZ_TEXT_FINISH);
    ShowWindow(SheetButton(IDCANCEL), SW_HIDE);
    PostMessageA(m_hWnd, WM_TAKE_FOCUS, FOCUS_PAGE, 0);
    m_SessionGuard.Attach(SheetWindow());
    m_Flow.Activate();
}

INT_PTR CFinish::OnLoaderNotify(LPARAM lParam)
{
    std::unique_ptr<CLoaderNotifyMessage> pMessage(reinterpret_cast<CLoaderNotifyMessage*>(lParam));
    if (pMessage)
        m_Flow.OnEvent(pMessage->m_Event, pMessage->m_nJob);
    SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, 1);
    return TRUE;
}

void CFinish::FreeQueuedNotifications()
{
    // The job has stopped and its sink is muted: nothing more arrives.
    MSG message;
    while (PeekMessageA(&message, m_hWnd, WM_LOADER_NOTIFY, WM_LOADER_NOTIFY, PM_REMOVE))
        delete reinterpret_cast<CLoaderNotifyMessage*>(message.lParam);
}

void CFinish::ShowResultText(const std::string& strText)
{
    SetWindowTextA(Item(IDC_RESULT_TEXT), strText.c_str());
}

void CFinish::ShowPhase(const std::string& strLine, int nPercent)
{
    SendMessageA(Item(IDC_PHASE_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(nPercent), 0);
    SetWindowTextA(Item(IDC_PHASE_TEXT), strLine.c_str());
}

void CFinish::ShowOverall(const std::string& strLine, int nPercent)
{
    SetWindowTextA(Item(IDC_OVERALL_TEXT), strLine.c_str());
    SendMessageA(Item(IDC_OVERALL_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(nPercent), 0);
}

void CFinish::SetFinished(bool bFinished)
{
    // Finish shows in place of Next; Back stays disabled.
    SetWizardButtons(bFinished ? PSWIZB_FINISH : 0);
    if (bFinished)
        PostMessageA(m_hWnd, WM_TAKE_FOCUS, FOCUS_FINISH, 0);
}

void CFinish::SetAllowClose(bool bAllow)
{
    m_Sheet.m_bAllowClose = bAllow;
}

CHERFLoaderLib::CJobSink CFinish::MakeSink(uint32_t nJob)
{
    return [hPage = m_hWnd, nJob](const CHERFLoaderLib::CJobEvent& event) {
        std::unique_ptr<CLoaderNotifyMessage> pMessage;
        try {
            pMessage.reset(new CLoaderNotifyMessage{event, nJob});
        } catch (const std::bad_alloc&) {
            return;  // no memory for the copy: the event is lost, the job goes on
        }
        if (PostMessageA(hPage, WM_LOADER_NOTIFY, static_cast<WPARAM>(event.n.nCode),
                         reinterpret_cast<LPARAM>(pMessage.get())))
            pMessage.release();  // the page's handler frees it
    };
}

}  // namespace wizard::win32
