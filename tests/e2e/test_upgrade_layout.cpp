// Packages that do not fit the receiver they meet: each must be refused with
// its reason before anything is erased, and the receiver's flash must stay
// as it was. Made from the sample firmware's images.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>

#include "package/Compressor.h"
#include "package/FirmwareFile.h"
#include "package/PackageWriter.h"
#include "tests/e2e/UpgradeHarness.h"

using namespace harness;

namespace {

constexpr uint32_t APP_ADDRESS = 0x01020000;
constexpr uint32_t BOOT_ADDRESS = 0x01000000;
constexpr uint32_t FLASH_SIZE = 0x200000;  // AT49BV16X4

class UpgradeLayout : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/trailmark-layout-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Folder = pattern;
        m_App = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/app.bin");
        m_Boot = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/boot.bin");
        ASSERT_FALSE(m_App.empty());
        ASSERT_FALSE(m_Boot.empty());
    }
    void TearDown() override { std::filesystem::remove_all(m_Folder); }

    static CPackSection Section(uint32_t flags, uint32_t address, const std::vector<uint8_t>& bytes)
    {
        CPackSection section;
        section.flags = flags;
        section.address = address;
        section.data = (flags & SECTION_COMPRESSED) ? CompressSection(bytes.data(), bytes.size()) : bytes;
        return section;
    }
    static std::vector<uint8_t> Padded(std::vector<uint8_t> bytes, size_t size, uint8_t fill)
    {
        bytes.resize(size, fill);
        return bytes;
    }
    std::string Package(const std::vector<CPackSection>& sections)
    {
        const std::string path = (m_Folder / "layout.q").string();
        std::string error;
        EXPECT_TRUE(WritePackage(path, "Layout", 0x3000, sections, error)) << error;
        return path;
    }

    // Runs the package against the receiver: refused with `reason`, before
    // the step `notBegun` began, and the flash untouched.
    void ExpectRefused(const CReceiverConfig& config, const std::string& package, uint32_t options,
                       const std::string& reason, int32_t notBegun)
    {
        CReceiverUnderTest receiver(config);
        std::string error;
        ASSERT_TRUE(receiver.Start(error)) << error;
        std::vector<uint8_t> before, after;
        ASSERT_TRUE(receiver.Receiver().ReadMemory(BOOT_ADDRESS, FLASH_SIZE, before));
        CRecorder recorder;
        const CRunResult run = RunUpgrade(receiver, recorder, options, package, 60);
        ASSERT_EQ(run.nStart, 0);
        ASSERT_TRUE(run.bFinished);
        EXPECT_EQ(run.nResult, HLE_PACKAGE_REFUSED) << ResultCodeName(run.nResult);
        bool told = false;
        for (const CLoaderNotification& n : recorder.Items())
            told = told || (n.nCode == HLN_TEXT && n.strText.rfind("Package refused: ", 0) == 0 &&
                            n.strText.find(reason) != std::string::npos);
        EXPECT_TRUE(told) << "no refusal text with: " << reason;
        EXPECT_NE(run.strReason.find(reason), std::string::npos) << "the run's reason: " << run.strReason;
        EXPECT_EQ(recorder.Count(notBegun, STEP_BEGIN), 0) << NotificationName(notBegun) << " began";
        EXPECT_EQ(recorder.Count(HLN_PREPARE_FLASH, STEP_BEGIN), 0);
        ASSERT_TRUE(receiver.Receiver().ReadMemory(BOOT_ADDRESS, FLASH_SIZE, after));
        EXPECT_TRUE(before == after) << "the receiver's flash was changed";
    }

    std::filesystem::path m_Folder;
    std::vector<uint8_t> m_App;
    std::vector<uint8_t> m_Boot;
};

// The application and 120000 zero bytes expand to 513216 bytes on a 512 KiB
// receiver, over the staged boot image that is programmed after it.
TEST_F(UpgradeLayout, ExpansionOverTheStagedBootImageIsRefused)
{
    CReceiverConfig config;
    config.m_nBoardId = 0;
    const std::string package =
        Package({Section(SECTION_APP | SECTION_COMPRESSED, APP_ADDRESS, Padded(m_App, m_App.size() + 120000, 0)),
                 Section(SECTION_BOOT | SECTION_PLAIN, BOOT_ADDRESS, m_Boot)});
    ExpectRefused(config, package, 0x73,
                  "section 0 expands to 513216 bytes (0x05000000 to 0x0507D4C0) over the staged data of section 1",
                  HLN_MONITOR_UPLOAD);
}

// 655360 staged bytes on a 512 KiB receiver would be sent below its RAM.
TEST_F(UpgradeLayout, StagedTotalLargerThanTheRamIsRefused)
{
    CReceiverConfig config;
    config.m_nBoardId = 0;
    const std::string package = Package({Section(SECTION_APP | SECTION_PLAIN, APP_ADDRESS, Padded(m_App, 614400, 0xFF)),
                                         Section(SECTION_BOOT | SECTION_PLAIN, BOOT_ADDRESS, m_Boot)});
    ExpectRefused(config, package, 0x163, "the image needs 655360 bytes of RAM to be staged, the receiver has 524288",
                  HLN_MONITOR_UPLOAD);
}

// A second application section's "Prepare flash" erases the whole
// application region again, over the first.
TEST_F(UpgradeLayout, SecondApplicationSectionErasingTheFirstIsRefused)
{
    const std::string package =
        Package({Section(SECTION_APP | SECTION_COMPRESSED, APP_ADDRESS, m_App),
                 Section(SECTION_APP | SECTION_PLAIN, 0x01100000, Padded({}, 8192, 0x5A)),
                 Section(SECTION_BOOT | SECTION_PLAIN, BOOT_ADDRESS, m_Boot)});
    ExpectRefused(CReceiverConfig(), package, 0x163,
                  "the \"Prepare flash\" of section 1 erases 0x01020000 to 0x01200000, where section 0 was programmed",
                  HLN_DATA_UPLOAD);
}

// A boot image over 48 KiB would be programmed into flash never erased; it
// is refused as the package is proved, before any port is opened.
TEST_F(UpgradeLayout, BootImageLargerThanItsRegionIsRefused)
{
    const std::string package = Package({Section(SECTION_BOOT | SECTION_PLAIN, BOOT_ADDRESS, Padded(m_Boot, 0xD000, 0xFF))});
    CReceiverUnderTest receiver{CReceiverConfig()};
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    CRecorder recorder;
    CHERFLoader loader;
    loader.Create(recorder.Sink(), 0x83E8);
    receiver.Attach(loader);
    EXPECT_EQ(loader.Start(package.c_str(), 0x163), START_PACKAGE_FAILED);
    EXPECT_EQ(loader.GetStartError(),
              "section 0 (BOOT|PLAIN at 0x01000000): the boot image runs to 0x0100D000, past the end of the boot "
              "region at 0x0100C000");
    loader.Destroy();
    EXPECT_TRUE(recorder.Items().empty());
}

}  // namespace
