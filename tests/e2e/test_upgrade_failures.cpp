// Failing upgrades of the virtual receiver: each fault must end the run with
// its own result code and notifications, and never as a success.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/e2e/UpgradeHarness.h"

using namespace harness;

namespace {

struct CFailureCase {
    const char* name;
    uint32_t options;
    int32_t expectedResult;
    int32_t expectedCode;     // a notification that must have come
    int64_t expectedPayload;
    void (*configure)(CReceiverConfig&);
};

void PrintTo(const CFailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class UpgradeFailure : public ::testing::TestWithParam<CFailureCase> {};

CRefusalRule Refuse(int code, uint32_t first, uint32_t count)
{
    CRefusalRule rule;
    rule.m_nCode = code;
    rule.m_nFirst = first;
    rule.m_nCount = count;
    return rule;
}

TEST_P(UpgradeFailure, EndsWithItsResultAndNeverAsSuccess)
{
    const CFailureCase& c = GetParam();
    CReceiverConfig config;
    c.configure(config);
    CReceiverUnderTest receiver(config);
    CRecorder recorder;
    const CRunResult run = StartAndUpgrade(receiver, recorder, c.options);
    ASSERT_EQ(run.nStart, 0) << run.strError;
    ASSERT_TRUE(run.bFinished) << run.strError;
    EXPECT_EQ(run.nResult, c.expectedResult) << ResultCodeName(run.nResult);
    EXPECT_GE(recorder.Count(c.expectedCode, c.expectedPayload), 1)
        << "missing " << NotificationName(c.expectedCode) << " " << c.expectedPayload;
    const std::vector<CLoaderNotification> items = recorder.Items();
    EXPECT_EQ(items.back().nCode, HLN_RUN);
    EXPECT_EQ(items.back().nPayload, RUN_FINISHED);
}

struct CUnplugCase {
    const char* name;
    int64_t afterBytes;  // bytes the receiver takes before its adapter is pulled
};

class UnpluggedAdapter : public ::testing::TestWithParam<CUnplugCase> {};

// A device that went away ends the run at once: no attempt is sent again
// to a port that is gone, and the reason names the port and what to do.
TEST_P(UnpluggedAdapter, EndsTheRunAtOnceNamingThePort)
{
    CReceiverConfig config;
    config.m_nUnplugAfter = GetParam().afterBytes;
    CReceiverUnderTest receiver(config);
    CRecorder recorder;
    const CRunResult run = StartAndUpgrade(receiver, recorder, 0x163);
    ASSERT_EQ(run.nStart, 0) << run.strError;
    ASSERT_TRUE(run.bFinished);
    EXPECT_NE(run.nResult, HLE_NONE);
    EXPECT_NE(run.strReason.find("went away"), std::string::npos) << run.strReason;
    EXPECT_NE(run.strReason.find("reconnect it, keep the receiver powered"), std::string::npos) << run.strReason;
    EXPECT_LE(recorder.Count(HLN_RETRY, 1) + recorder.Count(HLN_RETRY, 2) + recorder.Count(HLN_RETRY, 3), 1);
}

INSTANTIATE_TEST_SUITE_P(Points, UnpluggedAdapter,
                         ::testing::Values(CUnplugCase{"MonitorUpload", 8000}, CUnplugCase{"DataUpload", 150000}),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Faults, UpgradeFailure,
    ::testing::Values(
        CFailureCase{"PowerBelowLimit", 0x163, HLE_CONNECT_FAILED, HLN_POWER_CHECK, 2,
                     [](CReceiverConfig& c) { c.m_fPower = -15.5f; }},
        // The version and family checks leave no code of their own; the run
        // must still not end as a success.
        CFailureCase{"VersionNotNewer", 0x162, HLE_CONNECT_FAILED, HLN_APP_VERSION_CHECK, 2,
                     [](CReceiverConfig& c) { c.m_wAppVersion = 182; }},
        CFailureCase{"FamilyMismatch", 0x123, HLE_CONNECT_FAILED, HLN_FAMILY_CHECK, 2,
                     [](CReceiverConfig& c) { c.m_nBoardId = 2; }},
        CFailureCase{"UnknownBoardHasNoMonitor", 0x163, HLE_UPLOAD_FAILED, HLN_MONITOR_UPLOAD, 2,
                     [](CReceiverConfig& c) { c.m_nBoardId = 11; }},
        CFailureCase{"MonitorChunkFailsThreeTimes", 0x163, HLE_UPLOAD_FAILED, HLN_RETRY, 3,
                     [](CReceiverConfig& c) { c.m_Refusals.push_back(Refuse(RXR_DATA, 1, 3)); }},
        CFailureCase{"VerifyMismatch", 0x163, HLE_VERIFY_FAILED, HLN_VERIFY, 2,
                     [](CReceiverConfig& c) { c.m_Refusals.push_back(Refuse(0x97, 1, 1)); }},
        CFailureCase{"EraseRefused", 0x163, HLE_PREPARE_FAILED, HLN_PREPARE_FLASH, 2,
                     [](CReceiverConfig& c) { c.m_Refusals.push_back(Refuse(0x95, 3, 1)); }},
        CFailureCase{"ProgramRefused", 0x163, HLE_PROGRAM_FAILED, HLN_PROGRAM_FLASH, 2,
                     [](CReceiverConfig& c) { c.m_Refusals.push_back(Refuse(0x96, 5, 1)); }},
        CFailureCase{"ExpandRefused", 0x163, HLE_EXPAND_FAILED, HLN_EXPAND, 2,
                     [](CReceiverConfig& c) { c.m_Refusals.push_back(Refuse(0x98, 1, 1)); }},
        CFailureCase{"UnknownFlashChip", 0x163, HLE_UPLOAD_FAILED, HLN_MONITOR_UPLOAD, 2,
                     [](CReceiverConfig& c) { c.m_nFlashCodeOverride = 0x5A; }},
        CFailureCase{"BootLoaderSilent", 0x73, HLE_CONNECT_TIMEOUT, HLN_CONNECT, 2,
                     [](CReceiverConfig& c) { c.m_bBoot = false; }}),
    [](const ::testing::TestParamInfo<CFailureCase>& info) { return std::string(info.param.name); });

TEST(UpgradeRetries, ChunkFailingTwiceThenPassingGoesOn)
{
    CReceiverConfig config;
    config.m_Refusals.push_back(Refuse(RXR_DATA, 1, 2));
    CReceiverUnderTest receiver(config);
    CRecorder recorder;
    const CRunResult run = StartAndUpgrade(receiver, recorder, 0x163);
    ASSERT_TRUE(run.bFinished) << run.strError;
    EXPECT_EQ(run.nResult, HLE_NONE);
    EXPECT_EQ(recorder.Count(HLN_RETRY, 1), 1);
    EXPECT_EQ(recorder.Count(HLN_RETRY, 2), 1);
    EXPECT_EQ(recorder.Count(HLN_RETRY, 3), 0);
}

TEST(UpgradeRetries, PowerReadingExactlyAtTheLimitPasses)
{
    CReceiverConfig config;
    config.m_fPower = -15.0f;
    CReceiverUnderTest receiver(config);
    CRecorder recorder;
    const CRunResult run = StartAndUpgrade(receiver, recorder, 0x163);
    ASSERT_TRUE(run.bFinished) << run.strError;
    EXPECT_EQ(run.nResult, HLE_NONE);
    EXPECT_EQ(recorder.Count(HLN_POWER_CHECK, 2), 0);
}

// Also catches a host that switches speed before the acknowledgement came.
TEST(UpgradeCancel, CancelDuringDataUploadStopsTheRun)
{
    // At the wire rate the upload lasts long enough for the cancel to reach
    // the upload threads in the middle of it.
    CReceiverConfig config;
    config.m_bPace = true;
    CReceiverUnderTest receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    CRecorder recorder;
    CHERFLoader loader;
    loader.Create(recorder.Sink(), 0x83E8);
    receiver.Attach(loader);
    ASSERT_EQ(loader.Start(SamplePath().c_str(), 0x163), 0);
    ASSERT_TRUE(recorder.WaitFor(HLN_DATA_UPLOAD, STEP_BEGIN, 60));
    // At the wire rate the acknowledgement of a speed change travels at the
    // old rate: a host that switched before it had arrived would not be here.
    EXPECT_TRUE(recorder.HasText("Using high speed boot upload"));
    EXPECT_TRUE(recorder.HasText("Using high speed monitor upload"));
    // Let the upload thread get going: it reports the cancel it sees mid-way.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(loader.Cancel());
    ASSERT_TRUE(recorder.WaitFinished(30));
    EXPECT_EQ(loader.GetResult(), HLE_CANCELLED);
    EXPECT_GE(recorder.Count(HLN_RUN, RUN_CANCELLED), 1);
    EXPECT_EQ(recorder.Count(HLN_DATA_UPLOAD, STEP_CANCELLED), 1);
    EXPECT_EQ(recorder.Count(HLN_PREPARE_FLASH, STEP_BEGIN), 0) << "flash touched after a cancel";
}

// The cancel arrives exactly when the first phase that may not be cancelled
// is announced. Catches: a cancel accepted in that moment while the worker
// goes on to erase and program (the run then ended "cancelled" after writing
// the whole flash); an accepted cancel must mean no flash work, a refused one
// must leave the run to its end unchanged.
TEST(UpgradeCancel, CancelAtTheStartOfTheFlashWorkIsOneDecision)
{
    CReceiverUnderTest receiver(CReceiverConfig{});
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    CRecorder recorder;
    CNotifySink record = recorder.Sink();
    std::mutex mutex;
    std::condition_variable changed;
    bool announced = false, answered = false;
    CHERFLoader loader;
    loader.Create(
        [&](const CLoaderNotification& n) {
            record(n);
            if (n.nCode != HLN_PHASE_BEGIN || (n.strText != "Expand data" && n.strText != "Prepare flash"))
                return;
            // Hold the worker here until the test has asked for the cancel.
            std::unique_lock<std::mutex> lock(mutex);
            if (announced)
                return;
            announced = true;
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return answered; });
        },
        0x83E8);
    receiver.Attach(loader);
    ASSERT_EQ(loader.Start(SamplePath().c_str(), 0x163), 0);
    bool accepted = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return announced; }));
        accepted = loader.Cancel();
        answered = true;
        changed.notify_all();
    }
    ASSERT_TRUE(recorder.WaitFinished(60));
    const CRunReport report = loader.GetRunReport();
    if (accepted) {
        EXPECT_EQ(report.nResult, HLE_CANCELLED);
        EXPECT_EQ(recorder.Count(HLN_PREPARE_FLASH, STEP_BEGIN), 0) << "flash written after an accepted cancel";
        EXPECT_FALSE(report.bFlashWritten);
    } else {
        EXPECT_EQ(report.nResult, HLE_NONE) << ResultCodeName(report.nResult);
        EXPECT_FALSE(report.bCancelled);
        EXPECT_TRUE(report.bFlashWritten);
        EXPECT_TRUE(receiver.Receiver().IsUpgradeFinished());
    }
    loader.Destroy();
}

