// The numbers the upgrade engine shares with its front ends: option bits
// (HLO_*), result codes (HLE_*), notification codes (HLN_*) with their
// payloads (STEP_*, RUN_*), the results of Start (START_*) and the phase
// kinds (PHASE_*).
//
// The engine, the phase operations, the wizard and the command line all use
// these. The names live in namespace CHERFLoaderLib, in the inline namespace
// CHERFLoaderLib::LoaderCodes: code outside the engine writes
// CHERFLoaderLib::HLN_RUN, or uses either namespace in its own .cpp file.
// The name functions return constant texts and are safe from any thread.
#pragma once

#include <cstdint>

namespace CHERFLoaderLib {
inline namespace LoaderCodes {

// Option bits given to Start. The wizard and the command line pass 0x123 for
// the first run and 0x33 for its retry (UpgradePolicy.h); both hold
// HLO_PRIMARY_PORT_ONLY and leave the device-family check on.
constexpr uint32_t HLO_SKIP_APP_VERSION_CHECK = 0x001;       // no application-version check
constexpr uint32_t HLO_PRIMARY_PORT_ONLY = 0x002;            // one port, no secondary monitor link
constexpr uint32_t HLO_SKIP_POWER_CHECK = 0x004;             // no power check
constexpr uint32_t HLO_THIRD_PORT = 0x008;                   // secondary link also sends on port 3
constexpr uint32_t HLO_MONITOR_TEXT_CONNECT = 0x010;         // way of reaching the receiver
constexpr uint32_t HLO_HIGH_SPEED = 0x020;                   // 115200 baud where the board allows
constexpr uint32_t HLO_SKIP_FAMILY_CHECK = 0x040;            // no device-family check
constexpr uint32_t HLO_PASSTHROUGH_CONNECT = 0x080;          // way of reaching the receiver
constexpr uint32_t HLO_WAKE_TEXT = 0x100;                    // way of reaching the receiver
constexpr uint32_t HLO_HIGH_SPEED_ANY_BOARD = 0x200;         // every known board may go fast
constexpr uint32_t HLO_SKIP_SECOND_CLOSING_COMMAND = 0x400;  // closing skips its second command
constexpr uint32_t HLO_SKIP_FIRST_CLOSING_COMMAND = 0x800;   // closing skips its first command
constexpr uint32_t HLO_KNOWN_OPTIONS = 0xFFF;                // every bit above has a meaning

// How the programmed flash is confirmed (SetFlashCheck). Every check needs a
// monitor that the run's probe showed to read and compare flash; on any
// other monitor the run says once that the flash could not be checked.
constexpr int32_t FLASH_CHECK_NONE = 0;       // no check after programming
constexpr int32_t FLASH_CHECK_SUM = 1;        // the monitor sums each programmed range (default)
constexpr int32_t FLASH_CHECK_READ_BACK = 2;  // the sum, and the flash read back and compared by CRC-32
// The default: the sum on a clean line; once the line lost or damaged
// anything, every programmed section read back and compared by CRC-32 (and
// repaired where it differs) before the run may succeed.
constexpr int32_t FLASH_CHECK_AUTO = 3;

// The line rates the monitor link may run at after its switch to 115200
// (SetLineRate): 115200 itself, and the three a monitor may take above it.
// The front ends offer these; the engine asks nothing else.
constexpr uint32_t LINE_RATE_BASE = 115200;
constexpr uint32_t LINE_RATES[] = {LINE_RATE_BASE, 230400, 460800, 921600};

constexpr bool IsLineRate(uint32_t rate)
{
    for (uint32_t allowed : LINE_RATES)
        if (rate == allowed)
            return true;
    return false;
}

// Result codes of a run (GetResult). Only the failing phase sets one.
constexpr int32_t HLE_NONE = 0;             // no failure
constexpr int32_t HLE_NO_SESSION = 1;       // GetResult without a session (never stored)
constexpr int32_t HLE_PORT_NOT_OPEN = 3;    // a port the options need is not open
constexpr int32_t HLE_CONNECT_FAILED = 4;   // no answer, not identified, or power check failed
constexpr int32_t HLE_CONNECT_TIMEOUT = 5;  // the boot loader did not answer in time
constexpr int32_t HLE_UPLOAD_FAILED = 6;    // monitor or data upload failed after its retries
constexpr int32_t HLE_VERIFY_FAILED = 7;    // a section's byte sum in RAM did not match
constexpr int32_t HLE_EXPAND_FAILED = 8;    // expanding a section failed
constexpr int32_t HLE_PREPARE_FAILED = 9;   // erasing flash failed
constexpr int32_t HLE_PROGRAM_FAILED = 10;  // programming flash failed
constexpr int32_t HLE_CANCELLED = 11;       // a phase saw the cancel signal
constexpr int32_t HLE_PACKAGE_REFUSED = 12; // the package does not fit this receiver's RAM or flash
constexpr int32_t HLE_NOT_CONFIRMED = 13;   // after the upgrade the receiver does not report the package's
                                            // versions (no valid application or boot loader)

// Notification codes. The payload of each is given after it.
constexpr int32_t HLN_OVERALL_PERCENT = 0;     // overall progress 0..100
constexpr int32_t HLN_PHASE_PERCENT = 1;       // current phase's progress 0..100, right after 0
constexpr int32_t HLN_TEXT = 2;                // a text line (the text travels with it)
constexpr int32_t HLN_PHASE_BEGIN = 3;         // the phase name (the text travels with it)
constexpr int32_t HLN_APP_VERSION_CHECK = 4;   // 2: the package's version is not newer
constexpr int32_t HLN_POWER_CHECK = 5;         // 2: the power check failed
constexpr int32_t HLN_FAMILY_CHECK = 6;        // 2: the package does not suit the board
constexpr int32_t HLN_CONNECT = 7;             // step status 0, 1, 2
constexpr int32_t HLN_MONITOR_UPLOAD = 8;      // step status 0, 1, 2, 3
constexpr int32_t HLN_DATA_UPLOAD = 9;         // step status 0, 1, 2, 3
constexpr int32_t HLN_RETRY = 10;              // number of the failed attempt, 1..3 (the uploads' quick
                                               // losses count on, to 10); the text names the block or
                                               // command, why it failed and whether it is sent again
constexpr int32_t HLN_VERIFY = 11;             // step status 0, 1, 2
constexpr int32_t HLN_EXPAND = 12;             // step status 0, 1, 2
constexpr int32_t HLN_PREPARE_FLASH = 13;      // step status 0, 1, 2
constexpr int32_t HLN_PROGRAM_FLASH = 14;      // step status 0, 1, 2
constexpr int32_t HLN_RUN = 15;                // RUN_BEGIN, RUN_FINISHED (last), RUN_CANCELLED
constexpr int32_t HLN_NO_CANCEL = 16;          // 0: the first phase that may not be cancelled began
constexpr int32_t HLN_COUNT = 17;              // number of notification codes

// Step-status payloads of HLN_CONNECT .. HLN_PROGRAM_FLASH.
constexpr int32_t STEP_BEGIN = 0;
constexpr int32_t STEP_OK = 1;
constexpr int32_t STEP_FAILED = 2;
constexpr int32_t STEP_CANCELLED = 3;

// Payloads of HLN_RUN.
constexpr int32_t RUN_BEGIN = 0;     // first thing the connection phase sends
constexpr int32_t RUN_FINISHED = 1;  // the worker has finished: the last notification of a run
constexpr int32_t RUN_FAILED = 2;    // the run failed; never sent: this engine ends every run with
                                     // RUN_FINISHED and tells a failure by its result code
constexpr int32_t RUN_CANCELLED = 3; // a phase stopped on the cancel signal

// Results of Start.
constexpr int32_t START_OK = 0;              // the worker runs
constexpr int32_t START_NOT_STARTED = 1;     // no session, already run, or no worker thread
constexpr int32_t START_PACKAGE_FAILED = 2;  // the package, the plan or the monitor folder failed
constexpr int32_t START_PORT_FAILED = 3;     // a port failed to open

// Phase kinds: each selects the phase operation the worker runs.
constexpr int32_t PHASE_CONNECT = 0;
constexpr int32_t PHASE_UPLOAD_MONITOR = 1;
constexpr int32_t PHASE_UPLOAD_DATA = 2;
constexpr int32_t PHASE_VERIFY_DATA = 3;
constexpr int32_t PHASE_EXPAND_DATA = 4;
constexpr int32_t PHASE_PREPARE_FLASH = 5;
constexpr int32_t PHASE_PROGRAM_FLASH = 6;
constexpr int32_t PHASE_RECONNECT = 7;
constexpr int32_t PHASE_KIND_COUNT = 8;

// The constant's name for a code ("HLE_CONNECT_FAILED", "HLN_RUN",
// "PHASE_VERIFY_DATA"); "UNKNOWN" for a number without a name. Never null.
const char* ResultCodeName(int code);
const char* NotificationName(int code);
const char* PhaseKindName(int kind);
// The name of one option bit ("HLO_WAKE_TEXT"); "UNKNOWN" for any other value.
const char* OptionName(uint32_t bit);

}  // namespace LoaderCodes
}  // namespace CHERFLoaderLib
