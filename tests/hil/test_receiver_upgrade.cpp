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

#include "engine/HERFLoader.h"
#include "engine/UpgradePolicy.h"
#include "package/FirmwareFile.h"
#include "texts/Texts.h"
#include "transfer/StagedImage.h"

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

    CFirmwareFileEntry entry;
    ASSERT_TRUE(entry.Load(package.c_str())) << entry.m_strError;
    uint16_t app = 0, boot = 0;
    for (const auto& section : entry.sections)
        ((section->flags & SECTION_APP) ? app : boot) = ReadEmbeddedVersion(*section);
    char appText[16], bootText[16];
    FormatVersion(appText, sizeof appText, app);
    FormatVersion(bootText, sizeof bootText, boot);

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> texts;
    bool finished = false;
    CUpgradePolicy policy;
    CRunReport report;
    do {
        finished = false;
        texts.clear();
        CHERFLoader loader;
        loader.Create(
            [&](const CLoaderNotification& n) {
                std::lock_guard<std::mutex> lock(mutex);
                if (n.nCode == HLN_TEXT)
                    texts.push_back(n.strText);
                finished = finished || (n.nCode == HLN_RUN && n.nPayload == RUN_FINISHED);
                changed.notify_all();
            },
            0x83E8);
        CPortId id;
        ASSERT_TRUE(ParsePortId(port, id)) << "TRAILMARK_HIL_PORT: '" << port << "' is neither COMn nor a device path";
        loader.SetPorts(id);
        loader.SetMonitorFolder(monitors);
        ASSERT_EQ(loader.Start(package.c_str(), policy.Options()), START_OK) << loader.GetStartError();
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::minutes(5), [&] { return finished; }));
        lock.unlock();
        report = loader.GetRunReport();
        loader.Destroy();
    } while (policy.NextRun(report));
    ASSERT_TRUE(CUpgradePolicy::Succeeded(report)) << DescribeFailure(report);
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
