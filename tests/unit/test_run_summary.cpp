// The command line's arithmetic and records for benches: the speed and time
// left on the bars, the exit status of a tray, and the run log's line.
#include <gtest/gtest.h>

#include <algorithm>

#include "tools/trailmark/RunProgress.h"
#include "tools/trailmark/RunSummary.h"

using namespace CHERFLoaderLib;

namespace {

using Clock = CRunProgress::Clock;

CRunEvent Notification(int32_t code, int64_t payload, const std::string& text = {}, uint32_t bytes = 0)
{
    CRunEvent event;
    event.n.nCode = code;
    event.n.nPayload = payload;
    event.n.strText = text;
    event.n.nPhaseBytes = bytes;
    return event;
}

CRunEvent RunStarted()
{
    CRunEvent event;
    event.eKind = CRunEvent::RUN_STARTED;
    return event;
}

// Catches: a speed outside the uploads, a phase's byte total not taken from
// its beginning, an estimate from the first percent, and a retry measured
// from the first run's start.
TEST(RunProgress, SpeedAndTimeLeft)
{
    const Clock::time_point t0{};
    const auto at = [t0](double seconds) { return t0 + std::chrono::milliseconds(static_cast<int>(seconds * 1000)); };
    CRunProgress p;
    p.Update(RunStarted(), t0);
    // The phase begins with the bytes it carries.
    p.Update(Notification(HLN_PHASE_BEGIN, 0, "Upload monitor", 20000), at(1));
    p.Update(Notification(HLN_OVERALL_PERCENT, 2), at(3));
    p.Update(Notification(HLN_PHASE_PERCENT, 50), at(3));
    EXPECT_DOUBLE_EQ(p.BytesPerSecond(at(3)), 5000.0);
    EXPECT_LT(p.SecondsLeft(at(3)), 0) << "2 % is too little to estimate from";
    p.Update(Notification(HLN_PHASE_BEGIN, 0, "Verify data"), at(4));
    p.Update(Notification(HLN_OVERALL_PERCENT, 25), at(10));
    p.Update(Notification(HLN_PHASE_PERCENT, 10), at(10));
    EXPECT_LT(p.BytesPerSecond(at(10)), 0);
    EXPECT_DOUBLE_EQ(p.SecondsLeft(at(10)), 30.0);
    // A retry starts the estimate again; the time taken goes on.
    p.Update(RunStarted(), at(20));
    EXPECT_LT(p.SecondsLeft(at(21)), 0);
    EXPECT_DOUBLE_EQ(p.Elapsed(at(21)), 21.0);
    EXPECT_EQ(FormatDuration(3723), "1:02:03");
    EXPECT_EQ(FormatSpeed(10750), "10.8 kB/s");
}

CReceiverResult Result(int status, const std::string& reason)
{
    CReceiverResult r;
    r.strPort = "/dev/ttyUSB0";
    r.nExitStatus = status;
    r.bSuccess = status == 0;
    r.nAttempts = 2;
    r.dSeconds = 41.94;
    r.strReason = reason;
    r.report.receiver.wNewAppVersion = 182;
    r.report.receiver.wNewBootVersion = 182;
    // Only an upgraded receiver was identified again, and reported them.
    r.report.receiver.bIdentifiedAfter = r.bSuccess;
    r.report.receiver.wNowAppVersion = r.bSuccess ? 182 : 0;
    r.report.receiver.wNowBootVersion = r.bSuccess ? 182 : 0;
    return r;
}

// Catches: a reason whose tab or line end splits the log's line, versions
// of a receiver never identified shown as v0.00, the package's versions
// reported as the receiver's new ones when it never reported any, and a tray whose port
// failure (3) is hidden behind a later plain failure (1).
TEST(RunSummary, LogLineAndTrayStatus)
{
    const CReceiverResult failed = Result(1, "Prepare flash failed:\terase\nrefused");
    const std::string line = LogLine(failed, platform::CLocalTime{2026, 12, 9, 8, 5, 3});
    EXPECT_EQ(line, "2026-12-09 08:05:03\tport=/dev/ttyUSB0\tserial=-\tboard=-\told=-/-\tnew=-/-\t"
                    "result=failed\tstatus=1\tduration=41.9s\tretries=1\treason=Prepare flash failed: erase refused\n");
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);

    const CReceiverResult upgraded = Result(0, ""), port = Result(3, "cannot open");
    EXPECT_EQ(OverallExitStatus({&upgraded, &upgraded}), 0);
    EXPECT_EQ(OverallExitStatus({&upgraded, &port, &failed}), 3);
    const std::string json = SummaryJson({&upgraded, &failed}, 42.0);
    EXPECT_NE(json.find("\"success\":false,\"exit_status\":1,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"old_app_version\":null"), std::string::npos) << json;
    EXPECT_NE(json.find("\"new_app_version\":null,\"new_boot_version\":null,\"package_app_version\":\"v1.82\""),
              std::string::npos)
        << json;
}

}  // namespace
