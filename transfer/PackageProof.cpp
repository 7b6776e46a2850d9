// The rules a package must meet on every receiver it may go to.
#include "transfer/PackageProof.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "package/ByteOrder.h"
#include "transfer/Expander.h"
#include "transfer/FlashDevice.h"
#include "transfer/MemoryMap.h"
#include "transfer/StagedImage.h"

namespace {

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

// The built-in layout of every board the package goes to, with each chip
// such a board may carry. Today the boot loader's address, the boot region
// and the application's address are the same on every board and chip, but
// they are read from the maps, one per board class and chip, so that a
// class that ever differs is held to its own values: a package must suit
// every receiver its family admits. A family no board has is checked
// against every board, since a run that skips the family check may take it
// to any of them.
std::vector<std::unique_ptr<CMemoryMap_Info>> TargetLayouts(uint32_t familyWord)
{
    std::vector<int32_t> boards = GetFamilyBoards(familyWord);
    if (boards.empty())
        boards = GetFamilyBoards(0);
    std::vector<std::unique_ptr<CMemoryMap_Info>> maps;
    for (int32_t board : boards) {
        for (uint16_t device : FLASH_KNOWN_DEVICES) {
            auto map = CreateMemoryMapInfo(board, nullptr, 0);
            map->SetFlashIds(FLASH_MANUFACTURER_CODE, device);
            maps.push_back(std::move(map));
        }
    }
    return maps;
}

bool CheckFlags(uint32_t flags, std::string& reason)
{
    const bool boot = flags & SECTION_BOOT, app = flags & SECTION_APP;
    const bool plain = flags & SECTION_PLAIN, compressed = flags & SECTION_COMPRESSED;
    if (!boot && !app)
        reason = "it is neither a boot nor an application image, so no receiver has a region to erase for it";
    else if (boot && app)
        reason = "it is flagged both a boot and an application image";
    else if (!plain && !compressed)
        reason = "it is neither plain nor compressed, so nothing would be programmed";
    else if (plain && compressed)
        reason = "it is flagged both plain and compressed";
    return reason.empty();
}

// The boot image: at the boot loader's own address, inside the boot region.
bool CheckBootPlace(uint64_t start, uint64_t end, const CMemoryMap_Info& map, std::string& reason)
{
    const uint64_t regionEnd = uint64_t(map.m_nBootStart) + map.m_nBootSize;
    if (start != map.m_nBootStart)
        reason = "the boot image starts at " + Hex(start) + ", not at the boot loader's own address " +
                 Hex(map.m_nBootStart) + ": the receiver would never start again";
    else if (end > regionEnd)
        reason = "the boot image runs to " + Hex(end) + ", past the end of the boot region at " + Hex(regionEnd);
    return reason.empty();
}

// The application: where the boot loader looks for it, inside some
// receiver's flash. Whether it fits the chip of one receiver is left to the
// flash check of that receiver: the family does not tell the chip.
bool CheckApplicationPlace(uint64_t start, uint64_t end,
                           const std::vector<std::unique_ptr<CMemoryMap_Info>>& maps, std::string& reason)
{
    uint64_t flashEnd = 0;
    for (const auto& map : maps) {
        if (start != map->m_nAppStart) {
            reason = "it carries the application header but starts at " + Hex(start) + ", not at " +
                     Hex(map->m_nAppStart) + " where the boot loader looks for the application";
            return false;
        }
        flashEnd = std::max(flashEnd, uint64_t(map->m_nUpperStart) + map->m_nUpperSize);
    }
    if (end > flashEnd) {
        reason = "the application runs to " + Hex(end) + ", past the end of every receiver's flash at " + Hex(flashEnd);
        return false;
    }
    return true;
}

// All rules for one section; the reason without the section's title.
bool ProveSection(const CFirmwareSection& section,
                  const std::vector<std::unique_ptr<CMemoryMap_Info>>& maps, std::string& reason)
{
    if (!section.data) {
        reason = "its data is not loaded";
        return false;
    }
    const uint32_t sum = ByteSum(section.data.get(), section.length);
    if (sum != section.checksum) {
        char text[80];
        std::snprintf(text, sizeof text, "checksum 0x%08X expected, 0x%08X found", section.checksum, sum);
        reason = text;
        return false;
    }
    if (!CheckFlags(section.flags, reason))
        return false;
    std::vector<uint8_t> image;
    if (!SectionImage(section, image, reason))
        return false;
    const uint64_t start = section.address, end = start + image.size();
    if (start % FLASH_PROGRAM_UNIT != 0) {
        reason = "its address " + Hex(start) + " is not on a 16-bit word, the unit the flash programs";
        return false;
    }
    if (image.size() % FLASH_PROGRAM_UNIT != 0) {
        reason = "it programs " + std::to_string(image.size()) +
                 " bytes, not a whole number of 16-bit words, the unit the flash programs";
        return false;
    }
    if (section.flags & SECTION_BOOT)
        for (const auto& map : maps)
            if (!CheckBootPlace(start, end, *map, reason))
                return false;
    const bool carriesHeader = image.size() >= 4 && GetLe32(image.data()) == APP_IMAGE_MAGIC;
    return !carriesHeader || CheckApplicationPlace(start, end, maps, reason);
}

}  // namespace

