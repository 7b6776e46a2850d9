// An upgrade cut off at any point is finished by running the tool again.
//
// `trailmark upgrade` is killed (SIGKILL: nothing of its own runs) at each
// point of the road, from the connection through the monitor and data
// uploads, the erase and programming of each section, to the final
// connection; the receiver is not switched off. A fresh run on the same
// receiver must then end upgraded, with the package in flash byte for byte
// and a receiver that still answers: the flash monitor the first run left
// behind is found and either ended (its boot loader whole) or used to finish
// the upgrade. Catches a receiver stranded in its monitor at 115200 baud,
// where neither the wake text nor the command line reaches it, and a monitor
// ended while the boot loader is half written.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/TempFolder.h"
#include "tests/e2e/KillRun.h"
#include "tests/e2e/UpgradeHarness.h"

using namespace harness;

namespace {

constexpr uint32_t APP_ADDRESS = 0x01020000;
constexpr uint32_t BOOT_ADDRESS = 0x01000000;
const std::vector<uint8_t>& App()
{
    static const std::vector<uint8_t> image = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/app.bin");
    return image;
}

const std::vector<uint8_t>& Boot()
{
    static const std::vector<uint8_t> image = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/boot.bin");
    return image;
}

class InterruptedUpgrade : public ::testing::TestWithParam<CKillPoint> {};

TEST_P(InterruptedUpgrade, RunningTheToolAgainFinishesIt)
{
    const std::string state = MakeTempFolder("trailmark_state");
    ASSERT_FALSE(state.empty());
    setenv("TRAILMARK_STATE_DIR", state.c_str(), 1);
    CReceiverConfig config;
    // Flash work slowed enough for the test to stop the program inside it.
    config.m_nSlowFlashMs = 15;
    CVirtualReceiver receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    const std::vector<std::string> args = {std::string(TRAILMARK_BINARY_DIR) + "/tools/trailmark", "upgrade",
                                           "--port", receiver.SlavePaths()[0], "--package", SamplePath()};

    std::vector<std::string> lines;
    ASSERT_TRUE(RunAndKill(args, receiver, GetParam().reached, lines)) << "the first run ended by itself";

    std::string text;
    const int status = RunToEnd(args, text);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("Successfully upgraded GPS firmware"), std::string::npos) << text;
    const std::vector<uint8_t>& app = App();
    const std::vector<uint8_t>& boot = Boot();
    std::vector<uint8_t> flash;
    ASSERT_TRUE(receiver.ReadMemory(APP_ADDRESS, static_cast<uint32_t>(app.size()), flash));
    EXPECT_TRUE(flash == app) << "application region";
    ASSERT_TRUE(receiver.ReadMemory(BOOT_ADDRESS, static_cast<uint32_t>(boot.size()), flash));
    EXPECT_TRUE(flash == boot) << "boot region";
    const std::string report = receiver.ReportJson();
    EXPECT_EQ(report.find("\"bricked\": true"), std::string::npos) << report;
    receiver.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(state, ignored);
}

INSTANTIATE_TEST_SUITE_P(
    KillPoints, InterruptedUpgrade,
    ::testing::Values(
        CKillPoint{"AfterConnect", [](const CProgress& p) { return p.Said("Upload monitor"); }},
        CKillPoint{"MonitorUpload", [](const CProgress& p) { return p.Said("Monitor: v"); }},
        CKillPoint{"DataUpload", [](const CProgress& p) { return p.Said("Using secondary port") ||
                                                                 p.Said("Not using secondary port"); }},
        CKillPoint{"PrepareApplication", [](const CProgress& p) { return p.Erased(APP_ADDRESS); }},
        CKillPoint{"ProgramApplication", [](const CProgress& p) { return p.Programmed(APP_ADDRESS, App(), 40); }},
        CKillPoint{"PrepareBootLoader", [](const CProgress& p) { return p.Erased(BOOT_ADDRESS); }},
        CKillPoint{"ProgramBootLoader", [](const CProgress& p) { return p.Programmed(BOOT_ADDRESS, Boot(), 4); }},
        CKillPoint{"AfterBootLoaderConfirmed", [](const CProgress& p) { return p.Said("Boot loader confirmed"); }},
        CKillPoint{"FinalConnect", [](const CProgress& p) { return p.Count("Connect to receiver") >= 2; }}),
    [](const ::testing::TestParamInfo<CKillPoint>& info) { return std::string(info.param.pszName); });

}  // namespace
