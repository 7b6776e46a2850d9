// What one upgrade run really did, as the engine saw it.
//
// The session fills a CRunReport while its run goes on and CHERFLoader::
// GetRunReport hands out a copy; read after HLN_RUN 1 it describes the whole
// run (before that, the run so far). The upgrade policy (UpgradePolicy.h)
// decides from it whether another run follows and how it reaches the
// receiver; the wizard and the command line show its failing step and
// reason. A Start that failed gives a report with bStarted false and the
// reason for the refusal in strError.
//
// Threading: a plain value, safe to copy to any thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/LoaderCodes.h"

namespace CHERFLoaderLib {

// What the run learned of the receiver and of the package, for the front
// ends' summaries and run logs: the versions before (as the receiver first
// reported them) and those the package carries, the board and the serial
// number. A field not yet known keeps its default.
struct CReceiverFacts {
    uint16_t wOldAppVersion = 0;   // reported by the receiver when the run first identified it
    uint16_t wOldBootVersion = 0;
    uint16_t wNewAppVersion = 0;   // carried by the package
    uint16_t wNewBootVersion = 0;
    int32_t nBoardId = -1;         // -1: not yet known
    std::string strSerial;         // empty: not yet known
    // What the receiver reported when the final phase identified it again,
    // after the flash work; bIdentifiedAfter false when it never did.
    bool bIdentifiedAfter = false;
    uint16_t wNowAppVersion = 0;
    uint16_t wNowBootVersion = 0;
};

struct CRunReport {
    bool bStarted = false;            // Start returned 0: the worker ran (or runs)
    int32_t nResult = HLE_NONE;       // the run's result code, as GetResult gives it
    bool bReachedBootLoader = false;  // the receiver's boot loader identified itself
    bool bCheckRefused = false;       // the application-version or device-family check refused the package
    bool bPowerFailed = false;        // the power check failed
    bool bCancelled = false;          // a cancel was accepted: the run stopped before the flash work
    bool bFlashBegun = false;         // the first phase that may not be cancelled began
    bool bFlashWritten = false;       // an erase or program of the receiver's flash was started
    bool bDeviceGone = false;         // a port of the run disappeared while it was open
    bool bReattached = false;         // the run found the flash monitor of an interrupted upgrade
    // The run ended with the receiver kept in its flash monitor: its boot
    // loader is not whole, so ending the monitor would leave a receiver that
    // never starts again. It must stay powered until a run finishes it.
    bool bMonitorKept = false;
    std::string strMonitorKept;       // why, and what a later run does about it (sentences)
    // The run succeeded, but the monitor's checks could not be trusted (or
    // were turned off), so nothing showed that the flash holds the package.
    bool bFlashUnverified = false;
    bool bLineTrouble = false;        // the line lost or damaged something during the upload or flash work
    int32_t nFailedStep = -1;         // HLN_* of the last step that reported failure; -1 for none
    std::string strError;             // why the run (or Start) failed, one line; empty otherwise
    CReceiverFacts receiver;          // versions, board and serial number as far as known
    uint32_t nMonitorBytes = 0;       // bytes of the monitor the run sends; 0 until it is chosen
    uint32_t nDataBytes = 0;          // bytes of image data the data upload carries, known from Start
    uint32_t nLineRate = 0;           // the rate the monitor link ran the upload at; 0 before it began
    bool bLineRateFell = false;       // the rate asked for was refused or did not work: the run fell back
    bool bLineRateFailed = false;     // ... acknowledged, but the line did not carry it (not a refusal)
};

// The closing words of a run that succeeded without a check of its flash.
inline constexpr char UNVERIFIED_TEXT[] = "upgraded, but the flash could not be verified on this receiver";

// The name a person knows a step by ("Prepare flash", "App Version check")
// for a step notification code; null for a code that is not a step.
const char* StepName(int32_t code);

// The text for a result code when no phase gave a reason of its own.
const char* DefaultErrorText(int32_t result);

// One line for a failed run: "<step> failed: <reason>", or the reason alone
// when no step reported the failure.
// A run that kept the receiver in its flash monitor also says what to do.
std::string DescribeFailure(const CRunReport& report);

// One line for an upgrade whose runs all failed: the last run's failure and,
// when the first run failed otherwise, that one too (a retry's failure
// often only follows from the first). Advice both end with (what to check
// when nothing answered) is said once, after both.
std::string DescribeFailures(const CRunReport& first, const CRunReport& last);

}  // namespace CHERFLoaderLib
