#include "engine/LoaderCodes.h"

#include <cstddef>

namespace CHERFLoaderLib {
inline namespace LoaderCodes {

namespace {

const char* const UNKNOWN_NAME = "UNKNOWN";

const char* const RESULT_NAMES[] = {
    "HLE_NONE",           "HLE_NO_SESSION",     nullptr,
    "HLE_PORT_NOT_OPEN",  "HLE_CONNECT_FAILED", "HLE_CONNECT_TIMEOUT",
    "HLE_UPLOAD_FAILED",  "HLE_VERIFY_FAILED",  "HLE_EXPAND_FAILED",
    "HLE_PREPARE_FAILED", "HLE_PROGRAM_FAILED", "HLE_CANCELLED",
    "HLE_PACKAGE_REFUSED", "HLE_NOT_CONFIRMED",
};

const char* const NOTIFICATION_NAMES[] = {
    "HLN_OVERALL_PERCENT", "HLN_PHASE_PERCENT", "HLN_TEXT",          "HLN_PHASE_BEGIN",
    "HLN_APP_VERSION_CHECK", "HLN_POWER_CHECK", "HLN_FAMILY_CHECK",  "HLN_CONNECT",
    "HLN_MONITOR_UPLOAD",  "HLN_DATA_UPLOAD",   "HLN_RETRY",         "HLN_VERIFY",
    "HLN_EXPAND",          "HLN_PREPARE_FLASH", "HLN_PROGRAM_FLASH", "HLN_RUN",
    "HLN_NO_CANCEL",
};
static_assert(sizeof(NOTIFICATION_NAMES) / sizeof(NOTIFICATION_NAMES[0]) == HLN_COUNT);

const char* const PHASE_KIND_NAMES[] = {
    "PHASE_CONNECT",       "PHASE_UPLOAD_MONITOR", "PHASE_UPLOAD_DATA",   "PHASE_VERIFY_DATA",
    "PHASE_EXPAND_DATA",   "PHASE_PREPARE_FLASH",  "PHASE_PROGRAM_FLASH", "PHASE_RECONNECT",
};
static_assert(sizeof(PHASE_KIND_NAMES) / sizeof(PHASE_KIND_NAMES[0]) == PHASE_KIND_COUNT);

const char* const OPTION_NAMES[] = {
    "HLO_SKIP_APP_VERSION_CHECK", "HLO_PRIMARY_PORT_ONLY",   "HLO_SKIP_POWER_CHECK",
    "HLO_THIRD_PORT",             "HLO_MONITOR_TEXT_CONNECT", "HLO_HIGH_SPEED",
    "HLO_SKIP_FAMILY_CHECK",      "HLO_PASSTHROUGH_CONNECT", "HLO_WAKE_TEXT",
    "HLO_HIGH_SPEED_ANY_BOARD",   "HLO_SKIP_SECOND_CLOSING_COMMAND", "HLO_SKIP_FIRST_CLOSING_COMMAND",
};
static_assert(HLO_KNOWN_OPTIONS == (1u << (sizeof(OPTION_NAMES) / sizeof(OPTION_NAMES[0]))) - 1);

template <size_t N>
const char* LookUp(const char* const (&names)[N], int index) {
    if (index < 0 || static_cast<size_t>(index) >= N || names[index] == nullptr) return UNKNOWN_NAME;
    return names[index];
}

}  // namespace

const char* ResultCodeName(int code) { return LookUp(RESULT_NAMES, code); }

const char* NotificationName(int code) { return LookUp(NOTIFICATION_NAMES, code); }

const char* PhaseKindName(int kind) { return LookUp(PHASE_KIND_NAMES, kind); }

const char* OptionName(uint32_t bit)
{
    if (bit == 0 || (bit & (bit - 1)) != 0)
        return UNKNOWN_NAME;
    int index = 0;
    while ((bit >> index) != 1)
        ++index;
    return LookUp(OPTION_NAMES, index);
}

}  // namespace LoaderCodes
}  // namespace CHERFLoaderLib
