// Texts, option sets and port numbers of the upgrade wizard.
//
// The pages show these texts exactly as written here; "\r\n" is the line
// break the receiver's tools have always used: the Win32 wizard shows it as it
// stands, the Qt wizard turns it into its own line break only when a text is
// put on the screen (ToDisplayText in wizard/DisplayText.h). No toolkit here:
// both wizards use these. Constants only, safe from any thread.
#pragma once

#include <cstdint>

#include "engine/LoaderCodes.h"
#include "engine/UpgradePolicy.h"

namespace wizard {

inline constexpr const char* WIZ_TEXT_CAPTION = "GPS Trailmark Pro Series GPS Upgrade";
inline constexpr const char* WIZ_TEXT_PACKAGE = "Corvid_FW_v1.82-Boot.q";

// Connection page.
inline constexpr const char* WIZ_TEXT_COM_PORT = "Com Port:";
inline constexpr const char* WIZ_TEXT_NOTE =
    "NOTE - Before hitting the 'Next' button to connect to the ModelX receiver make sure it is "
    "connected via serial cable to the Com port selected above and turn off the receiver.";
inline constexpr const char* WIZ_TEXT_FINDING_PORTS = "Please wait, finding available COM ports...";
inline constexpr const char* WIZ_TEXT_SELECT_PORT =
    "Please check that your GPS Trailmark Pro series receiver is connected to external power, "
    "then select a COM port to connect to the receiver and press Connect.";
inline constexpr const char* WIZ_TEXT_CONNECT = "Connect";
inline constexpr const char* WIZ_TEXT_PORT_FORMAT = "COM%d:";
inline constexpr const char* WIZ_TEXT_NO_DEVICE = "no device present";
// An entry whose device (set by TRAILMARK_COMn) is not there.
inline constexpr const char* WIZ_TEXT_MISSING_FORMAT = "%s (missing)";
// Under the list when the entry chosen cannot be used, and when none can.
inline constexpr const char* WIZ_TEXT_PORT_UNUSABLE_FORMAT =
    "No device answers to COM%d: choose a port that has one.";
inline constexpr const char* WIZ_TEXT_NO_PORTS =
    "No serial port was found: connect the serial cable or the USB serial adapter, then start the upgrade "
    "again.";
// The package the upgrade will write, under the picture; or why it cannot.
inline constexpr const char* WIZ_TEXT_PACKAGE_FORMAT = "Package: %s";
inline constexpr const char* WIZ_TEXT_PACKAGE_NAME_FORMAT = "Package: %s (\"%s\")";
inline constexpr const char* WIZ_TEXT_APP_VERSION_FORMAT = "application %s";
inline constexpr const char* WIZ_TEXT_BOOT_VERSION_FORMAT = "boot loader %s";
inline constexpr const char* WIZ_TEXT_KEPT_APP = "the receiver keeps its application";
inline constexpr const char* WIZ_TEXT_KEPT_BOOT = "the receiver keeps its boot loader";
inline constexpr const char* WIZ_TEXT_MEANT_FOR_FORMAT = "Writes %s; for %s.";
inline constexpr const char* WIZ_TEXT_PACKAGE_REFUSED = "This firmware package cannot be written:";
inline constexpr const char* WIZ_TEXT_PACKAGE_REFUSED_NOTE_FORMAT =
    "The upgrade cannot start: the firmware package (below) cannot be written. Put the package for your "
    "receiver, named %s, in the folder the upgrade was started in, and start it again.";

// Progress page.
inline constexpr const char* WIZ_TEXT_UPDATING = "Updating GPS Firmware\r\nPlease wait...";
inline constexpr const char* WIZ_TEXT_FIRST_PHASE = "Connecting to receiver: 0%";
inline constexpr const char* WIZ_TEXT_FIRST_OVERALL = "Overall progress: 0%";
inline constexpr const char* WIZ_TEXT_OVERALL_FORMAT = "Overall progress: %d%%";
inline constexpr const char* WIZ_TEXT_PHASE_FORMAT = "%s: %d%%";
inline constexpr const char* WIZ_TEXT_FINISH = "Finish";
inline constexpr const char* WIZ_TEXT_SUCCESS = "Successfully upgraded GPS firmware";
inline constexpr const char* WIZ_TEXT_FAILED = "Failed to upgrade GPS firmware";
// A run that succeeded although the receiver's monitor could not check its
// flash: never shown as a plain success.
inline constexpr const char* WIZ_TEXT_UNVERIFIED =
    "GPS firmware upgraded, but the flash could not be verified on this receiver";
inline constexpr const char* WIZ_TEXT_POWER_FAILED =
    "Failed to upgrade GPS firmware.\r\n\r\nPlease check that you have external power connected "
    "and then try again.";

// While it works: the time taken and left and the upload's speed (as the
// command line computes them), a warning while the flash is written, and a
// line when something is tried again.
inline constexpr const char* WIZ_TEXT_ELAPSED_FORMAT = "%s elapsed";
inline constexpr const char* WIZ_TEXT_LEFT_FORMAT = ", %s left";
inline constexpr const char* WIZ_TEXT_SPEED_FORMAT = "; %s";
inline constexpr const char* WIZ_TEXT_FLASH_WARNING =
    "Writing the receiver's flash: do not disconnect or switch off the receiver.";
inline constexpr const char* WIZ_TEXT_RETRY_FORMAT = "Attempt %d failed: %s";
inline constexpr const char* WIZ_TEXT_RUN_AGAIN_FORMAT = "The upgrade is tried again (run %d).";
// At the end: the last phase line of an upgrade, the versions the receiver
// reported before and after, and the time taken.
inline constexpr const char* WIZ_TEXT_DONE_PHASE = "Upgrade finished";
inline constexpr const char* WIZ_TEXT_BEFORE_FORMAT = "Before: application %s, boot loader %s";
inline constexpr const char* WIZ_TEXT_NOW_FORMAT = "Now: application %s, boot loader %s";
inline constexpr const char* WIZ_TEXT_TIME_TAKEN_FORMAT = "Time taken: %s";
// After a failure: the page's own button that runs the upgrade again (Back
// returns to the connection page).
inline constexpr const char* WIZ_TEXT_TRY_AGAIN = "Try again";
// Asked when the wizard is closed while the upgrade may still be stopped.
inline constexpr const char* WIZ_TEXT_CANCEL_QUESTION = "Cancel the upgrade?";
inline constexpr const char* WIZ_TEXT_CANCEL_DETAIL =
    "Nothing has been written to the receiver's flash yet: it keeps the firmware it has.";

// What the machine is told while an upgrade runs: who keeps it from
// sleeping and why, and the reason shown for a logoff or shutdown refused
// while the flash is written.
inline constexpr const char* WIZ_TEXT_PROGRAM = "Trailmark Upgrade";
inline constexpr const char* WIZ_TEXT_UPGRADE_REASON = "Upgrading the receiver's firmware";
inline constexpr const char* WIZ_TEXT_FLASH_WORK_REASON = "Writing the receiver's firmware: do not switch off";

// Engine options of the first run (the upgrade policy derives the retry's):
// the command line's defaults, the device-family check included, since the
// wizard writes whatever package lies in its folder.
inline constexpr uint32_t WIZ_OPTIONS_FIRST_RUN = CHERFLoaderLib::UPGRADE_FIRST_RUN_OPTIONS;
static_assert(WIZ_OPTIONS_FIRST_RUN == 0x123);

// The message number the progress page gives the engine, which tags every
// notification with it: the application message WM_APP + 1000.
inline constexpr uint32_t WM_LOADER_NOTIFY = 0x83E8;

}  // namespace wizard
