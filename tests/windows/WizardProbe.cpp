// wizard-probe.exe: reads the Win32 wizard's window from outside, as a
// screen reader would, for scripts/windows.sh, which types into the wizard
// through the X server and checks what it shows.
//
//   wizard-probe wait ID TEXT MS    waits until control ID of the current page
//                                   reads TEXT (TEXT ending in '*': starts
//                                   with it); prints what it read
//   wizard-probe enabled ID MS      waits until the sheet's button ID is
//                                   shown and enabled
//   wizard-probe gone MS            waits until the wizard has closed
//   wizard-probe endsession 0|1 MS  waits until the sheet answers a logoff's
//                                   WM_QUERYENDSESSION with FALSE (0) or
//                                   TRUE (1), as Windows asks before a logoff
//   wizard-probe click ID MS        waits until control ID of the current
//                                   page (or the sheet's button ID) is shown
//                                   and enabled, then clicks it
//   wizard-probe question yes|no|none MS
//                                   waits for the wizard's "Cancel the
//                                   upgrade?" box, prints its text and
//                                   answers it (none: leaves it open)
//
// Exit status 0 when the condition held in time, 1 when not (saying what
// was there instead, or that the wizard is gone), 2 for a usage error.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "wizard/WizardTexts.h"

namespace {

// The top-level windows with the wizard's caption: the sheet, and the
// question box while it is open.
std::vector<HWND> CaptionWindows()
{
    std::vector<HWND> windows;
    for (HWND hWnd = FindWindowExA(nullptr, nullptr, nullptr, wizard::WIZ_TEXT_CAPTION); hWnd != nullptr;
         hWnd = FindWindowExA(nullptr, hWnd, nullptr, wizard::WIZ_TEXT_CAPTION))
        windows.push_back(hWnd);
    return windows;
}

bool IsSheet(HWND hWnd)
{
    DWORD_PTR nPage = 0;
    return SendMessageTimeoutA(hWnd, PSM_GETCURRENTPAGEHWND, 0, 0, SMTO_ABORTIFHUNG, 2000, &nPage) && nPage != 0;
}

HWND Sheet()
{
    for (HWND hWnd : CaptionWindows())
        if (IsSheet(hWnd))
            return hWnd;
    return nullptr;
}

std::string ControlText(HWND hWnd)
{
    char szText[1024] = {};
    DWORD_PTR nResult = 0;
    if (!SendMessageTimeoutA(hWnd, WM_GETTEXT, sizeof szText, reinterpret_cast<LPARAM>(szText), SMTO_ABORTIFHUNG,
                             2000, &nResult))
        return std::string();
    return szText;
}

bool Matches(const std::string& strSeen, const std::string& strWanted)
{
    if (!strWanted.empty() && strWanted.back() == '*')
        return strSeen.compare(0, strWanted.size() - 1, strWanted, 0, strWanted.size() - 1) == 0;
    return strSeen == strWanted;
}

// Polls `check` until it holds or nMs have passed; `check` says what it saw.
template <typename Check>
int WaitFor(int nMs, Check check)
{
    std::string strSeen = "the wizard's window is not there";
    for (int nWaited = 0;; nWaited += 100) {
        HWND hSheet = Sheet();
        if (hSheet != nullptr && check(hSheet, strSeen))
            return 0;
        if (hSheet == nullptr)
            strSeen = "the wizard's window is not there";
        if (nWaited >= nMs) {
            std::printf("%s\n", strSeen.c_str());
            return 1;
        }
        Sleep(100);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string strCommand = argc > 1 ? argv[1] : "";
    if (strCommand == "wait" && argc == 5) {
        const int nId = std::atoi(argv[2]);
        const std::string strWanted = argv[3];
        return WaitFor(std::atoi(argv[4]), [&](HWND hSheet, std::string& strSeen) {
            const auto hPage = reinterpret_cast<HWND>(SendMessageA(hSheet, PSM_GETCURRENTPAGEHWND, 0, 0));
            strSeen = "\"" + ControlText(GetDlgItem(hPage, nId)) + "\"";
            if (!Matches(strSeen.substr(1, strSeen.size() - 2), strWanted))
                return false;
            std::printf("%s\n", strSeen.c_str());
            return true;
        });
    }
    if (strCommand == "enabled" && argc == 4) {
        const int nId = static_cast<int>(std::strtol(argv[2], nullptr, 0));
        return WaitFor(std::atoi(argv[3]), [&](HWND hSheet, std::string& strSeen) {
            HWND hButton = GetDlgItem(hSheet, nId);
            strSeen = std::string("button ") + argv[2] + (hButton == nullptr ? " is not there" : " is not enabled");
            return hButton != nullptr && IsWindowVisible(hButton) && IsWindowEnabled(hButton);
        });
    }
    if (strCommand == "gone" && argc == 3) {
        for (int nWaited = 0; Sheet() != nullptr; nWaited += 100) {
            if (nWaited >= std::atoi(argv[2])) {
                std::printf("the wizard is still open\n");
                return 1;
            }
            Sleep(100);
        }
        return 0;
    }
    if (strCommand == "endsession" && argc == 4) {
        const bool bAllowed = std::atoi(argv[2]) != 0;
        return WaitFor(std::atoi(argv[3]), [&](HWND hSheet, std::string& strSeen) {
            DWORD_PTR nAnswer = 0;
            if (!SendMessageTimeoutA(hSheet, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 2000,
                                     &nAnswer)) {
                strSeen = "WM_QUERYENDSESSION got no answer";
                return false;
            }
            strSeen = nAnswer != 0 ? "the end of the session was allowed" : "the end of the session was refused";
            return (nAnswer != 0) == bAllowed;
        });
    }
    if (strCommand == "click" && argc == 4) {
        const int nId = static_cast<int>(std::strtol(argv[2], nullptr, 0));
        return WaitFor(std::atoi(argv[3]), [&](HWND hSheet, std::string& strSeen) {
            const auto hPage = reinterpret_cast<HWND>(SendMessageA(hSheet, PSM_GETCURRENTPAGEHWND, 0, 0));
            HWND hControl = GetDlgItem(hPage, nId);
            if (hControl == nullptr)
                hControl = GetDlgItem(hSheet, nId);
            strSeen = std::string("control ") + argv[2] + (hControl == nullptr ? " is not there" : " is not enabled");
            if (hControl == nullptr || !IsWindowVisible(hControl) || !IsWindowEnabled(hControl))
                return false;
            PostMessageA(hControl, BM_CLICK, 0, 0);
            return true;
        });
    }
    if (strCommand == "question" && argc == 4) {
        const std::string strAnswer = argv[2];
        const int nMs = std::atoi(argv[3]);
        for (int nWaited = 0;; nWaited += 100) {
            for (HWND hWnd : CaptionWindows()) {
                if (IsSheet(hWnd))
                    continue;
                // The box's text is one of its static controls' (their ids
                // differ between Windows and Wine).
                std::string strText;
                for (HWND hChild = FindWindowExA(hWnd, nullptr, "Static", nullptr); hChild != nullptr;
                     hChild = FindWindowExA(hWnd, hChild, "Static", nullptr))
                    if (Matches(ControlText(hChild), std::string(wizard::WIZ_TEXT_CANCEL_QUESTION) + "*"))
                        strText = ControlText(hChild);
                if (strText.empty())
                    continue;
                std::printf("\"%s\"\n", strText.c_str());
                if (strAnswer != "none")
                    PostMessageA(hWnd, WM_COMMAND, strAnswer == "yes" ? IDYES : IDNO, 0);
                return 0;
            }
            if (nWaited >= nMs) {
                std::printf("no \"%s\" box\n", wizard::WIZ_TEXT_CANCEL_QUESTION);
                return 1;
            }
            Sleep(100);
        }
    }
    std::fprintf(stderr, "usage: wizard-probe wait ID TEXT MS | enabled ID MS | gone MS | endsession 0|1 MS | "
                         "click ID MS | question yes|no|none MS\n");
    return 2;
}
