#include "wizard/win32/ConnectionPage.h"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "wizard/PortChoice.h"
#include "wizard/WizardTexts.h"
#include "wizard/win32/CustomPropertySheet.h"
#include "wizard/win32/ResourceIds.h"

namespace wizard::win32 {

namespace {

// The list thread's answer, posted to the page; the page frees it.
constexpr UINT WM_PORT_LIST_READY = WM_APP + 1;

struct CPortListMessage {
    uint32_t m_nFill;
    std::vector<CHERFLoaderLib::CPortEntry> m_Entries;
    CPackageCheck m_Package;
};

std::string WindowText(HWND hWnd)
{
    std::string str(static_cast<size_t>(GetWindowTextLengthA(hWnd)) + 1, '\0');
    str.resize(static_cast<size_t>(GetWindowTextA(hWnd, str.data(), static_cast<int>(str.size()))));
    return str;
}

}  // namespace

CConnectionPage::CConnectionPage(CCustomPropertySheet& sheet, std::string strPackagePath, CPortLister lister,
                                 CPackageChecker checker)
    : CDialogPage(sheet, IDD_CONNECTION_PAGE),
      m_strPackagePath(std::move(strPackagePath)),
      m_PortLister(lister ? std::move(lister) : CPortLister([] { return CHERFLoaderLib::ListComPorts(); })),
      m_PackageChecker(checker ? std::move(checker) : CPackageChecker(&CheckPackage))
{
}

CConnectionPage::~CConnectionPage()
{
    JoinFillThread();
}

INT_PTR CConnectionPage::OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    switch (nMessage) {
    case WM_INITDIALOG:
        ScalePicture();
        MakeReadOnlyText(IDC_PACKAGE_TEXT);
        return TRUE;
    case WM_NOTIFY:
        return OnNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_PORT_COMBO && HIWORD(wParam) == CBN_SELCHANGE)
            ShowSelectedDevice();
        return FALSE;
    case WM_PORT_LIST_READY: {
        std::unique_ptr<CPortListMessage> pMessage(reinterpret_cast<CPortListMessage*>(lParam));
        if (pMessage)
            OnPortListReady(pMessage->m_nFill, pMessage->m_Entries, pMessage->m_Package);
        return TRUE;
    }
    case WM_DESTROY: {
        JoinFillThread();
        // An answer still queued is freed with the window's other messages.
        MSG message;
        while (PeekMessageA(&message, m_hWnd, WM_PORT_LIST_READY, WM_PORT_LIST_READY, PM_REMOVE))
            delete reinterpret_cast<CPortListMessage*>(message.lParam);
        ReleasePicture();
        return FALSE;
    }
    default:
        return FALSE;
    }
}

INT_PTR CConnectionPage::OnNotify(const NMHDR& header)
{
    switch (header.code) {
    case PSN_SETACTIVE:
        OnSetActive();
        return NotifyResult(0);
    case PSN_WIZNEXT:
        // On to the progress page, or stay (-1) when Connect may not be pressed.
        return NotifyResult(OnWizardNext() ? 0 : -1);
    default:
        return FALSE;
    }
}

void CConnectionPage::OnSetActive()
{
    SetWizardButtons(0);
    JoinFillThread();
    m_bListReady = false;
    m_Entries.clear();
    SendMessageA(Item(IDC_PORT_COMBO), CB_RESETCONTENT, 0, 0);
    EnableWindow(Item(IDC_PORT_COMBO), FALSE);
    SetWindowTextA(Item(IDC_DEVICE_TEXT), "");
    SetScrollText(IDC_PACKAGE_TEXT, "");
    SetWindowTextA(Item(IDC_NOTE_TEXT), WIZ_TEXT_FINDING_PORTS);
    const uint32_t nFill = ++m_nFill;
    try {
        m_FillThread = std::thread([this, nFill, hPage = m_hWnd] { FillPortList(nFill, hPage); });
    } catch (const std::system_error&) {
        // Without a thread the list is made here; it takes a moment only.
        FillPortList(nFill, m_hWnd);
    }
    ShowWindow(SheetButton(IDC_SHEET_BACK), SW_HIDE);
    SetWindowTextA(SheetButton(IDC_SHEET_NEXT), WIZ_TEXT_CONNECT);
}

void CConnectionPage::FillPortList(uint32_t nFill, HWND hPage)
{
    auto* pMessage = new (std::nothrow) CPortListMessage{nFill, {}, {}};
    if (pMessage == nullptr)
        return;
    try {
        pMessage->m_Entries = m_PortLister();
    } catch (...) {
        // Without device information the nine names are still offered.
        pMessage->m_Entries.clear();
    }
    try {
        pMessage->m_Package = m_PackageChecker(m_strPackagePath);
    } catch (...) {
        pMessage->m_Package = CPackageCheck();
        pMessage->m_Package.strReason = "the package cannot be read";
    }
    // Controls belong to the user-interface thread: hand the answer over.
    if (!PostMessageA(hPage, WM_PORT_LIST_READY, 0, reinterpret_cast<LPARAM>(pMessage)))
        delete pMessage;
}

