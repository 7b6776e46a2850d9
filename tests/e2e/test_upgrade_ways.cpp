// Upgrades that reach the receiver in other ways or through trouble: behind
// a handheld's passthrough, over a noisy line (with the front ends' one
// retry), a receiver that never answers the wake text, and a power loss
// while the flash is being programmed.
#include <gtest/gtest.h>

#include "tests/e2e/UpgradeHarness.h"

using namespace harness;

namespace {

TEST(UpgradeWays, ThroughThePassthroughOfAHandheld)
{
    // Board 6 goes back to its boot loader when the monitor ends, which the
    // final phase needs when it cannot wake the receiver by text.
    CReceiverConfig config;
    config.m_nBoardId = 6;
    config.m_eStart = RXS_PASSTHROUGH;
    CReceiverUnderTest receiver(config);
    CRecorder recorder;
    const uint32_t options = HLO_PASSTHROUGH_CONNECT | HLO_PRIMARY_PORT_ONLY | HLO_SKIP_APP_VERSION_CHECK |
                             HLO_SKIP_FAMILY_CHECK | HLO_HIGH_SPEED;
    const CRunResult run = StartAndUpgrade(receiver, recorder, options);
    ASSERT_TRUE(run.bFinished) << run.strError;
    EXPECT_EQ(run.nResult, HLE_NONE);
    std::vector<uint8_t> flash;
    const std::vector<uint8_t> app = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/app.bin");
    ASSERT_TRUE(receiver.Receiver().ReadMemory(0x01020000, static_cast<uint32_t>(app.size()), flash));
    EXPECT_TRUE(flash == app);
}

TEST(UpgradeWays, NoisyLineSucceedsThroughTheRetries)
{
    CReceiverConfig config;
    config.m_nSeed = 7;
    config.m_dDropRx = config.m_dDropTx = 1.0 / 40000;
    config.m_dCorruptRx = config.m_dCorruptTx = 1.0 / 40000;
    CReceiverUnderTest receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    // As the front ends do: one more run with the command-line way when the
    // first one fails.
    CRecorder first;
    CRunResult run = RunUpgrade(receiver, first, 0x163);
    ASSERT_TRUE(run.bFinished) << run.strError;
    if (run.nResult != HLE_NONE) {
        CRecorder second;
        run = RunUpgrade(receiver, second, 0x73);
        ASSERT_TRUE(run.bFinished) << run.strError;
    }
    EXPECT_EQ(run.nResult, HLE_NONE);
    const std::string report = receiver.Receiver().ReportJson();
    EXPECT_NE(report.find("\"application\": 182"), std::string::npos) << report;
}

TEST(UpgradeWays, ReceiverThatNeverAnswersTheWakeTextFailsTheConnection)
{
    // A receiver that would start in a boot loader its flash no longer holds
    // stays silent.
    CReceiverConfig config;
    config.m_bBoot = false;
    config.m_eStart = RXS_BOOT_LOADER;
    CReceiverUnderTest receiver(config);
    CRecorder recorder;
    const CRunResult run = StartAndUpgrade(receiver, recorder, 0x163);
    ASSERT_TRUE(run.bFinished) << run.strError;
    EXPECT_EQ(run.nResult, HLE_CONNECT_FAILED);
    EXPECT_EQ(recorder.Count(HLN_CONNECT, STEP_FAILED), 1);
    EXPECT_EQ(recorder.Count(HLN_PHASE_BEGIN, 0), 1) << "no phase may follow a failed connection";
}

TEST(UpgradeWays, PowerLossWhileProgrammingIsAFailure)
{
    // A whole upgrade sends the receiver about 345000 bytes; the last 2000
    // or so are the flash commands, so the power goes while the application
    // is being programmed.
    CReceiverConfig config;
    config.m_nPowerLossAfter = 343650;
    CReceiverUnderTest receiver(config);
    CRecorder recorder;
    const CRunResult run = StartAndUpgrade(receiver, recorder, 0x163);
    ASSERT_TRUE(run.bFinished) << run.strError;
    EXPECT_NE(run.nResult, HLE_NONE);
    EXPECT_EQ(recorder.Count(HLN_NO_CANCEL, 0), 1) << "the power went before the flash work began";
    EXPECT_EQ(recorder.Count(HLN_PROGRAM_FLASH, STEP_FAILED), 1);
}

}  // namespace
