// The RAM and flash layout rules a package must meet before the upgrade
// writes anything, and the expander's lead that the RAM rule relies on.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "package/Compressor.h"
#include "receiver/RamExpander.h"
#include "receiver/ReceiverMemory.h"
#include "transfer/Expander.h"
#include "transfer/LayoutCheck.h"

namespace {

constexpr uint32_t APP_C = SECTION_APP | SECTION_COMPRESSED;
constexpr uint32_t APP_P = SECTION_APP | SECTION_PLAIN;
constexpr uint32_t BOOT_P = SECTION_BOOT | SECTION_PLAIN;
constexpr uint32_t APP_ADDRESS = 0x01020000;
constexpr uint32_t BOOT_ADDRESS = 0x01000000;
constexpr uint32_t XERF1_RAM = 0x05000000;

struct CSec {
    uint32_t flags;
    uint32_t length;
    uint32_t address = APP_ADDRESS;
    uint32_t expansion = 0;  // compressed: bytes it expands to (and programs)
    uint32_t lead = 0;
    bool badPrefix = false;
};

// Staged as StageImage places it: in order, each section rounded up to
// 1024 bytes, the last one ending at the top of RAM.
CPackageLayout Layout(std::initializer_list<CSec> sections)
{
    CPackageLayout layout;
    for (const CSec& s : sections)
        layout.m_nStagedTotal += (s.length + 1023) / 1024 * 1024;
    int64_t offset = -static_cast<int64_t>(layout.m_nStagedTotal);
    for (const CSec& s : sections) {
        CSectionLayout row;
        row.m_nFlags = s.flags;
        row.m_nLength = s.length;
        row.m_nAddress = s.address;
        row.m_nStagingOffset = static_cast<int32_t>(offset);
        const bool compressed = s.flags & SECTION_COMPRESSED;
        row.m_bExpandable = compressed && !s.badPrefix;
        row.m_nProgramBytes = compressed ? (s.badPrefix ? 0 : s.expansion) : (s.flags & SECTION_PLAIN ? s.length : 0);
        row.m_nExpansionSize = row.m_bExpandable ? s.expansion : 0;
        row.m_nExpansionLead = s.lead;
        layout.m_Sections.push_back(row);
        offset += (s.length + 1023) / 1024 * 1024;
    }
    return layout;
}

// Boards 0 and 1: 512 KiB of RAM, the monitor outside it.
const CRamArea BOARD0{XERF1_RAM, 0x80000, 0x100000, 21164};

}  // namespace

