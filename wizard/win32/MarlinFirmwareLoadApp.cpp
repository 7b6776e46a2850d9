#include "wizard/win32/MarlinFirmwareLoadApp.h"

#include <utility>

#include <commctrl.h>

#include "wizard/WizardTexts.h"
#include "wizard/win32/ConnectionPage.h"
#include "wizard/win32/CustomPropertySheet.h"
#include "wizard/win32/Finish.h"

namespace wizard::win32 {

CMarlinFirmwareLoadApp theApp;

bool CMarlinFirmwareLoadApp::InitInstance(HINSTANCE hInstance, CJobFactory factory)
{
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    m_strPackagePath = WIZ_TEXT_PACKAGE;
    if (!factory)
        factory = &CEngineJobDriver::Make;
    // Destroyed in reverse: the progress page (which stops a run still
    // going), the connection page, the sheet.
    CCustomPropertySheet sheet(WIZ_TEXT_CAPTION, hInstance);
    CConnectionPage connection(sheet, m_strPackagePath);
    CFinish finish(sheet, m_strPackagePath, std::move(factory));
    sheet.AddPage(connection);
    sheet.AddPage(finish);
    sheet.DoModal();
    return false;
}

}  // namespace wizard::win32
