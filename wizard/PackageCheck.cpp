#include "wizard/PackageCheck.h"

#include <cstdio>

#include "engine/UpgradeJob.h"
#include "texts/Texts.h"
#include "wizard/TextFormat.h"
#include "wizard/WizardTexts.h"

namespace wizard {

namespace {

std::string Version(uint16_t wVersion)
{
    char szText[16];
    return FormatVersion(szText, sizeof szText, wVersion);
}

// "application v1.82 and boot loader v1.82", or one of them with what the
// receiver keeps.
std::string PartsText(const CHERFLoaderLib::CPackageFacts& facts)
{
    const std::string strApp = FormatText(WIZ_TEXT_APP_VERSION_FORMAT, Version(facts.wAppVersion).c_str());
    const std::string strBoot = FormatText(WIZ_TEXT_BOOT_VERSION_FORMAT, Version(facts.wBootVersion).c_str());
    if (facts.bHasApp && facts.bHasBoot)
        return strApp + " and " + strBoot;
    if (facts.bHasApp)
        return strApp + " (" + WIZ_TEXT_KEPT_BOOT + ")";
    return strBoot + " (" + WIZ_TEXT_KEPT_APP + ")";
}

}  // namespace

CPackageCheck CheckPackage(const std::string& strPath)
{
    CPackageCheck check;
    check.pPackage = CHERFLoaderLib::LoadPackage(strPath, check.strReason);
    check.bUsable = check.pPackage != nullptr;
    if (check.bUsable)
        check.facts = CHERFLoaderLib::DescribePackage(*check.pPackage);
    else if (check.strReason.empty())
        check.strReason = "the package cannot be read";
    return check;
}

std::string PackageText(const CPackageCheck& check)
{
    if (!check.bUsable)
        return std::string(WIZ_TEXT_PACKAGE_REFUSED) + "\r\n" + check.strReason;
    const CHERFLoaderLib::CPackageFacts& facts = check.facts;
    const std::string strFirst =
        facts.strName.empty() ? FormatText(WIZ_TEXT_PACKAGE_FORMAT, facts.strFile.c_str())
                              : FormatText(WIZ_TEXT_PACKAGE_NAME_FORMAT, facts.strFile.c_str(), facts.strName.c_str());
    return strFirst + "\r\n" + FormatText(WIZ_TEXT_MEANT_FOR_FORMAT, PartsText(facts).c_str(), facts.strBoards.c_str());
}

std::string RefusedNote(const std::string& strPath)
{
    const size_t nSlash = strPath.find_last_of("/\\");
    const std::string strName = nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
    return FormatText(WIZ_TEXT_PACKAGE_REFUSED_NOTE_FORMAT, strName.c_str());
}

}  // namespace wizard
