#include "wizard/win32/Finish.h"

#include <memory>
#include <new>
#include <string>
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

// Moves the times on between notifications.
constexpr UINT_PTR TICK_TIMER = 1;
constexpr UINT TICK_MS = 500;

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
        OnInitDialog();
        return TRUE;
    case WM_NOTIFY:
        return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_LOADER_NOTIFY:
        return OnLoaderNotify(lParam);
    case WM_TIMER:
        if (wParam == TICK_TIMER)
            m_Flow.Tick();
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_TRY_AGAIN && HIWORD(wParam) == BN_CLICKED) {
            m_Flow.TryAgain();
            return TRUE;
        }
        return FALSE;
    case WM_TAKE_FOCUS:
        if (wParam == FOCUS_FINISH)
            SendMessageA(SheetWindow(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(SheetButton(IDC_SHEET_FINISH)), TRUE);
        else
            SetFocus(m_hWnd);
        return TRUE;
    case WM_DESTROY:
        KillTimer(m_hWnd, TICK_TIMER);
        m_Flow.StopRun();
        FreeQueuedNotifications();
        ReleasePicture();
        if (m_hWarningFont != nullptr) {
            SendMessageA(Item(IDC_WARNING_TEXT), WM_SETFONT, 0, FALSE);
            DeleteObject(m_hWarningFont);
            m_hWarningFont = nullptr;
        }
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
    case PSN_QUERYCANCEL:
        // Escape, Cancel, the close box or Alt+F4 that the sheet let through:
        // TRUE keeps the wizard open.
        return NotifyResult(m_Flow.MayClose() ? FALSE : TRUE);
    case PSN_RESET:
        // The sheet is closing (allowed, so the run may still be stopped).
        m_Flow.StopRun();
        return FALSE;
    default:
        return FALSE;
    }
}

void CFinish::OnInitDialog()
{
    ScalePicture();
    SendMessageA(Item(IDC_OVERALL_PROGRESS), PBM_SETRANGE32, 0, 100);
    SendMessageA(Item(IDC_PHASE_PROGRESS), PBM_SETRANGE32, 0, 100);
    MakeReadOnlyText(IDC_RESULT_TEXT);
    SetScrollText(IDC_RESULT_TEXT, WIZ_TEXT_UPDATING);
    SetWindowTextA(Item(IDC_WARNING_TEXT), WIZ_TEXT_FLASH_WARNING);
    SetWindowTextA(Item(IDC_TRY_AGAIN), WIZ_TEXT_TRY_AGAIN);
    // The warning in the page's font, bold.
    LOGFONTA font = {};
    const auto hPageFont = reinterpret_cast<HFONT>(SendMessageA(m_hWnd, WM_GETFONT, 0, 0));
    if (hPageFont != nullptr && GetObjectA(hPageFont, sizeof font, &font) == sizeof font) {
        font.lfWeight = FW_BOLD;
        m_hWarningFont = CreateFontIndirectA(&font);
        if (m_hWarningFont != nullptr)
            SendMessageA(Item(IDC_WARNING_TEXT), WM_SETFONT, reinterpret_cast<WPARAM>(m_hWarningFont), FALSE);
    }
    SetTimer(m_hWnd, TICK_TIMER, TICK_MS, nullptr);
}

void CFinish::OnSetActive()
{
    SetWizardButtons(0);
    SetWindowTextA(SheetButton(IDC_SHEET_NEXT), WIZ_TEXT_FINISH);
    ShowWindow(SheetButton(IDCANCEL), SW_HIDE);
    PostMessageA(m_hWnd, WM_TAKE_FOCUS, FOCUS_PAGE, 0);
    m_SessionGuard.Attach(SheetWindow());
    m_Flow.Activate(m_Sheet.m_pPackage);
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
    SetScrollText(IDC_RESULT_TEXT, strText);
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

void CFinish::ShowTimes(const std::string& strLine)
{
    SetWindowTextA(Item(IDC_TIMES_TEXT), strLine.c_str());
}

void CFinish::ShowRetry(const std::string& strLine)
{
    SetWindowTextA(Item(IDC_RETRY_TEXT), strLine.c_str());
}

void CFinish::ShowFlashWarning(bool bShown)
{
    ShowWindow(Item(IDC_WARNING_TEXT), bShown ? SW_SHOW : SW_HIDE);
}

void CFinish::SetFinished(bool bFinished, bool bOfferRetry)
{
    // Finish shows in place of Next; after a failure Back is shown and
    // enabled too (the connection page hid it), with the page's Try again.
    const bool bRetry = bFinished && bOfferRetry;
    SetWizardButtons(bFinished ? (PSWIZB_FINISH | (bRetry ? PSWIZB_BACK : 0)) : 0);
    ShowWindow(SheetButton(IDC_SHEET_BACK), bRetry ? SW_SHOW : SW_HIDE);
    ShowWindow(Item(IDC_TRY_AGAIN), bRetry ? SW_SHOW : SW_HIDE);
    // Try again hides the button that had the focus: the page takes it, so
    // that Escape still reaches the sheet.
    PostMessageA(m_hWnd, WM_TAKE_FOCUS, bFinished ? FOCUS_FINISH : FOCUS_PAGE, 0);
}

bool CFinish::ConfirmCancel()
{
    const std::string strText = std::string(WIZ_TEXT_CANCEL_QUESTION) + "\r\n\r\n" + WIZ_TEXT_CANCEL_DETAIL;
    return MessageBoxA(SheetWindow(), strText.c_str(), WIZ_TEXT_CAPTION,
                       MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
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