std::string SectionTitle(size_t index, const CFirmwareSection& section)
{
    return "section " + std::to_string(index) + " (" + SectionFlagNames(section.flags) + " at " +
           Hex(section.address) + ")";
}

bool SectionImage(const CFirmwareSection& section, std::vector<uint8_t>& image, std::string& reason)
{
    image.clear();
    if (!section.data) {
        reason = "its data is not loaded";
        return false;
    }
    if (section.flags & SECTION_PLAIN) {
        image.assign(section.data.get(), section.data.get() + section.length);
        return true;
    }
    if (!(section.flags & SECTION_COMPRESSED))
        return true;
    CCompressedPrefix prefix;
    if (!ReadCompressedPrefix(section.data.get(), section.length, prefix)) {
        reason = "its compressed data has no valid prefix (the stream would run past the section's " +
                 std::to_string(section.length) + " bytes)";
        return false;
    }
    if (prefix.expandedLength == 0) {
        reason = "its prefix gives an expanded length of 0, so nothing would be programmed";
        return false;
    }
    if (prefix.expandedLength > MAX_EXPANDED_LENGTH) {
        reason = "its prefix gives an expanded length of " + std::to_string(prefix.expandedLength) +
                 " bytes, more than any receiver's flash (" + std::to_string(MAX_EXPANDED_LENGTH) + ")";
        return false;
    }
    image.resize(prefix.expandedLength);
    std::string why;
    if (!ExpandStrict(section.data.get() + COMPRESSED_PREFIX_SIZE, prefix.streamLength, image.data(),
                      prefix.expandedLength, why)) {
        image.clear();
        reason = "its compressed data is damaged: " + why;
        return false;
    }
    return true;
}

// The boot version record the receiver looks for: its magic at a 4-aligned
// offset of the first 256 bytes, the whole 16-byte record in the image.
static bool HasBootRecord(const std::vector<uint8_t>& image)
{
    constexpr size_t RECORD_BYTES = 16, SEARCHED = 256;
    for (size_t offset = 0; offset + 4 <= SEARCHED && offset + RECORD_BYTES <= image.size(); offset += 4)
        if (GetLe32(image.data() + offset) == BOOT_RECORD_MAGIC)
            return true;
    return false;
}

std::string RawImageReason(const CFirmwareFileEntry& package)
{
    const auto maps = TargetLayouts(package.familyWord);
    const uint32_t appStart = maps.empty() ? 0 : maps.front()->m_nAppStart;
    bool writesApp = false, writesAppStart = false;
    for (size_t i = 0; i < package.sections.size(); ++i) {
        const CFirmwareSection& section = *package.sections[i];
        std::vector<uint8_t> image;
        std::string ignored;
        if (!SectionImage(section, image, ignored))
            continue;  // ProvePackage names that fault
        if (section.flags & SECTION_BOOT) {
            if (!HasBootRecord(image))
                return SectionTitle(i, section) + ": the boot image holds no boot version record (" +
                       Hex(BOOT_RECORD_MAGIC) + " at a 4-aligned offset of its first 256 bytes), so the receiver "
                       "would not know its boot loader";
            continue;
        }
        writesApp = true;
        if (section.address != appStart)
            continue;
        writesAppStart = true;
        if (image.size() < 4 || GetLe32(image.data()) != APP_IMAGE_MAGIC)
            return SectionTitle(i, section) + ": it is written at " + Hex(appStart) +
                   ", where the boot loader looks for the application, but does not begin with the application "
                   "header (" + Hex(APP_IMAGE_MAGIC) + "), so the receiver would not start it";
    }
    if (writesApp && !writesAppStart)
        return "the package erases the application region but writes nothing at " + Hex(appStart) +
               ", where the boot loader looks for the application, so the receiver would have no application to "
               "start";
    return std::string();
}

bool ProvePackage(const CFirmwareFileEntry& package, std::string& reason, bool allowRaw)
{
    reason.clear();
    if (package.sections.empty()) {
        reason = "the package holds no image data (it has no sections): there is nothing to upgrade";
        return false;
    }
    const auto maps = TargetLayouts(package.familyWord);
    for (size_t i = 0; i < package.sections.size(); ++i) {
        std::string why;
        if (!ProveSection(*package.sections[i], maps, why)) {
            reason = SectionTitle(i, *package.sections[i]) + ": " + why;
            return false;
        }
    }
    if (!allowRaw)
        reason = RawImageReason(package);
    return reason.empty();
}

bool LoadProvenPackage(const char* path, CFirmwareFileEntry& package, std::string& reason, bool allowRaw)
{
    if (!package.Load(path)) {
        reason = package.m_strError.empty() ? "not a firmware package or image" : package.m_strError;
        return false;
    }
    for (size_t i = 0; i < package.sections.size(); ++i) {
        CFirmwareSection& section = *package.sections[i];
        if (!section.LoadData(package.path)) {
            reason = SectionTitle(i, section) + ": " + section.m_strError;
            return false;
        }
    }
    return ProvePackage(package, reason, allowRaw);
}