// Catches each RAM fault the upgrade must refuse before the monitor upload,
// refusals of layouts that are safe, and a RAM-needed figure that disagrees
// with the rule.
TEST(LayoutCheck, RamRules)
{
    struct Row {
        const char* name;
        CPackageLayout layout;
        CRamArea ram;
        const char* reason;   // empty: passes
        uint64_t ramNeeded;   // 0: not stated
    } const rows[] = {
        {"expansion ends below the staged boot image",
         Layout({{APP_C, 0x30000, APP_ADDRESS, 0x50000, 0x1000}, {BOOT_P, 0xA000, BOOT_ADDRESS}}), BOARD0, "", 0},
        {"staged total larger than the RAM",
         Layout({{APP_P, 614400}, {BOOT_P, 40960, BOOT_ADDRESS}}), BOARD0,
         "the image needs 655360 bytes of RAM to be staged, the receiver has 524288", 655360},
        {"expansion over the staged boot image, still to be programmed",
         Layout({{APP_C, 0x30000, APP_ADDRESS, 513216, 0x1000}, {BOOT_P, 0xA000, BOOT_ADDRESS}}), BOARD0,
         "section 0 expands to 513216 bytes (0x05000000 to 0x0507D4C0) over the staged data of section 1 "
         "(0x05076000 to 0x05080000), which is still to be programmed",
         513216 + 0xA000},
        {"expansion over a later compressed section",
         Layout({{APP_C, 0x10000, APP_ADDRESS, 0x70001, 0x100}, {APP_C, 0x10000, 0x01100000, 0x1000, 0x100}}),
         BOARD0, "which is still to be expanded", 0},
        {"expansion over an earlier section, already programmed",
         Layout({{BOOT_P, 0x8000, BOOT_ADDRESS}, {APP_C, 0x8000, APP_ADDRESS, 0x7C000, 0x100}}), BOARD0, "", 0},
        {"expansion larger than the RAM", Layout({{APP_C, 0x1000, APP_ADDRESS, 0x80001, 0x10}}), BOARD0,
         "section 0 expands to 524289 bytes, more than the receiver's RAM (524288 bytes)", 0x80001},
        {"stream read just in time", Layout({{APP_C, 0x1000, APP_ADDRESS, 0x2000, 0x7F010}}), BOARD0, "", 0x80000},
        {"expander overtakes its own stream", Layout({{APP_C, 0x1000, APP_ADDRESS, 0x2000, 0x7F011}}), BOARD0,
         "would overtake its own compressed data at 0x0507F010 before reading it; it needs 1 bytes more RAM",
         0x80001},
        {"staged image over a monitor inside RAM", Layout({{BOOT_P, 0x8000, BOOT_ADDRESS}}),
         {XERF1_RAM, 0x80000, XERF1_RAM + 0x7C000, 21164}, "would overwrite the flash monitor", 0},
        {"expansion over a monitor inside RAM", Layout({{APP_C, 0x1000, APP_ADDRESS, 0x2000, 0x10}}),
         {XERF1_RAM, 0x80000, XERF1_RAM + 0x1000, 21164}, "over the flash monitor", 0},
        {"compressed data without a valid prefix", Layout({{APP_C, 0x1000, APP_ADDRESS, 0, 0, true}}), BOARD0,
         "section 0: its compressed data has no valid prefix", 0x100000000ull},
        {"RAM past the end of the address space", Layout({{BOOT_P, 0x100, BOOT_ADDRESS}}),
         {0xFFFF0000, 0x20000, 0, 0}, "no usable RAM", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string reason;
        const bool ok = CheckRamLayout(row.layout, row.ram, reason);
        EXPECT_EQ(ok, row.reason[0] == '\0') << reason;
        if (!ok) {
            EXPECT_NE(reason.find(row.reason), std::string::npos) << reason;
        }
        if (row.ramNeeded != 0) {
            EXPECT_EQ(GetRamNeeded(row.layout, row.ram.m_nBase), row.ramNeeded);
        }
        // The figure `trailmark info` shows is exactly where the rule flips.
        const uint64_t needed = GetRamNeeded(row.layout, XERF1_RAM);
        if (needed < 0x100000000ull) {
            std::string ignored;
            EXPECT_TRUE(CheckRamLayout(row.layout, {XERF1_RAM, uint32_t(needed), 0, 0}, ignored));
            EXPECT_FALSE(CheckRamLayout(row.layout, {XERF1_RAM, uint32_t(needed - 1), 0, 0}, ignored));
        }
    }
}

// Catches each flash fault the upgrade must refuse before the data upload:
// a section that programs outside what it erases, an erase that wipes an
// earlier section, a section with nothing to erase or program; on both
// chips, with the built-in maps.
TEST(LayoutCheck, FlashRules)
{
    struct Row {
        const char* name;
        CPackageLayout layout;
        const char* reasonBV16X4;  // empty: passes
        const char* reasonLV8011;
    } const rows[] = {
        {"application and boot image",
         Layout({{APP_C, 0x30000, APP_ADDRESS, 393216}, {BOOT_P, 40960, BOOT_ADDRESS}}), "", ""},
        {"boot image first", Layout({{BOOT_P, 0xC000, BOOT_ADDRESS}, {APP_P, 0x2000}}), "", ""},
        {"second application section erases the first",
         Layout({{APP_C, 0x30000, APP_ADDRESS, 393216}, {APP_P, 0x2000, 0x01100000}, {BOOT_P, 40960, BOOT_ADDRESS}}),
         "the \"Prepare flash\" of section 1 erases 0x01020000 to 0x01200000, where section 0 was programmed "
         "(0x01020000 to 0x01080000)",
         "the \"Prepare flash\" of section 1 erases 0x01020000 to 0x01100000, where section 0"},
        {"boot image larger than the boot region", Layout({{BOOT_P, 0xD000, BOOT_ADDRESS}}),
         "section 0 programs 0x01000000 to 0x0100D000, outside what its \"Prepare flash\" erases "
         "(0x01000000 to 0x0100C000)",
         "outside what its \"Prepare flash\" erases (0x01000000 to 0x0100C000)"},
        {"application that only the 2 MiB chip holds", Layout({{APP_P, 0x100000}}), "",
         "section 0 programs 0x01020000 to 0x01120000, outside"},
        {"application below its region", Layout({{APP_P, 0x1000, 0x01010000}}), "outside", "outside"},
        {"neither application nor boot image", Layout({{SECTION_PLAIN, 0x1000}}), "is neither an application",
         "is neither an application"},
        {"application section that programs nothing", Layout({{SECTION_APP, 0x1000}}),
         "section 0 programs nothing, yet its \"Prepare flash\" erases 0x01020000 to 0x01200000",
         "programs nothing"},
    };
    for (const auto& [code, chipName] : {std::pair{FLASH_DEVICE_AT49BV16X4, "AT49BV16X4"},
                                         std::pair{FLASH_DEVICE_AT49LV8011, "AT49LV8011"}}) {
        std::unique_ptr<CMemoryMap_Info> map = CreateMemoryMapInfo(7, nullptr, 0);
        map->SetFlashIds(0x1F, code);
        std::unique_ptr<CFlashDevice_Info> flash = CreateFlashDevice(code, FLASH_BASE_ADDRESS);
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + " on " + chipName);
            const char* expected = code == FLASH_DEVICE_AT49BV16X4 ? row.reasonBV16X4 : row.reasonLV8011;
            std::string reason;
            const bool ok = CheckFlashLayout(row.layout, *map, *flash, reason);
            EXPECT_EQ(ok, expected[0] == '\0') << reason;
            if (!ok) {
                EXPECT_NE(reason.find(expected), std::string::npos) << reason;
            }
        }
    }
}

