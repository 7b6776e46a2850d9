#include "tests/e2e/WizardHarness.h"

#include <cstdlib>

#include <QApplication>

// The font library keeps a cache it never frees; not ours to report.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig\n";
}

QApplication& TestApp()
{
    static int s_nArgc = 1;
    static char s_szName[] = "trailmark-wizard-test";
    static char* s_apArgv[] = {s_szName, nullptr};
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication* s_pApp = new QApplication(s_nArgc, s_apArgv);
    return *s_pApp;
}