TEST(UpgradeCancel, DestroyDuringALongWaitReturnsPromptly)
{
    // A receiver without a boot loader never answers the wake text: the run
    // would wait several seconds for it.
    CReceiverConfig config;
    config.m_bBoot = false;
    CReceiverUnderTest receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    CRecorder recorder;
    auto loader = std::make_unique<CHERFLoader>();
    loader->Create(recorder.Sink(), 0x83E8);
    receiver.Attach(*loader);
    ASSERT_EQ(loader->Start(SamplePath().c_str(), 0x163), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto begin = std::chrono::steady_clock::now();
    loader->Destroy();
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(took, std::chrono::milliseconds(5500));
    // Nothing reaches the sink once Destroy has returned.
    const size_t count = recorder.Items().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(recorder.Items().size(), count);
}

// Catches a session freed by its own worker joining that thread (the
// process aborts) or being used once freed: Destroy's wait runs out while the
// flash work goes on, so the worker is the last to let go of the session.
TEST(UpgradeCancel, DestroyWhoseWaitRunsOutLeavesTheWorkerToFreeTheSession)
{
    // Each erase and program takes 500 ms longer: the boot image's 2 erases
    // and 10 program pieces outlast the 5000 ms wait.
    CReceiverConfig config;
    config.m_strChip = "AT49LV8011";
    config.m_nSlowFlashMs = 500;
    CReceiverUnderTest receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    CRecorder recorder;
    // The sink lives as long as the session does: once this token is gone,
    // so is the session.
    auto token = std::make_shared<int>(0);
    const std::weak_ptr<int> session = token;
    auto loader = std::make_unique<CHERFLoader>();
    loader->Create([record = recorder.Sink(), token](const CLoaderNotification& n) { record(n); }, 0x83E8);
    token.reset();
    receiver.Attach(*loader);
    const std::string boot = std::string(TRAILMARK_BINARY_DIR) + "/boot.bin";
    ASSERT_EQ(loader->Start(boot.c_str(), 0x143), 0);
    ASSERT_TRUE(recorder.WaitFor(HLN_PREPARE_FLASH, STEP_BEGIN, 30));
    const auto begin = std::chrono::steady_clock::now();
    loader->Destroy();
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(4900));
    loader.reset();
    ASSERT_FALSE(session.expired()) << "the wait did not run out";
    for (int i = 0; i < 400 && !session.expired(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(session.expired()) << "the worker never freed the session";
    // The run went on to the end of its flash work.
    std::vector<uint8_t> flash;
    const std::vector<uint8_t> image = ReadFile(boot);
    ASSERT_TRUE(receiver.Receiver().ReadMemory(0x01000000, static_cast<uint32_t>(image.size()), flash));
    EXPECT_TRUE(flash == image);
}

}  // namespace

namespace {

TEST(UpgradeTwoLinks, BlockFailingThreeTimesOnOneLinkFailsThePhaseWhileTheOtherGoesOn)
{
    // The primary link carries the 22 monitor chunks first; its eighth image
    // block is then refused three times.
    CReceiverConfig config;
    config.m_nPorts = 2;
    std::string error;
    CRefusalRule rule;
    ASSERT_TRUE(ParseRefusalRule("data:30:3@1", rule, error)) << error;
    config.m_Refusals.push_back(rule);
    CReceiverUnderTest receiver(config);
    ASSERT_TRUE(receiver.Start(error)) << error;
    CRecorder recorder;
    const CRunResult run = RunUpgrade(receiver, recorder, 0x161);
    ASSERT_TRUE(run.bFinished) << run.strError;
    EXPECT_EQ(run.nResult, HLE_UPLOAD_FAILED);
    EXPECT_TRUE(recorder.HasText("Using secondary port"));
    EXPECT_EQ(recorder.Count(HLN_RETRY, 3), 1);
    EXPECT_EQ(recorder.Count(HLN_DATA_UPLOAD, STEP_FAILED), 1);
    EXPECT_EQ(recorder.Count(HLN_VERIFY, STEP_BEGIN), 0) << "no phase may follow a failed upload";
    // Only the three refusals of that one block, and the second link carried
    // blocks of its own.
    const std::string report = receiver.Receiver().ReportJson();
    EXPECT_NE(report.find("\"refused\": 3"), std::string::npos) << report;
    EXPECT_EQ(report.find("\"bytes_in\": 0,"), std::string::npos) << report;
}

TEST(ReceiverRefusals, PortSuffixIsParsedAndChecked)
{
    CRefusalRule rule;
    std::string error;
    ASSERT_TRUE(ParseRefusalRule("0x96:2:4@3", rule, error)) << error;
    EXPECT_EQ(rule.m_nCode, 0x96);
    EXPECT_EQ(rule.m_nFirst, 2u);
    EXPECT_EQ(rule.m_nCount, 4u);
    EXPECT_EQ(rule.m_nPort, 3);
    EXPECT_FALSE(ParseRefusalRule("data@4", rule, error));
    EXPECT_FALSE(ParseRefusalRule("data@", rule, error));
}

}  // namespace
