// The RAM and flash rules a package must meet on a receiver before the
// upgrade writes anything.
#include "transfer/LayoutCheck.h"

#include <algorithm>
#include <cstdio>

#include "transfer/Expander.h"
#include "transfer/MonitorImages.h"
#include "transfer/StagedImage.h"

namespace {

constexpr uint64_t ADDRESS_SPACE_END = 0x100000000ull;

// A byte range [m_nStart, m_nEnd) of the receiver's address space, in 64
// bits so that no sum wraps.
struct CRange {
    uint64_t m_nStart = 0;
    uint64_t m_nEnd = 0;

    bool Empty() const { return m_nEnd <= m_nStart; }
    bool Overlaps(const CRange& other) const
    {
        return !Empty() && !other.Empty() && m_nStart < other.m_nEnd && other.m_nStart < m_nEnd;
    }
    bool Contains(const CRange& inner) const
    {
        return inner.Empty() || (m_nStart <= inner.m_nStart && inner.m_nEnd <= m_nEnd);
    }
};

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Text(const CRange& range)
{
    return Hex(range.m_nStart) + " to " + Hex(range.m_nEnd);
}

std::string SectionName(size_t index)
{
    return "section " + std::to_string(index);
}

CRange StagedRange(const CSectionLayout& section, uint64_t top)
{
    const int64_t start = static_cast<int64_t>(top) + section.m_nStagingOffset;
    const uint64_t from = start < 0 ? 0 : static_cast<uint64_t>(start);
    return {from, from + section.m_nLength};
}

// A later section whose staged data the upgrade still reads: it is expanded
// or programmed from it.
bool IsStillNeeded(const CSectionLayout& section)
{
    return (section.m_nFlags & SECTION_COMPRESSED) != 0 || section.m_nProgramBytes != 0;
}

// The rules for one compressed section, `index` in plan order.
bool CheckExpansion(const CPackageLayout& layout, size_t index, const CRamArea& ram,
                    const CRange& monitor, std::string& reason)
{
    const CSectionLayout& section = layout.m_Sections[index];
    const std::string name = SectionName(index);
    if (!section.m_bExpandable) {
        reason = name + ": its compressed data has no valid prefix";
        return false;
    }
    const uint64_t top = uint64_t(ram.m_nBase) + ram.m_nSize;
    const CRange output{ram.m_nBase, uint64_t(ram.m_nBase) + section.m_nExpansionSize};
    const std::string expands = name + " expands to " + std::to_string(section.m_nExpansionSize) + " bytes";
    if (section.m_nExpansionSize > ram.m_nSize) {
        reason = expands + ", more than the receiver's RAM (" + std::to_string(ram.m_nSize) + " bytes)";
        return false;
    }
    if (output.Overlaps(monitor)) {
        reason = expands + " (" + Text(output) + ") over the flash monitor (" + Text(monitor) + ")";
        return false;
    }
    for (size_t later = index + 1; later < layout.m_Sections.size(); ++later) {
        const CSectionLayout& next = layout.m_Sections[later];
        const CRange staged = StagedRange(next, top);
        if (IsStillNeeded(next) && output.Overlaps(staged)) {
            reason = expands + " (" + Text(output) + ") over the staged data of " + SectionName(later) + " (" +
                     Text(staged) + "), which is still to be " +
                     ((next.m_nFlags & SECTION_COMPRESSED) ? "expanded" : "programmed");
            return false;
        }
    }
    // In place: the stream lies above the output, and the output must never
    // catch up with the part of the stream still to be read.
    const CRange own = StagedRange(section, top);
    const uint64_t stream = own.m_nStart + COMPRESSED_PREFIX_SIZE;
    if (stream < output.m_nStart + section.m_nExpansionLead) {
        reason = expands + " at " + Hex(output.m_nStart) + " and would overtake its own compressed data at " +
                 Hex(stream) + " before reading it; it needs " +
                 std::to_string(output.m_nStart + section.m_nExpansionLead - stream) + " bytes more RAM";
        return false;
    }
    return true;
}

// The whole sectors that "Prepare flash" erases for [start, end).
CRange ErasedSectors(const CFlashDevice_Info& flash, uint32_t start, uint32_t end)
{
    const int32_t first = flash.FindSector(start);
    const uint32_t count = flash.GetSectorSpan(start, end);
    if (first < 0 || count == 0)
        return {};
    const uint32_t last = static_cast<uint32_t>(first) + count - 1;
    const uint32_t from = flash.GetSectorAddress(static_cast<uint32_t>(first));
    const uint32_t lastAddress = flash.GetSectorAddress(last), lastSize = flash.GetSectorSize(last);
    if (from == FLASH_SECTOR_NONE || lastAddress == FLASH_SECTOR_NONE || lastSize == FLASH_SECTOR_NONE)
        return {};
    return {from, uint64_t(lastAddress) + lastSize};
}

}  // namespace

