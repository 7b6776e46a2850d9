#include "wizard/MarlinFirmwareLoadApp.h"

#include <utility>

#include "wizard/ConnectionPage.h"
#include "wizard/CustomPropertySheet.h"
#include "wizard/Finish.h"
#include "wizard/WizardTexts.h"

namespace wizard {

CMarlinFirmwareLoadApp theApp;

bool CMarlinFirmwareLoadApp::InitInstance(CJobFactory factory)
{
    m_strPackagePath = WIZ_TEXT_PACKAGE;
    if (!factory)
        factory = &CEngineJobDriver::Make;

    CCustomPropertySheet sheet(QString::fromUtf8(WIZ_TEXT_CAPTION));
    // The sheet owns its pages and deletes them when it is destroyed; the
    // progress page's destructor stops a run that is still going.
    sheet.addPage(new CConnectionPage(m_strPackagePath));
    sheet.addPage(new CFinish(m_strPackagePath, std::move(factory)));
    sheet.setStartId(0);
    sheet.exec();
    return false;
}

}  // namespace wizard
