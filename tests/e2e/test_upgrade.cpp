// Full upgrades of the virtual receiver through the engine: the receiver's
// flash must end up holding the package's images byte for byte, its
// versions must change, and the notifications must follow the documented
// order. Runs without line pacing.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/e2e/UpgradeHarness.h"

using namespace harness;

namespace {

constexpr uint32_t APP_ADDRESS = 0x01020000;
constexpr uint32_t BOOT_ADDRESS = 0x01000000;

struct CUpgradeCase {
    const char* name;
    int board;
    const char* chip;
    bool mapReply;
    uint32_t options;
    int ports;
};

void PrintTo(const CUpgradeCase& c, std::ostream* os)
{
    *os << c.name;
}

class FullUpgrade : public ::testing::TestWithParam<CUpgradeCase> {};

void ExpectFlashHoldsSample(CVirtualReceiver& receiver)
{
    const std::vector<uint8_t> app = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/app.bin");
    const std::vector<uint8_t> boot = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/boot.bin");
    ASSERT_FALSE(app.empty());
    ASSERT_FALSE(boot.empty());
    std::vector<uint8_t> flash;
    ASSERT_TRUE(receiver.ReadMemory(APP_ADDRESS, static_cast<uint32_t>(app.size()), flash));
    EXPECT_TRUE(flash == app) << "application region differs from app.bin";
    ASSERT_TRUE(receiver.ReadMemory(BOOT_ADDRESS, static_cast<uint32_t>(boot.size()), flash));
    EXPECT_TRUE(flash == boot) << "boot region differs from boot.bin";
}

TEST_P(FullUpgrade, FlashHoldsThePackageAndVersionsChange)
{
    const CUpgradeCase& c = GetParam();
    CReceiverConfig config;
    config.m_nBoardId = c.board;
    config.m_strChip = c.chip;
    config.m_bMemoryMapReply = c.mapReply;
    config.m_nPorts = c.ports;
    CReceiverUnderTest receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;

    CRecorder recorder;
    const CRunResult run = RunUpgrade(receiver, recorder, c.options);
    ASSERT_EQ(run.nStart, 0) << run.strError;
    ASSERT_TRUE(run.bFinished) << run.strError;
    EXPECT_EQ(run.nResult, HLE_NONE);
    ExpectFlashHoldsSample(receiver.Receiver());
    // The last report of the versions is the one read after the upgrade.
    std::string lastApp;
    for (const CLoaderNotification& n : recorder.Items()) {
        if (n.nCode == HLN_TEXT && n.strText.rfind("App: ", 0) == 0)
            lastApp = n.strText;
    }
    EXPECT_NE(lastApp.find("v1.82"), std::string::npos) << lastApp;
    if (c.ports > 1 && !(c.options & HLO_PRIMARY_PORT_ONLY)) {
        EXPECT_TRUE(recorder.HasText("Using secondary port"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, FullUpgrade,
    ::testing::Values(CUpgradeCase{"WakeText_Board7", 7, "AT49BV16X4", false, 0x163, 1},
                      CUpgradeCase{"CommandLine_Board5", 5, "AT49BV16X4", false, 0x73, 1},
                      CUpgradeCase{"Xerf1_Board3_SmallChip_MapReply", 3, "AT49LV8011", true, 0x163, 1},
                      CUpgradeCase{"Xerf1_Board0_LowSpeed", 0, "AT49BV16X4", false, 0x163, 1},
                      CUpgradeCase{"Xerf2_Board4_SmallChip", 4, "AT49LV8011", true, 0x73, 1},
                      CUpgradeCase{"TwoPorts_Board7", 7, "AT49BV16X4", false, 0x161, 2}),
    [](const ::testing::TestParamInfo<CUpgradeCase>& info) { return std::string(info.param.name); });

TEST(UpgradeNotifications, FollowTheDocumentedOrder)
{
    CReceiverConfig config;
    CReceiverUnderTest receiver(config);
    CRecorder recorder;
    const CRunResult run = StartAndUpgrade(receiver, recorder, 0x163);
    ASSERT_TRUE(run.bFinished) << run.strError;
    ASSERT_EQ(run.nResult, HLE_NONE);

    const std::vector<CLoaderNotification> items = recorder.Items();
    ASSERT_GE(items.size(), 3u);
    EXPECT_EQ(items[0].nCode, HLN_PHASE_BEGIN);
    EXPECT_EQ(items[0].strText, "Connect to receiver");
    EXPECT_EQ(items[1].nCode, HLN_RUN);
    EXPECT_EQ(items[1].nPayload, RUN_BEGIN);
    EXPECT_EQ(items.back().nCode, HLN_RUN);
    EXPECT_EQ(items.back().nPayload, RUN_FINISHED);

    std::vector<std::string> phases;
    int noCancel = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i].nCode == HLN_PHASE_BEGIN)
            phases.push_back(items[i].strText);
        if (items[i].nCode == HLN_NO_CANCEL) {
            ++noCancel;
            // Right after the first phase that may not be interrupted begins.
            ASSERT_GT(i, 0u);
            EXPECT_EQ(items[i - 1].nCode, HLN_PHASE_BEGIN);
            EXPECT_EQ(items[i - 1].strText, "Expand data");
        }
        // Every overall percentage is followed at once by the phase percentage.
        if (items[i].nCode == HLN_OVERALL_PERCENT) {
            ASSERT_LT(i + 1, items.size());
            EXPECT_EQ(items[i + 1].nCode, HLN_PHASE_PERCENT);
        }
    }
    EXPECT_EQ(noCancel, 1);
    const std::vector<std::string> expected = {"Connect to receiver", "Upload monitor", "Upload data",
                                               "Verify data",         "Verify data",    "Expand data",
                                               "Prepare flash",       "Program flash",  "Prepare flash",
                                               "Program flash",       "Connect to receiver"};
    EXPECT_EQ(phases, expected);

    int lastOverall = -1;
    for (const CLoaderNotification& n : items) {
        if (n.nCode == HLN_OVERALL_PERCENT) {
            EXPECT_GE(n.nPayload, lastOverall) << "overall progress went backwards";
            lastOverall = static_cast<int>(n.nPayload);
        }
    }
    EXPECT_EQ(lastOverall, 100);
}

}  // namespace
