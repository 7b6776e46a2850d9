// The engine's upgrade job against the virtual receiver: its retry writes the
// bytes read when the job began, whatever became of the file meanwhile; its
// events come in the documented order; its report merges what the runs
// learnt of the receiver.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/UpgradeJob.h"
#include "tests/TempFolder.h"
#include "tests/e2e/UpgradeHarness.h"
#include "transfer/PackageImage.h"

using namespace harness;

namespace {

// Catches a retry that reads the package file again (a tray could end on two
// firmwares when the file is replaced during its upgrade), events out of
// order or a job's end told twice, and "old" versions taken from a retry
// that found half of the new firmware.
TEST(UpgradeJob, TheRetryWritesWhatTheFirstRunReadAndTheReportMergesTheRuns)
{
    const std::string folder = MakeTempFolder("trailmark_job");
    ASSERT_FALSE(folder.empty());
    const std::string copy = folder + "/Corvid_FW_v1.82-Boot.q";
    {
        const std::vector<uint8_t> bytes = ReadFile(SamplePath());
        std::ofstream(copy, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::string error;
    const std::shared_ptr<const CPackageImage> package = CPackageImage::Load(copy, error);
    ASSERT_TRUE(package) << error;

    // The fifth program command is refused: the first run fails after its
    // flash work began, and the retry must write everything again.
    CReceiverConfig config;
    config.m_Refusals.push_back(CRefusalRule{0x96, 5, 1, 0});
    CVirtualReceiver receiver(config);
    ASSERT_TRUE(receiver.Start(error)) << error;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<CJobEvent::EKind> kinds;
    std::vector<int> attempts;
    bool ended = false;
    CJobSettings settings;
    settings.nOptions = 0x123;
    CUpgradeJob job(package, settings, [&](const CJobEvent& event) {
        if (event.eKind == CJobEvent::EKind::RunBegins && event.nAttempt == 2)
            std::ofstream(copy, std::ios::binary | std::ios::trunc) << "not a package any more";
        std::lock_guard<std::mutex> lock(mutex);
        kinds.push_back(event.eKind);
        if (event.eKind == CJobEvent::EKind::RunBegins)
            attempts.push_back(event.nAttempt);
        ended = ended || event.eKind == CJobEvent::EKind::JobEnds;
        changed.notify_all();
    });
    job.SetPorts(CPortId::Device(receiver.SlavePaths()[0]));
    ASSERT_TRUE(job.Start());
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(120), [&] { return ended; }));
    }
    job.Wait();

    const CJobReport report = job.Report();
    EXPECT_TRUE(report.bSuccess) << report.strReason;
    EXPECT_EQ(report.nRuns, 2);
    EXPECT_EQ(attempts, (std::vector<int>{1, 2}));
    ASSERT_FALSE(kinds.empty());
    EXPECT_EQ(kinds.front(), CJobEvent::EKind::RunBegins);
    EXPECT_EQ(kinds.back(), CJobEvent::EKind::JobEnds);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), CJobEvent::EKind::JobEnds), 1);
    EXPECT_EQ(report.receiver.wOldAppVersion, 175) << "the versions before are the first run's";
    EXPECT_TRUE(report.receiver.bIdentifiedAfter);
    EXPECT_EQ(report.receiver.wNowAppVersion, 182);
    EXPECT_EQ(report.receiver.strSerial, "TM00000001");

    for (const auto& [address, file] : {std::pair{0x01020000u, "/app.bin"}, std::pair{0x01000000u, "/boot.bin"}}) {
        const std::vector<uint8_t> image = ReadFile(std::string(TRAILMARK_BINARY_DIR) + file);
        std::vector<uint8_t> flash;
        ASSERT_TRUE(receiver.ReadMemory(address, static_cast<uint32_t>(image.size()), flash));
        EXPECT_TRUE(flash == image) << file;
    }
    receiver.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

}  // namespace
