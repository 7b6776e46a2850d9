// Faster where the receiver and the line allow it: `trailmark upgrade --baud`
// against virtual receivers that take the rate, refuse it, or take it with
// a clock too far off to carry it; a tray where one refuses; and the cost of
// a lost answer on a fast line, and no early give-up on a slow one.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "package/PackageWriter.h"
#include "tests/TempFolder.h"
#include "tests/e2e/ToolRun.h"
#include "tests/e2e/UpgradeHarness.h"

using namespace toolrun;

namespace {

long long ReportNumber(const std::string& json, const std::string& key)
{
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + key.size() + 4);
}

struct CRateCase {
    const char* pszName;
    const char* pszReceiver;  // options of the virtual receiver
    const char* pszSaid;      // a line the upgrade must print (or the fallback's)
    bool bMayFailCleanly;     // failing before any erase is an acceptable end
};

void PrintTo(const CRateCase& c, std::ostream* os)
{
    *os << c.pszName;
}

class LineRate : public ::testing::TestWithParam<CRateCase> {};

// Catches a rate asked of a receiver that refuses it (the upgrade must go on
// at 115200 and say so), a switch the host makes without checking it, and a
// rate that does not work used for the flash work anyway.
TEST_P(LineRate, TheReceiverAndTheLineDecide)
{
    const CRateCase& c = GetParam();
    const std::filesystem::path folder = MakeTempFolder("trailmark_rate");
    CReceiverProcess receiver(folder, c.pszReceiver);
    ASSERT_FALSE(receiver.Port().empty());
    const CToolResult run = RunTool(folder, {"upgrade", "--port", receiver.Port(), "--package", SAMPLE, "--baud",
                                             "460800", "--no-retry"},
                                    {"TRAILMARK_STATE_DIR=" + folder.string()}, 120);
    const std::string report = receiver.Stop();
    if (run.m_nStatus == 0) {
        EXPECT_NE(run.m_strOut.find(c.pszSaid), std::string::npos) << run.m_strOut;
        EXPECT_NE(report.find("\"application_valid\": true, \"application\": 182"), std::string::npos) << report;
    } else {
        EXPECT_TRUE(c.bMayFailCleanly) << run.m_strOut << run.m_strErr;
        EXPECT_EQ(ReportNumber(report, "erases"), 0) << "flash touched at a rate that does not work";
        EXPECT_EQ(ReportNumber(report, "programs"), 0);
    }
    std::filesystem::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(
    Receivers, LineRate,
    ::testing::Values(CRateCase{"Takes", "--max-baud 460800", "Line rate: 460800 baud\n", false},
                      CRateCase{"Refuses", "", "does not take 460800 baud; the upgrade runs at 115200", false},
                      CRateCase{"ClockFivePerCentOff", "--max-baud 921600 --baud-error 5",
                                "460800 baud does not work on this line", true}),
    [](const ::testing::TestParamInfo<CRateCase>& info) { return std::string(info.param.pszName); });

// Catches a refusal by one receiver of a tray taken for the line's fault and
// the rate then withheld from the others, and a summary that hides the rate
// each receiver ran at.
TEST(LineRateTray, OneRefusesThreeTakeTheRate)
{
    const std::filesystem::path folder = MakeTempFolder("trailmark_rate_tray");
    std::vector<std::unique_ptr<CReceiverProcess>> receivers;
    std::vector<std::string> args = {"upgrade", "--package", SAMPLE, "--baud", "460800", "--json"};
    for (int i = 0; i < 4; ++i) {
        const std::filesystem::path own = folder / std::to_string(i);
        std::filesystem::create_directory(own);
        receivers.push_back(std::make_unique<CReceiverProcess>(
            own, std::string("--serial TRAY") + std::to_string(i) + (i == 0 ? "" : " --max-baud 460800")));
        ASSERT_FALSE(receivers.back()->Port().empty());
        args.push_back("--port");
        args.push_back(receivers.back()->Port());
    }
    const CToolResult run = RunTool(folder, args, {"TRAILMARK_STATE_DIR=" + folder.string()}, 180);
    EXPECT_EQ(run.m_nStatus, 0) << run.m_strOut << run.m_strErr;
    const std::string summary = run.m_strOut.substr(run.m_strOut.rfind("{\"event\":\"summary\""));
    for (int i = 0; i < 4; ++i) {
        const size_t at = summary.find("\"port\":\"" + receivers[static_cast<size_t>(i)]->Port() + "\"");
        ASSERT_NE(at, std::string::npos) << summary;
        const std::string entry = summary.substr(at, summary.find('}', at) - at);
        EXPECT_NE(entry.find(i == 0 ? "\"line_rate\":115200" : "\"line_rate\":460800"), std::string::npos) << entry;
    }
    for (auto& receiver : receivers)
        receiver->Stop();
    std::filesystem::remove_all(folder);
}

double UpgradeSeconds(const CReceiverConfig& config, bool& upgraded, std::string& report,
                      const std::string& package = harness::SamplePath())
{
    harness::CReceiverUnderTest receiver(config);
    std::string error;
    upgraded = false;
    if (!receiver.Start(error))
        return -1;
    harness::CRecorder recorder;
    const auto begin = std::chrono::steady_clock::now();
    const harness::CRunResult run = harness::RunUpgrade(receiver, recorder, 0x163, package, 300);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    upgraded = run.bFinished && run.nResult == CHERFLoaderLib::HLE_NONE;
    report = receiver.Receiver().ReportJson();
    return seconds;
}

// Catches a lost data block answered only by the design's whole wait (3 s)
// and a slow receiver's answers (a USB adapter's latency timer at its
// largest) taken for losses: its blocks would be sent twice, or the upload
// given up on.
TEST(AnswerWaits, ALostAnswerCostsAMomentAndASlowReceiverIsWaitedFor)
{
    bool upgraded = false;
    std::string report;
    const double clean = UpgradeSeconds(CReceiverConfig(), upgraded, report);
    ASSERT_TRUE(upgraded);
    CReceiverConfig lossy;
    lossy.m_LostAnswers.push_back(CRefusalRule{RXR_DATA, 100, 1, 0});
    const double lost = UpgradeSeconds(lossy, upgraded, report);
    ASSERT_TRUE(upgraded);
    EXPECT_EQ(ReportNumber(report, "lost_answers"), 1);
    EXPECT_LT(lost - clean, 1.5) << "clean " << clean << " s, one lost answer " << lost << " s";

    // Every answer of the slow receiver waits up to 255 ms: its boot loader
    // alone (40 blocks) keeps the test short.
    const std::string folder = MakeTempFolder("trailmark_slow");
    const std::string bootOnly = folder + "/boot-only.q";
    CPackSection boot;
    boot.flags = 0x11;  // boot, plain
    boot.address = 0x01000000;
    boot.data = harness::ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/boot.bin");
    std::string error;
    ASSERT_TRUE(WritePackage(bootOnly, "boot only", 0x3000, {boot}, error)) << error;
    CReceiverConfig slow;
    slow.m_nLatencyMs = 255;
    UpgradeSeconds(slow, upgraded, report, bootOnly);
    EXPECT_TRUE(upgraded);
    EXPECT_EQ(ReportNumber(report, "retries"), 0) << "a block sent again to a receiver that was only slow";
    std::filesystem::remove_all(folder);
}

}  // namespace
