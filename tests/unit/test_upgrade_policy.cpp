// The upgrade policy both front ends follow: whether a failed run is tried
// again and with which options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/UpgradePolicy.h"

using namespace CHERFLoaderLib;

namespace {

CRunReport Failed(int32_t result, bool reached)
{
    CRunReport report;
    report.bStarted = true;
    report.nResult = result;
    report.bReachedBootLoader = reached;
    return report;
}

// Each row: the first run's options and report, then whether a retry follows
// and its options. Catches: a retry that loosens a check (the fixed 0x73
// after --options 0x162), a retry after a refused check, power failure,
// cancel or refused start, a retry that leaves a way that reached the boot
// loader, and more than one retry.
TEST(UpgradePolicy, RetryTable)
{
    CRunReport versionRefused = Failed(HLE_CONNECT_FAILED, true);
    versionRefused.bCheckRefused = true;
    CRunReport power = Failed(HLE_CONNECT_FAILED, true);
    power.bPowerFailed = true;
    CRunReport cancelled = Failed(HLE_CANCELLED, true);
    cancelled.bCancelled = true;
    CRunReport gone = Failed(HLE_UPLOAD_FAILED, true);
    gone.bDeviceGone = true;
    CRunReport notStarted;
    notStarted.strError = "COM3: no such serial device";
    struct CRow {
        const char* pszName;
        uint32_t nFirst;
        CRunReport report;
        bool bRetry;
        uint32_t nRetryOptions;
    };
    const std::vector<CRow> rows = {
        {"wizard options, receiver not reached", 0x163, Failed(HLE_CONNECT_FAILED, false), true, 0x73},
        {"boot loader reached, erase refused", 0x163, Failed(HLE_PREPARE_FAILED, true), true, 0x163},
        {"version check kept", 0x162, Failed(HLE_CONNECT_TIMEOUT, false), true, 0x72},
        {"command line failed: wake text next", 0x73, Failed(HLE_CONNECT_FAILED, false), true, 0x163},
        {"passthrough failed: command line next", 0xA2, Failed(HLE_CONNECT_FAILED, false), true, 0x32},
        {"version check refused", 0x162, versionRefused, false, 0},
        {"power check failed", 0x163, power, false, 0},
        {"cancelled", 0x163, cancelled, false, 0},
        {"package refused", 0x163, Failed(HLE_PACKAGE_REFUSED, true), false, 0},
        {"start refused", 0x163, notStarted, false, 0},
        {"port gone", 0x163, gone, false, 0},
        {"success", 0x163, Failed(HLE_NONE, true), false, 0},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.pszName);
        CUpgradePolicy policy(row.nFirst);
        EXPECT_EQ(policy.Options(), row.nFirst);
        ASSERT_EQ(policy.NextRun(row.report), row.bRetry);
        if (!row.bRetry)
            continue;
        EXPECT_EQ(policy.Options(), row.nRetryOptions);
        EXPECT_EQ(policy.Attempt(), 2);
        EXPECT_FALSE(policy.NextRun(row.report)) << "a second failure ends the upgrade";
    }
    CUpgradePolicy noRetry(0x163, false);
    EXPECT_FALSE(noRetry.NextRun(Failed(HLE_CONNECT_FAILED, false)));
}

// Catches an upgrade given up halfway: once a run began writing flash, the
// runs go on (three in all), also when a later run fails before its own
// flash work (the receiver is still half written); without flash work, two.
TEST(UpgradePolicy, ThreeRunsOnceFlashWasWritten)
{
    CRunReport written = Failed(HLE_PROGRAM_FAILED, true);
    written.bFlashWritten = true;
    const CRunReport uploadFailed = Failed(HLE_UPLOAD_FAILED, true);
    CUpgradePolicy policy(0x123);
    ASSERT_TRUE(policy.NextRun(written));
    ASSERT_TRUE(policy.NextRun(uploadFailed)) << "the receiver is still half written";
    EXPECT_EQ(policy.Attempt(), 3);
    EXPECT_FALSE(policy.NextRun(written)) << "three runs at most";
    CUpgradePolicy clean(0x123);
    ASSERT_TRUE(clean.NextRun(uploadFailed));
    EXPECT_FALSE(clean.NextRun(uploadFailed));
}

// Catches: any first-run option, reached or not, whose retry changes a bit
// other than the three connect bits.
TEST(UpgradePolicy, RetryChangesOnlyTheWayTheReceiverIsReached)
{
    for (uint32_t options = 0; options <= HLO_KNOWN_OPTIONS; ++options) {
        for (bool reached : {false, true}) {
            const uint32_t retry = CUpgradePolicy::RetryOptions(options, Failed(HLE_CONNECT_FAILED, reached));
            ASSERT_EQ(retry & ~HLO_CONNECT_BITS, options & ~HLO_CONNECT_BITS) << std::hex << options;
            if (reached) {
                ASSERT_EQ(retry, options) << std::hex << options;
            }
        }
    }
}

}  // namespace