// Catches a lead that lets the receiver's in-place expansion spoil its own
// stream, or one larger than needed: placed exactly the lead above the
// output the virtual receiver's expander gives the image back, one byte
// closer it does not.
TEST(LayoutCheck, ExpansionLeadIsExactForTheReceiversExpander)
{
    // Noise costs about its own length of stream; the zeros after it come
    // out of a few hundred bytes.
    std::vector<uint8_t> image;
    uint32_t state = 12345;
    auto noise = [&](int count) {
        for (int i = 0; i < count; ++i) {
            state = state * 1103515245u + 12345u;
            image.push_back(static_cast<uint8_t>(state >> 16));
        }
    };
    noise(20000);
    image.resize(image.size() + 60000, 0);
    noise(1000);
    const std::vector<uint8_t> section = CompressSection(image.data(), image.size());
    CCompressedPrefix prefix;
    ASSERT_TRUE(ReadCompressedPrefix(section.data(), uint32_t(section.size()), prefix));
    const CExpansionMeasure measure = MeasureExpansion(section.data() + COMPRESSED_PREFIX_SIZE, prefix.streamLength);
    EXPECT_EQ(measure.m_nProduced, image.size());
    // So the stream must start almost the zeros' length above the output.
    EXPECT_GT(measure.m_nLead, 55000u);
    EXPECT_LT(measure.m_nLead, 60000u);

    CReceiverChip_Info chip;
    ASSERT_TRUE(FindReceiverChip("AT49BV16X4", chip));
    for (uint32_t gap : {measure.m_nLead, measure.m_nLead - 1}) {
        CReceiverMemory memory(0, chip);
        const uint32_t at = XERF1_RAM + gap - uint32_t(COMPRESSED_PREFIX_SIZE);
        ASSERT_TRUE(memory.WriteRam(at, section.data(), uint32_t(section.size())));
        const CRamExpansion expansion = ExpandInRam(memory, at, prefix.streamLength, XERF1_RAM);
        std::vector<uint8_t> out(image.size());
        ASSERT_TRUE(memory.Read(XERF1_RAM, out.data(), uint32_t(out.size())));
        EXPECT_EQ(expansion.m_bOk && out == image, gap == measure.m_nLead) << "gap " << gap;
    }
}

// Catches a stream whose output is written after the whole stream has been
// read being held to a lead: its last token may overwrite the stream.
TEST(LayoutCheck, OutputAfterTheLastReadNeedsNoLead)
{
    // Escapes F0..F5; a run of 200 bytes of 'x' (F1 'x' 200).
    const std::vector<uint8_t> last{0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF1, 'x', 200};
    EXPECT_EQ(MeasureExpansion(last.data(), uint32_t(last.size())).m_nLead, 0u);
    // The same run followed by one literal: 200 bytes written with 9 of 10
    // stream bytes read.
    std::vector<uint8_t> notLast = last;
    notLast.push_back('y');
    const CExpansionMeasure measure = MeasureExpansion(notLast.data(), uint32_t(notLast.size()));
    EXPECT_EQ(measure.m_nLead, 191u);
    EXPECT_EQ(measure.m_nProduced, 201u);
}
