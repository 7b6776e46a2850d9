// Staging a package as blocks below the top of RAM, the versions read while
// staging, and the locked block list's hand-out to upload threads.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "package/Compressor.h"
#include "package/FirmwareFile.h"
#include "transfer/DataBuffer.h"
#include "transfer/StagedImage.h"
#include "tests/TempFolder.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct CTestSection {
    uint32_t flags = SECTION_PLAIN;
    uint32_t address = 0x01020000;
    Bytes data;
    uint32_t length = 0;  // when data is left empty: a record with no data behind it
    bool badChecksum = false;
};

void PutLe32(Bytes& out, uint32_t value)
{
    for (int k = 0; k < 4; ++k)
        out.push_back(static_cast<uint8_t>(value >> (8 * k)));
}

void PutLe16At(Bytes& out, size_t offset, uint16_t value)
{
    out[offset] = static_cast<uint8_t>(value);
    out[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32At(Bytes& out, size_t offset, uint32_t value)
{
    for (int k = 0; k < 4; ++k)
        out[offset + k] = static_cast<uint8_t>(value >> (8 * k));
}

Bytes Pattern(size_t length, uint8_t seed)
{
    Bytes data(length);
    for (size_t k = 0; k < length; ++k)
        data[k] = static_cast<uint8_t>(seed + k * 13 + k / 251);
    return data;
}

// A QFW2 package in a fresh temporary folder: header, records, then data.
class CTempPackage {
public:
    explicit CTempPackage(const std::vector<CTestSection>& sections)
    {
        m_strDir = MakeTempFolder("trailmark_staging");
        m_strPath = m_strDir + "/test.q";
        Bytes file = {'Q', 'F', 'W', '2'};
        file.resize(68, 0);  // the name: not needed here
        PutLe32(file, static_cast<uint32_t>(sections.size()));
        PutLe32(file, 0x00003000);
        uint32_t nOffset = static_cast<uint32_t>(PACKAGE_HEADER_SIZE + SECTION_RECORD_SIZE * sections.size());
        for (const CTestSection& section : sections) {
            uint32_t nSum = 0;
            for (uint8_t byte : section.data)
                nSum += byte;
            PutLe32(file, section.flags);
            PutLe32(file, section.data.empty() ? section.length : static_cast<uint32_t>(section.data.size()));
            PutLe32(file, section.address);
            PutLe32(file, nOffset);
            PutLe32(file, section.badChecksum ? nSum + 1 : nSum);
            nOffset += static_cast<uint32_t>(section.data.size());
        }
        for (const CTestSection& section : sections)
            file.insert(file.end(), section.data.begin(), section.data.end());
        FILE* pFile = std::fopen(m_strPath.c_str(), "wb");
        std::fwrite(file.data(), 1, file.size(), pFile);
        std::fclose(pFile);
    }
    ~CTempPackage() { std::filesystem::remove_all(m_strDir); }

    const char* Path() const { return m_strPath.c_str(); }

private:
    std::string m_strDir;
    std::string m_strPath;
};

struct CStaged {
    bool ok = false;
    uint16_t app = 0xEEEE;
    uint16_t boot = 0xEEEE;
};

CStaged Stage(CFirmwareFileEntry& entry, CSyncDataVector& blocks)
{
    CStaged result;
    result.ok = StageImage(entry, blocks, result.app, result.boot);
    return result;
}

Bytes AppImage(uint16_t version, size_t length = 64)
{
    Bytes image = Pattern(length, 3);
    PutLe32At(image, 0, APP_IMAGE_MAGIC);
    PutLe16At(image, 10, version);
    return image;
}

Bytes BootImage(size_t markerAt, uint16_t version, size_t length = 128)
{
    Bytes image(length, 0x11);
    PutLe32At(image, markerAt, BOOT_RECORD_MAGIC);
    PutLe16At(image, markerAt + 4, version);
    return image;
}

Bytes DropLast(Bytes data)
{
    data.pop_back();
    return data;
}

uint16_t VersionOf(uint32_t flags, const Bytes& data)
{
    CFirmwareSection section(static_cast<uint32_t>(data.size()), 0x01000000, 0, flags, CHECKSUM_NOT_GIVEN);
    if (!data.empty()) {
        section.data = std::make_unique<uint8_t[]>(data.size());
        std::copy(data.begin(), data.end(), section.data.get());
    }
    return ReadEmbeddedVersion(section);
}

}  // namespace

// Catches wrong rounding, offsets that do not end at the top of RAM, and a
// short last block that does not take a whole block's room.
TEST(Staging, LayoutBelowTopOfRam)
{
    struct CBlock {
        int32_t offset;
        uint32_t length;
    };
    struct Row {
        std::vector<size_t> lengths;
        uint32_t total;
        std::vector<int32_t> sectionOffsets;
        std::vector<CBlock> blocks;
    };
    const Row rows[] = {
        {{1024}, 1024, {-1024}, {{-1024, 1024}}},
        {{1025}, 2048, {-2048}, {{-2048, 1024}, {-1024, 1}}},
        {{3000, 100}, 4096, {-4096, -1024}, {{-4096, 1024}, {-3072, 1024}, {-2048, 952}, {-1024, 100}}},
    };
    for (const Row& row : rows) {
        std::vector<CTestSection> sections;
        for (size_t k = 0; k < row.lengths.size(); ++k)
            sections.push_back({SECTION_PLAIN, 0x01000000u + 0x10000u * static_cast<uint32_t>(k),
                                Pattern(row.lengths[k], static_cast<uint8_t>(k)), 0, false});
        CTempPackage file(sections);
        CFirmwareFileEntry entry;
        ASSERT_TRUE(entry.Load(file.Path())) << entry.m_strError;
        EXPECT_EQ(GetStagedSize(entry), row.total);
        CSyncDataVector blocks;
        ASSERT_TRUE(Stage(entry, blocks).ok) << entry.m_strError;
        for (size_t k = 0; k < row.sectionOffsets.size(); ++k)
            EXPECT_EQ(entry.sections[k]->stagingOffset, row.sectionOffsets[k]);
        ASSERT_EQ(blocks.GetCount(), static_cast<int>(row.blocks.size()));
        size_t nSection = 0, nInSection = 0;
        for (int b = 0; b < blocks.GetCount(); ++b) {
            const CDataBufferItem* pItem = blocks.GetItem(b);
            EXPECT_EQ(pItem->m_nRamOffset, row.blocks[b].offset) << "block " << b;
            ASSERT_EQ(pItem->m_nLength, row.blocks[b].length) << "block " << b;
            if (nInSection >= row.lengths[nSection])
                ++nSection, nInSection = 0;
            EXPECT_EQ(pItem->m_nAddress, sections[nSection].address + nInSection);
            EXPECT_TRUE(std::equal(pItem->m_pData.get(), pItem->m_pData.get() + pItem->m_nLength,
                                   sections[nSection].data.begin() + static_cast<long>(nInSection)));
            EXPECT_FALSE(pItem->m_bTaken);
            nInSection += pItem->m_nLength;
        }
        EXPECT_EQ(blocks.GetItem(blocks.GetCount() - 1)->m_nRamOffset + 1024, 0);
    }
}

// Catches later sections being visited after a failure, earlier blocks being
// dropped, and an error that does not say which section failed.
TEST(Staging, FailedSectionStopsAndKeepsEarlierBlocks)
{
    CTempPackage file({{SECTION_PLAIN, 0x01000000, Pattern(1500, 1), 0, false},
                       {SECTION_PLAIN, 0x01010000, Pattern(200, 2), 0, true},
                       {SECTION_PLAIN, 0x01020000, Pattern(300, 3), 0, false}});
    CFirmwareFileEntry entry;
    ASSERT_TRUE(entry.Load(file.Path())) << entry.m_strError;
    CSyncDataVector blocks;
    blocks.Add(Pattern(10, 9).data(), 10, -1024, 1);  // left from an earlier run: cleared
    EXPECT_FALSE(Stage(entry, blocks).ok);
    EXPECT_EQ(blocks.GetCount(), 2);
    EXPECT_EQ(blocks.GetItem(0)->m_nRamOffset, -4096);
    EXPECT_EQ(entry.sections[1]->stagingOffset, -2048);
    EXPECT_EQ(entry.sections[2]->stagingOffset, 0);
    EXPECT_FALSE(entry.sections[2]->data);
    EXPECT_EQ(entry.m_strError.rfind("section 1 (", 0), 0u) << entry.m_strError;
}

// Catches a 32-bit wrap of the staged total and offsets that no longer fit a
// signed 32-bit number: a hostile package must fail cleanly before loading.
TEST(Staging, HugeSectionsAreRefusedBeforeLoading)
{
    CTempPackage file({{SECTION_PLAIN, 0x01000000, {}, 0x7FFFFFFF, false},
                       {SECTION_PLAIN, 0x01000000, {}, 0x7FFFFFFF, false},
                       {SECTION_PLAIN, 0x01000000, {}, 0xFFFFFFFF, false}});
    CFirmwareFileEntry entry;
    ASSERT_TRUE(entry.Load(file.Path())) << entry.m_strError;
    EXPECT_EQ(GetStagedSize(entry), 0xFFFFFFFFu);
    CSyncDataVector blocks;
    EXPECT_FALSE(Stage(entry, blocks).ok);
    EXPECT_EQ(blocks.GetCount(), 0);
    EXPECT_FALSE(entry.sections[0]->data);
    EXPECT_NE(entry.m_strError.find("too large"), std::string::npos) << entry.m_strError;
}

TEST(Staging, VersionsOfBothKindsAreSet)
{
    const Bytes both = [] {
        Bytes image = AppImage(182, 128);
        PutLe32At(image, 32, BOOT_RECORD_MAGIC);
        PutLe16At(image, 36, 150);
        return image;
    }();
    const Bytes app = AppImage(205, 4000);
    const Bytes appSection = CompressSection(app.data(), app.size());
    CTempPackage file({{SECTION_APP | SECTION_COMPRESSED, 0x01020000, appSection, 0, false},
                       {SECTION_BOOT | SECTION_PLAIN, 0x01000000, BootImage(32, 131), 0, false},
                       {SECTION_BOOT | SECTION_APP | SECTION_PLAIN, 0x01000000, both, 0, false}});
    CFirmwareFileEntry entry;
    ASSERT_TRUE(entry.Load(file.Path())) << entry.m_strError;
    CSyncDataVector blocks;
    const CStaged staged = Stage(entry, blocks);
    ASSERT_TRUE(staged.ok) << entry.m_strError;
    // The last section has both flags: the application magic wins for both.
    EXPECT_EQ(staged.app, 182);
    EXPECT_EQ(staged.boot, 182);
    EXPECT_EQ(VersionOf(SECTION_APP | SECTION_COMPRESSED, appSection), 205);
}

// Catches scans past the marker window or the image's end, and versions
// taken from images the flags do not describe.
TEST(Staging, EmbeddedVersionRules)
{
    struct Row {
        const char* what;
        uint32_t flags;
        Bytes data;
        uint16_t version;
    };
    const uint32_t BOOT = SECTION_BOOT | SECTION_PLAIN;
    const uint32_t APP = SECTION_APP | SECTION_PLAIN;
    const Row rows[] = {
        {"boot marker at 63", BOOT, BootImage(63, 120), 120},
        {"boot marker at 64", BOOT, BootImage(64, 120), 0},
        {"marker with version at the end", BOOT, BootImage(60, 77, 66), 77},
        {"version cut by the end", BOOT, DropLast(BootImage(60, 77, 66)), 0},
        {"first of two markers", BOOT, [] { Bytes b = BootImage(40, 2); PutLe32At(b, 8, BOOT_RECORD_MAGIC); PutLe16At(b, 12, 1); return b; }(), 1},
        {"app header of 12 bytes", APP, AppImage(182, 12), 182},
        {"app image of 11 bytes", APP, DropLast(AppImage(182, 12)), 0},
        {"app without magic", APP, Pattern(64, 0), 0},
        {"app flag ignores boot marker", APP, BootImage(8, 99), 0},
        {"neither plain nor compressed", SECTION_APP, AppImage(182), 0},
        {"no data", BOOT, {}, 0},
    };
    for (const Row& row : rows)
        EXPECT_EQ(VersionOf(row.flags, row.data), row.version) << row.what;
}

// Catches trusting a compressed section's prefix: a stream running past the
// section, or an expanded length beyond the limit, carries no version.
TEST(Staging, CompressedPrefixIsChecked)
{
    const Bytes app = AppImage(182, 600);
    const Bytes good = CompressSection(app.data(), app.size());
    const uint32_t COMPRESSED_APP = SECTION_APP | SECTION_COMPRESSED;
    ASSERT_EQ(VersionOf(COMPRESSED_APP, good), 182);

    Bytes huge = good;
    PutLe32At(huge, 4, MAX_EXPANDED_LENGTH + 1);
    EXPECT_EQ(VersionOf(COMPRESSED_APP, huge), 0);
    Bytes atLimit = good;  // the limit itself is allowed
    PutLe32At(atLimit, 4, MAX_EXPANDED_LENGTH);
    EXPECT_EQ(VersionOf(COMPRESSED_APP, atLimit), 182);
    Bytes pastEnd = good;
    PutLe32At(pastEnd, 0, static_cast<uint32_t>(good.size()));
    EXPECT_EQ(VersionOf(COMPRESSED_APP, pastEnd), 0);
    Bytes shortCapacity = good;  // the image is cut at 12 bytes: still enough
    PutLe32At(shortCapacity, 4, 12);
    EXPECT_EQ(VersionOf(COMPRESSED_APP, shortCapacity), 182);
    EXPECT_EQ(VersionOf(COMPRESSED_APP, Bytes(good.begin(), good.begin() + 15)), 0);
}

// Catches a block handed to both upload threads, a lost block, and a cursor
// that does not end at the block count.
TEST(BlockList, TwoThreadsClaimEveryBlockOnce)
{
    CSyncDataVector blocks;
    const int nCount = 5000;
    const Bytes data = Pattern(16, 0);
    for (int k = 0; k < nCount; ++k)
        blocks.Add(data.data(), 16, -1024 * (nCount - k), static_cast<uint32_t>(k));
    std::vector<const CDataBufferItem*> claimed[2];
    auto drain = [&blocks](std::vector<const CDataBufferItem*>& out) {
        while (const CDataBufferItem* pItem = blocks.GetNextItem())
            out.push_back(pItem);
    };
    blocks.Rewind();
    std::thread first(drain, std::ref(claimed[0]));
    std::thread second(drain, std::ref(claimed[1]));
    first.join();
    second.join();
    std::set<const CDataBufferItem*> all(claimed[0].begin(), claimed[0].end());
    all.insert(claimed[1].begin(), claimed[1].end());
    EXPECT_EQ(claimed[0].size() + claimed[1].size(), static_cast<size_t>(nCount));
    EXPECT_EQ(all.size(), static_cast<size_t>(nCount));
    EXPECT_EQ(blocks.GetNextItem(), nullptr);
    EXPECT_EQ(blocks.GetPosition(), nCount);
    // Taken flags stay set: a rewind hands nothing out again.
    blocks.Rewind();
    EXPECT_EQ(blocks.GetPosition(), 0);
    EXPECT_EQ(blocks.GetNextItem(), nullptr);
    EXPECT_EQ(blocks.GetPosition(), nCount);
}

TEST(BlockList, ClaimOrderAndAccessors)
{
    CSyncDataVector blocks;
    const Bytes data = Pattern(8, 4);
    blocks.Add(data.data(), 8, -2048, 0x100);
    blocks.Add(nullptr, 0, -1024, 0x200);
    EXPECT_FALSE(blocks.GetItem(1)->m_pData);
    EXPECT_EQ(blocks.GetItem(2), nullptr);
    EXPECT_EQ(blocks.GetItem(-1), nullptr);
    EXPECT_EQ(blocks.GetNextItem(), blocks.GetItem(0));
    // The cursor stays on the block just claimed; the next call steps over it.
    EXPECT_EQ(blocks.GetPosition(), 0);
    EXPECT_EQ(blocks.GetNextItem(), blocks.GetItem(1));
    blocks.Clear();
    EXPECT_EQ(blocks.GetCount(), 0);
    EXPECT_EQ(blocks.GetNextItem(), nullptr);
}
