// The upgrade policy that both front ends follow: the options of the first
// run, whether a run that failed is tried once more, and that retry's options.
//
// The wizard's progress page and `trailmark upgrade` make one CUpgradePolicy
// per upgrade, start each run with Options() and hand the run's report to
// NextRun when HLN_RUN 1 has arrived. The rules:
//  - a retry changes only the way the receiver is reached (HLO_CONNECT_BITS);
//    every other bit, above all every skip bit, stays as the first run had
//    it, so another run never passes a check the first one was held to;
//  - a first run that reached the receiver's boot loader is retried the same
//    way: that way works, and after flash work began it may be the only one
//    left (an erased application no longer answers its text command, while
//    the boot loader still answers the wake text);
//  - a first run that never reached the boot loader tries the other way: the
//    command line with a break, or the wake text when the command line was
//    the way that failed. With the first-run options 0x123 the retry has
//    exactly 0x33;
//  - once a run has begun writing the receiver's flash, stopping would
//    leave the receiver worse than it was found: the runs go on, through the
//    monitor where an earlier run left it running, up to
//    UPGRADE_MAX_RUNS_AFTER_FLASH runs in all;
//  - there is no retry after a success, a refused check (version, family,
//    or a package that does not fit the receiver), a failed power check, a
//    cancel, a Start that refused the package or the port, a port that went
//    away, or a second failure.
//
// Pure logic: no engine, no ports, no threads. Not synchronised: each front
// end uses its own object on its own thread.
#pragma once

#include <cstdint>

#include "engine/LoaderCodes.h"
#include "engine/RunReport.h"

namespace CHERFLoaderLib {

// The option bits that select how phase 0 reaches the receiver.
constexpr uint32_t HLO_CONNECT_BITS = HLO_MONITOR_TEXT_CONNECT | HLO_PASSTHROUGH_CONNECT | HLO_WAKE_TEXT;
// The options of a first run when the user gives none. The device-family
// check is on: a package is written only into receivers of its family (a
// package of family 0 suits any).
constexpr uint32_t UPGRADE_FIRST_RUN_OPTIONS =
    HLO_SKIP_APP_VERSION_CHECK | HLO_PRIMARY_PORT_ONLY | HLO_HIGH_SPEED | HLO_WAKE_TEXT;
// Runs of one upgrade at most: the first and one retry; three in all once
// any run began writing flash.
constexpr int UPGRADE_MAX_RUNS = 2;
constexpr int UPGRADE_MAX_RUNS_AFTER_FLASH = 3;

class CUpgradePolicy {
public:
    explicit CUpgradePolicy(uint32_t firstOptions = UPGRADE_FIRST_RUN_OPTIONS, bool retryAllowed = true);

    // The options of the run to start now.
    uint32_t Options() const { return m_nOptions; }
    // 1 for the first run, 2 for the retry.
    int Attempt() const { return m_nAttempt; }

    // Takes the report of the run that has just ended. True when another run
    // follows; Options() then holds its options.
    bool NextRun(const CRunReport& report);

    // The run did what it was asked: started, no result code, no refused
    // check, no failed power check, not cancelled.
    static bool Succeeded(const CRunReport& report);
    // The run's failure is one that another run might get past.
    static bool MayRetry(const CRunReport& report);
    // The retry's options after a first run with these options and report.
    static uint32_t RetryOptions(uint32_t firstOptions, const CRunReport& report);

private:
    uint32_t m_nFirstOptions;
    uint32_t m_nOptions;
    bool m_bRetryAllowed;
    int m_nAttempt = 1;
    bool m_bFlashTouched = false;  // some run of this upgrade began writing flash
};

}  // namespace CHERFLoaderLib
