#include "engine/PackageFacts.h"

#include <vector>

#include "texts/Texts.h"
#include "transfer/MemoryMap.h"
#include "transfer/PackageImage.h"

namespace CHERFLoaderLib {

namespace {

std::string FileNameOf(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\:");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string BoardsText(uint32_t family)
{
    if (family == 0)
        return "any board";
    const std::vector<int32_t> boards = GetFamilyBoards(family);
    char text[128];
    if (boards.empty())
        return std::string("no known board (device family ") + FormatFamily(text, sizeof text, family) + ")";
    return FormatBoards(text, sizeof text, boards.data(), boards.size());
}

}  // namespace

CPackageFacts DescribePackage(const CPackageImage& package)
{
    const CFirmwareFileEntry& entry = package.Entry();
    CPackageFacts facts;
    facts.strFile = FileNameOf(package.Path());
    if (entry.kind == KIND_PACKAGE)
        facts.strName = entry.description;
    for (const auto& section : entry.sections) {
        facts.bHasApp = facts.bHasApp || (section->flags & SECTION_APP);
        facts.bHasBoot = facts.bHasBoot || (section->flags & SECTION_BOOT);
    }
    facts.wAppVersion = package.AppVersion();
    facts.wBootVersion = package.BootVersion();
    facts.nFamily = entry.familyWord & DEVICE_FAMILY_MASK;
    facts.strBoards = BoardsText(facts.nFamily);
    return facts;
}

}  // namespace CHERFLoaderLib
