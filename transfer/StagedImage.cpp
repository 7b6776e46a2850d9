// Staging the package's sections as blocks below the top of RAM, and reading
// the versions the boot and application sections carry.
#include "transfer/StagedImage.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "package/ByteOrder.h"
#include "transfer/Expander.h"
#include "transfer/PackageProof.h"

namespace {

// Offsets from the top of RAM are signed 32-bit, so the image can take at
// most this much room below it.
constexpr uint64_t STAGING_LIMIT = 0x7FFFFFFF;
constexpr uint32_t BOOT_MARKER_SCAN = 64;  // marker positions 0 to 63

uint64_t StagedSizeOf(const CFirmwareFileEntry& package)
{
    uint64_t nTotal = 0;
    for (const auto& pSection : package.sections) {
        const uint64_t nLength = pSection->length;
        nTotal += (nLength + STAGING_BLOCK_SIZE - 1) / STAGING_BLOCK_SIZE * STAGING_BLOCK_SIZE;
    }
    return nTotal;
}


// The version in a plain image of `size` bytes, per the section's flags. Only
// whole markers with their version inside the image count.
uint16_t FindVersion(const uint8_t* image, uint32_t size, uint32_t flags)
{
    uint16_t nVersion = 0;
    if (flags & SECTION_BOOT) {
        for (uint32_t k = 0; k < BOOT_MARKER_SCAN && k + 6 <= size; ++k) {
            if (GetLe32(image + k) == BOOT_RECORD_MAGIC) {
                nVersion = GetLe16(image + k + 4);
                break;
            }
        }
    }
    if ((flags & SECTION_APP) && size >= 12 && GetLe32(image) == APP_IMAGE_MAGIC)
        nVersion = GetLe16(image + 10);
    return nVersion;
}

// Cuts one loaded section into blocks from `offset` on.
void AddSectionBlocks(const CFirmwareSection& section, int64_t offset, CSyncDataVector& imageData)
{
    uint32_t p = 0;
    while (p < section.length) {
        const uint32_t n = std::min(STAGING_BLOCK_SIZE, section.length - p);
        imageData.Add(section.data.get() + p, n, static_cast<int32_t>(offset), section.address + p);
        // A short last block still takes a whole block's room.
        offset += STAGING_BLOCK_SIZE;
        p += n;
    }
}

}  // namespace

uint32_t GetStagedSize(const CFirmwareFileEntry& package)
{
    return static_cast<uint32_t>(std::min<uint64_t>(StagedSizeOf(package), 0xFFFFFFFFu));
}

bool StageImage(CFirmwareFileEntry& package, CSyncDataVector& imageData, uint16_t& newAppVersion,
                uint16_t& newBootVersion)
{
    imageData.Clear();
    const uint64_t nTotal = StagedSizeOf(package);
    if (nTotal > STAGING_LIMIT) {
        package.m_strError = "image too large to stage: " + std::to_string(nTotal) +
                        " bytes, at most " + std::to_string(STAGING_LIMIT) + " fit below the top of RAM";
        return false;
    }
    int64_t nOffset = -static_cast<int64_t>(nTotal);
    for (size_t i = 0; i < package.sections.size(); ++i) {
        CFirmwareSection& section = *package.sections[i];
        section.stagingOffset = static_cast<int32_t>(nOffset);
        if (!section.LoadData(package.path)) {
            package.m_strError = SectionTitle(i, section) + ": " + section.m_strError;
            return false;
        }
        AddSectionBlocks(section, nOffset, imageData);
        nOffset += (static_cast<int64_t>(section.length) + STAGING_BLOCK_SIZE - 1) /
                   STAGING_BLOCK_SIZE * STAGING_BLOCK_SIZE;
        if (section.flags & SECTION_BOOT)
            newBootVersion = ReadEmbeddedVersion(section);
        if (section.flags & SECTION_APP)
            newAppVersion = ReadEmbeddedVersion(section);
    }
    // An upgrade that programs nothing would still write its record into
    // the receiver and report success.
    if (imageData.GetCount() == 0) {
        package.m_strError = "the package holds no image data (it has no sections): there is nothing to upgrade";
        return false;
    }
    return true;
}

uint16_t ReadEmbeddedVersion(const CFirmwareSection& section)
{
    if (!section.data || section.length == 0)
        return 0;
    if (section.flags & SECTION_COMPRESSED) {
        CCompressedPrefix prefix;
        if (!ReadCompressedPrefix(section.data.get(), section.length, prefix))
            return 0;
        // A hostile prefix could ask for gigabytes: no receiver holds more
        // than the limit, so a larger image carries no usable version.
        if (prefix.expandedLength == 0 || prefix.expandedLength > MAX_EXPANDED_LENGTH)
            return 0;
        std::unique_ptr<uint8_t[]> pCopy(new (std::nothrow) uint8_t[prefix.expandedLength]);
        if (!pCopy)
            return 0;
        // An image longer than the prefix says is cut at that length; the
        // version is read from what fits. A stream that ends early leaves
        // the rest of the copy unwritten, so only produced bytes are looked at.
        const uint32_t nProduced = ExpandBuffer(section.data.get() + COMPRESSED_PREFIX_SIZE,
                                                prefix.streamLength, pCopy.get(), prefix.expandedLength);
        return FindVersion(pCopy.get(), std::min(nProduced, prefix.expandedLength), section.flags);
    }
    if (section.flags & SECTION_PLAIN)
        return FindVersion(section.data.get(), section.length, section.flags);
    return 0;
}

bool ProgrammedImage(const CFirmwareSection& section, std::vector<uint8_t>& image)
{
    if (!section.data)
        return false;
    if (!(section.flags & SECTION_COMPRESSED)) {
        image.assign(section.data.get(), section.data.get() + section.length);
        return true;
    }
    CCompressedPrefix prefix;
    if (!ReadCompressedPrefix(section.data.get(), section.length, prefix) || prefix.expandedLength > MAX_EXPANDED_LENGTH)
        return false;
    image.assign(prefix.expandedLength, 0);
    const uint32_t produced = ExpandBuffer(section.data.get() + COMPRESSED_PREFIX_SIZE, prefix.streamLength,
                                           image.data(), prefix.expandedLength);
    return produced == prefix.expandedLength;
}
