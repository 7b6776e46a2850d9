// A real receiver on TRAILMARK_HIL_PORT (a COMn name or a device path) is
// upgraded with the package in TRAILMARK_HIL_PACKAGE (the sample package by
// default) and the maker's monitors from TRAILMARK_MONITOR_DIR; afterwards it
// must report the package's application and boot versions. Skipped where
// the variables are not set.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "engine/UpgradeJob.h"
#include "texts/Texts.h"
#include "transfer/PackageImage.h"

using namespace CHERFLoaderLib;

namespace {

std::string Env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

TEST(HardwareInTheLoop, UpgradedReceiverReportsThePackageVersions)
{
    const std::string port = Env("TRAILMARK_HIL_PORT"), monitors = Env("TRAILMARK_MONITOR_DIR");
    if (port.empty() || monitors.empty())
        GTEST_SKIP() << "set TRAILMARK_HIL_PORT and TRAILMARK_MONITOR_DIR to upgrade a real receiver";
    std::string package = Env("TRAILMARK_HIL_PACKAGE");
    if (package.empty())
        package = std::string(TRAILMARK_BINARY_DIR) + "/Corvid_FW_v1.82-Boot.q";

    std::string error;
    const std::shared_ptr<const CPackageImage> image = CPackageImage::Load(package, error);
    ASSERT_TRUE(image) << error;
    char appText[16], bootText[16];
    FormatVersion(appText, sizeof appText, image->AppVersion());
    FormatVersion(bootText, sizeof bootText, image->BootVersion());

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> texts;  // of the last run
    bool finished = false;
    CJobSettings settings;
    settings.strMonitorFolder = monitors;
    CUpgradeJob job(image, settings, [&](const CJobEvent& event) {
        std::lock_guard<std::mutex> lock(mutex);
        if (event.eKind == CJobEvent::EKind::RunBegins)
            texts.clear();
        else if (event.eKind == CJobEvent::EKind::Notification && event.n.nCode == HLN_TEXT)
            texts.push_back(event.n.strText);
        else if (event.eKind == CJobEvent::EKind::JobEnds)
            finished = true;
        changed.notify_all();
    });
    CPortId id;
    ASSERT_TRUE(ParsePortId(port, id)) << "TRAILMARK_HIL_PORT: '" << port << "' is neither COMn nor a device path";
    job.SetPorts(id);
    ASSERT_TRUE(job.Start());
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::minutes(15), [&] { return finished; }));
    }
    const CJobReport report = job.Report();
    ASSERT_TRUE(report.bSuccess) << report.strReason;
    // The last "App:" and "Boot:" lines are those read after the upgrade.
    std::string lastApp, lastBoot;
    for (const std::string& t : texts) {
        if (t.rfind("App: ", 0) == 0)
            lastApp = t;
        if (t.rfind("Boot: ", 0) == 0)
            lastBoot = t;
    }
    EXPECT_NE(lastApp.find(appText), std::string::npos) << lastApp;
    EXPECT_NE(lastBoot.find(bootText), std::string::npos) << lastBoot;
}

}  // namespace
