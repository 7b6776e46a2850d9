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
//
// Exit status 0 when the condition held in time, 1 when not (saying what
// was there instead, or that the wizard is gone), 2 for a usage error.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "wizard/WizardTexts.h"

namespace {

HWND Sheet()
{
    return FindWindowA(nullptr, wizard::WIZ_TEXT_CAPTION);
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
    std::fprintf(stderr, "usage: wizard-probe wait ID TEXT MS | enabled ID MS | gone MS | endsession 0|1 MS\n");
    return 2;
}
