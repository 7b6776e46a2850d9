// The monitor's checks against the virtual receiver: blank sectors are left
// unerased only when the probe shows that the monitor really reads and
// compares flash, and programmed flash is confirmed, so a bit the chip did
// not program fails the run instead of passing as a success.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "tests/e2e/UpgradeHarness.h"

using namespace harness;

namespace {

constexpr uint32_t OPTIONS = 0x163;
constexpr int SECTORS = 36;  // the sample's regions on an AT49BV16X4: 30 of 64 KiB, 6 of 8 KiB

struct CRun {
    CRunResult result;
    std::string report;
    std::vector<std::string> texts;
    bool HasTextStarting(const std::string& start) const
    {
        for (const std::string& t : texts)
            if (t.rfind(start, 0) == 0)
                return true;
        return false;
    }
};

CRun Upgrade(const CReceiverConfig& config, int32_t flashCheck = FLASH_CHECK_SUM)
{
    CRun run;
    CReceiverUnderTest receiver(config);
    if (!receiver.Start(run.result.strError))
        return run;
    CRecorder recorder;
    run.result = RunUpgrade(receiver, recorder, OPTIONS, SamplePath(), 120, flashCheck);
    run.report = receiver.Receiver().ReportJson();
    for (const CLoaderNotification& n : recorder.Items())
        if (n.nCode == HLN_TEXT)
            run.texts.push_back(n.strText);
    return run;
}

std::string Count(const char* name, int value)
{
    return std::string("\"") + name + "\": " + std::to_string(value) + ",";
}

struct CMonitorCase {
    const char* name;
    EMonitorChecks checks;
    bool probeRefused;  // the read-back command itself is refused
    bool sumsConfirm;   // the monitor's sums over flash still work: each section is confirmed by its sum
};

class MonitorChecks : public ::testing::TestWithParam<CMonitorCase> {};

// A monitor that does not read flash back, however it fails the probe, gets
// every sector erased; its sums confirm the flash only where they show on
// the flash itself that they compare, and the run says once that the flash
// could not be verified.
TEST_P(MonitorChecks, AnUntrustedMonitorGetsEverySectorErased)
{
    CReceiverConfig config;
    config.m_eMonitorChecks = GetParam().checks;
    if (GetParam().probeRefused) {
        CRefusalRule rule;
        rule.m_nCode = 0x94;
        rule.m_nCount = 100;
        config.m_Refusals.push_back(rule);
    }
    const CRun run = Upgrade(config);
    ASSERT_TRUE(run.result.bFinished) << run.result.strError;
    EXPECT_EQ(run.result.nResult, HLE_NONE) << run.result.strReason;
    EXPECT_NE(run.report.find(Count("erases", SECTORS)), std::string::npos) << run.report;
    EXPECT_FALSE(run.HasTextStarting("Erase: "));
    EXPECT_EQ(run.HasTextStarting("Flash confirmed"), GetParam().sumsConfirm);
    int said = 0;
    for (const std::string& t : run.texts)
        said += t.find("could not be verified on this receiver") != std::string::npos;
    EXPECT_EQ(said, 1) << "the unverified flash is said once";
}

INSTANTIATE_TEST_SUITE_P(Monitors, MonitorChecks,
                         ::testing::Values(CMonitorCase{"RefusesFlash", RXC_REFUSES_FLASH, false, false},
                                           CMonitorCase{"AcceptsAnyVerify", RXC_ACCEPTS_ANY, false, false},
                                           CMonitorCase{"RefusesReadBack", RXC_READS_FLASH, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A blank application region with one programmed byte in its second sector:
// that sector alone is erased; the first and the other 28 are left, and the
// flash still ends up holding the package.
TEST(BlankSectors, OnlyTheSectorWithAProgrammedByteIsErased)
{
    const std::string image = testing::TempDir() + "/one_byte_app.bin";
    {
        std::vector<char> bytes(0x10001, static_cast<char>(0xFF));
        bytes[0x10000] = 0x5A;
        std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    CReceiverConfig config;
    config.m_strAppFile = image;
    const CRun run = Upgrade(config);
    std::remove(image.c_str());
    ASSERT_TRUE(run.result.bFinished) << run.result.strError;
    EXPECT_EQ(run.result.nResult, HLE_NONE) << run.result.strReason;
    EXPECT_TRUE(run.HasTextStarting("Erase: 29 of 30 sectors already blank"));
    EXPECT_NE(run.report.find(Count("program_mismatches", 0)), std::string::npos);
    EXPECT_TRUE(run.HasTextStarting("Flash confirmed: 393216 bytes at 0x01020000"));
}

struct CBitCase {
    const char* name;
    bool disturb;
    int32_t flashCheck;
    int32_t expected;
};

class ProgrammedBit : public ::testing::TestWithParam<CBitCase> {};

// The chip reports success for a piece with a bit left at 1. The sum check
// sees a lone weak bit; only the read-back sees one whose loss another
// disturbed bit cancels in the sum. Without a check both pass unseen, which
// is what the checks are for.
TEST_P(ProgrammedBit, IsCaughtByTheCheckThatCanSeeIt)
{
    const CBitCase& c = GetParam();
    CReceiverConfig config;
    (c.disturb ? config.m_nDisturbProgram : config.m_nWeakBitProgram) = 5;
    const CRun run = Upgrade(config, c.flashCheck);
    ASSERT_TRUE(run.result.bFinished) << run.result.strError;
    EXPECT_EQ(run.result.nResult, c.expected) << ResultCodeName(run.result.nResult) << " " << run.result.strReason;
    if (c.expected == HLE_PROGRAM_FAILED) {
        EXPECT_NE(run.result.strReason.find("does not hold what was sent"), std::string::npos) << run.result.strReason;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ProgrammedBit,
    ::testing::Values(CBitCase{"WeakBitSum", false, FLASH_CHECK_SUM, HLE_PROGRAM_FAILED},
                      CBitCase{"WeakBitUnchecked", false, FLASH_CHECK_NONE, HLE_NONE},
                      CBitCase{"DisturbedPairSum", true, FLASH_CHECK_SUM, HLE_NONE},
                      CBitCase{"DisturbedPairReadBack", true, FLASH_CHECK_READ_BACK, HLE_PROGRAM_FAILED}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