void CConnectionPage::OnPortListReady(uint32_t nFill, const std::vector<CHERFLoaderLib::CPortEntry>& entries,
                                      const CPackageCheck& package)
{
    if (nFill != m_nFill)
        return;  // answer of an earlier activation
    // Windows numbers USB adapters upwards: the present ports above COM9
    // are offered too, in number order (so the list is not sorted by text).
    m_Entries = PortChoices(entries, true);
    m_Package = package;
    HWND hCombo = Item(IDC_PORT_COMBO);
    SendMessageA(hCombo, CB_RESETCONTENT, 0, 0);
    for (const CHERFLoaderLib::CPortEntry& entry : m_Entries) {
        // The device is always \\.\COMn here: the entry names the port by
        // its description instead.
        const std::string strEntry = PortEntryText(
            entry.nNumber, entry.strDevice.empty() ? std::string() : entry.strDescription, entry.bMissing);
        SendMessageA(hCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(strEntry.c_str()));
    }
    FitDroppedWidth();
    SendMessageA(hCombo, CB_SETCURSEL, static_cast<WPARAM>(ChoiceIndex(m_Entries, g_nComPort)), 0);
    EnableWindow(hCombo, TRUE);
    m_bListReady = true;
    SetWindowTextA(Item(IDC_NOTE_TEXT), m_Package.bUsable ? WIZ_TEXT_SELECT_PORT
                                                          : RefusedNote(m_strPackagePath).c_str());
    SetScrollText(IDC_PACKAGE_TEXT, PackageText(m_Package));
    ShowSelectedDevice();
    // The user can pick a port with the keyboard at once.
    SendMessageA(SheetWindow(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hCombo), TRUE);
}

void CConnectionPage::FitDroppedWidth()
{
    // The closed list is narrower than its longest entries; the open one
    // shows them whole.
    HWND hCombo = Item(IDC_PORT_COMBO);
    HDC hDC = GetDC(hCombo);
    if (hDC == nullptr)
        return;
    HGDIOBJ hOldFont = SelectObject(hDC, reinterpret_cast<HGDIOBJ>(SendMessageA(hCombo, WM_GETFONT, 0, 0)));
    LONG nWidest = 0;
    const LRESULT nCount = SendMessageA(hCombo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < nCount; ++i) {
        char szEntry[512] = {};
        if (SendMessageA(hCombo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) >= LRESULT(sizeof szEntry))
            continue;
        SendMessageA(hCombo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(szEntry));
        SIZE size = {};
        if (GetTextExtentPoint32A(hDC, szEntry, lstrlenA(szEntry), &size) && size.cx > nWidest)
            nWidest = size.cx;
    }
    SelectObject(hDC, hOldFont);
    ReleaseDC(hCombo, hDC);
    const LONG nMargin = 2 * GetSystemMetrics(SM_CXEDGE) + GetSystemMetrics(SM_CXVSCROLL) + 8;
    SendMessageA(hCombo, CB_SETDROPPEDWIDTH, static_cast<WPARAM>(nWidest + nMargin), 0);
}

void CConnectionPage::ShowSelectedDevice()
{
    const LRESULT nIndex = SendMessageA(Item(IDC_PORT_COMBO), CB_GETCURSEL, 0, 0);
    SetWindowTextA(Item(IDC_DEVICE_TEXT), SelectedPortText(m_Entries, static_cast<int>(nIndex)).c_str());
    // The list cannot grey an entry: one without a device can be selected,
    // but Connect is not offered for it.
    SetWizardButtons(MayConnect() ? PSWIZB_NEXT : 0);
}

bool CConnectionPage::MayConnect() const
{
    const LRESULT nIndex = SendMessageA(Item(IDC_PORT_COMBO), CB_GETCURSEL, 0, 0);
    return m_bListReady && m_Package.bUsable && nIndex >= 0 && static_cast<size_t>(nIndex) < m_Entries.size() &&
           IsChoosable(m_Entries[static_cast<size_t>(nIndex)]);
}

bool CConnectionPage::OnWizardNext()
{
    if (!MayConnect())
        return false;
    ParseComPortText(WindowText(Item(IDC_PORT_COMBO)), g_nComPort);
    m_Sheet.m_pPackage = m_Package.pPackage;
    return true;
}

void CConnectionPage::JoinFillThread()
{
    if (m_FillThread.joinable())
        m_FillThread.join();
}

}  // namespace wizard::win32