CPackageLayout DescribeLayout(const CFirmwareFileEntry& package)
{
    CPackageLayout layout;
    layout.m_nStagedTotal = GetStagedSize(package);
    for (const auto& pSection : package.sections) {
        const CFirmwareSection& section = *pSection;
        CSectionLayout row;
        row.m_nFlags = section.flags;
        row.m_nLength = section.length;
        row.m_nAddress = section.address;
        row.m_nStagingOffset = section.stagingOffset;
        CCompressedPrefix prefix;
        if (section.flags & SECTION_COMPRESSED) {
            if (section.data && ReadCompressedPrefix(section.data.get(), section.length, prefix)) {
                const CExpansionMeasure measure =
                    MeasureExpansion(section.data.get() + COMPRESSED_PREFIX_SIZE, prefix.streamLength);
                row.m_bExpandable = true;
                row.m_nProgramBytes = prefix.expandedLength;
                // The monitor writes every byte the stream produces, also
                // past the length the prefix promises.
                row.m_nExpansionSize = std::max(measure.m_nProduced, prefix.expandedLength);
                row.m_nExpansionLead = measure.m_nLead;
            }
        } else if (section.flags & SECTION_PLAIN) {
            row.m_nProgramBytes = section.length;
        }
        layout.m_Sections.push_back(row);
    }
    return layout;
}

CRamArea GetRamArea(const CMemoryMap_Info& map)
{
    return {map.m_nRamBase, map.m_nRamSize, map.m_nMonitorAddress, GetMonitorImage(map.m_nMapType).nLength};
}

bool CheckRamLayout(const CPackageLayout& layout, const CRamArea& ram, std::string& reason)
{
    const uint64_t top = uint64_t(ram.m_nBase) + ram.m_nSize;
    if (ram.m_nSize == 0 || top > ADDRESS_SPACE_END) {
        reason = "the receiver reports no usable RAM";
        return false;
    }
    if (layout.m_nStagedTotal > ram.m_nSize) {
        reason = "the image needs " + std::to_string(layout.m_nStagedTotal) +
                 " bytes of RAM to be staged, the receiver has " + std::to_string(ram.m_nSize);
        return false;
    }
    const CRange monitor{ram.m_nMonitorAddress, uint64_t(ram.m_nMonitorAddress) + ram.m_nMonitorLength};
    const CRange staged{top - layout.m_nStagedTotal, top};
    if (staged.Overlaps(monitor)) {
        reason = "the staged image (" + Text(staged) + ") would overwrite the flash monitor (" + Text(monitor) + ")";
        return false;
    }
    for (size_t i = 0; i < layout.m_Sections.size(); ++i)
        if ((layout.m_Sections[i].m_nFlags & SECTION_COMPRESSED) && !CheckExpansion(layout, i, ram, monitor, reason))
            return false;
    return true;
}

uint64_t GetRamNeeded(const CPackageLayout& layout, uint32_t base)
{
    // Every rule only gets easier with more RAM above the same base, so the
    // least size that passes is found by halving.
    auto fits = [&](uint64_t size) {
        std::string ignored;
        return CheckRamLayout(layout, CRamArea{base, static_cast<uint32_t>(size), 0, 0}, ignored);
    };
    uint64_t high = std::min<uint64_t>(0xFFFFFFFFu, ADDRESS_SPACE_END - base);
    if (!fits(high))
        return ADDRESS_SPACE_END;
    uint64_t low = 0;  // never fits: no RAM
    while (high - low > 1) {
        const uint64_t middle = low + (high - low) / 2;
        (fits(middle) ? high : low) = middle;
    }
    return high;
}

bool CheckFlashLayout(const CPackageLayout& layout, const CMemoryMap_Info& map, const CFlashDevice_Info& flash,
                      std::string& reason)
{
    std::vector<CRange> programmed;
    for (size_t i = 0; i < layout.m_Sections.size(); ++i) {
        const CSectionLayout& section = layout.m_Sections[i];
        const std::string name = SectionName(i);
        uint64_t start = 0, end = 0;
        if (section.m_nFlags & SECTION_APP) {
            start = map.m_nAppStart;
            end = uint64_t(map.m_nUpperStart) + map.m_nUpperSize;
        } else if (section.m_nFlags & SECTION_BOOT) {
            start = map.m_nBootStart;
            end = uint64_t(map.m_nBootStart) + map.m_nBootSize;
        } else {
            reason = name + " is neither an application nor a boot image: \"Prepare flash\" has no region to erase";
            return false;
        }
        if (start == 0 || end <= start || end >= ADDRESS_SPACE_END) {
            reason = "the receiver's memory map gives no flash region for " + name;
            return false;
        }
        const CRange erased = ErasedSectors(flash, static_cast<uint32_t>(start), static_cast<uint32_t>(end));
        const CRange program{section.m_nAddress, uint64_t(section.m_nAddress) + section.m_nProgramBytes};
        const std::string erasedText = erased.Empty() ? "nothing" : Text(erased);
        if (program.Empty()) {
            // Its erase would still leave the region blank.
            reason = name + " programs nothing, yet its \"Prepare flash\" erases " + erasedText;
            return false;
        }
        for (size_t earlier = 0; earlier < programmed.size(); ++earlier) {
            if (erased.Overlaps(programmed[earlier])) {
                reason = "the \"Prepare flash\" of " + name + " erases " + Text(erased) + ", where " +
                         SectionName(earlier) + " was programmed (" + Text(programmed[earlier]) + ")";
                return false;
            }
        }
        if (!erased.Contains(program)) {
            reason = name + " programs " + Text(program) + ", outside what its \"Prepare flash\" erases (" +
                     erasedText + ")";
            return false;
        }
        programmed.push_back(program);
    }
    return true;
}
