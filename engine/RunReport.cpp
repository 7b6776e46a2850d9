#include "engine/RunReport.h"

#include "engine/PhasePlan.h"

namespace CHERFLoaderLib {

const char* StepName(int32_t code)
{
    switch (code) {
    case HLN_APP_VERSION_CHECK: return "App Version check";
    case HLN_POWER_CHECK: return "Power Management check";
    case HLN_FAMILY_CHECK: return "Device Family check";
    case HLN_CONNECT: return PHASE_NAME_CONNECT;
    case HLN_MONITOR_UPLOAD: return PHASE_NAME_UPLOAD_MONITOR;
    case HLN_DATA_UPLOAD: return PHASE_NAME_UPLOAD_DATA;
    case HLN_VERIFY: return PHASE_NAME_VERIFY_DATA;
    case HLN_EXPAND: return PHASE_NAME_EXPAND_DATA;
    case HLN_PREPARE_FLASH: return PHASE_NAME_PREPARE_FLASH;
    case HLN_PROGRAM_FLASH: return PHASE_NAME_PROGRAM_FLASH;
    default: return nullptr;
    }
}

const char* DefaultErrorText(int32_t result)
{
    switch (result) {
    case HLE_NONE: return "";
    case HLE_PORT_NOT_OPEN: return "a serial port the upgrade needs is not open";
    case HLE_CONNECT_FAILED: return "the receiver did not answer or was not identified";
    case HLE_CONNECT_TIMEOUT: return "the receiver's boot loader did not answer in time";
    case HLE_UPLOAD_FAILED: return "the upload to the receiver failed after its retries";
    case HLE_VERIFY_FAILED: return "the data in the receiver's memory did not match the package";
    case HLE_EXPAND_FAILED: return "the receiver could not expand the firmware";
    case HLE_PREPARE_FAILED: return "the receiver could not erase its flash";
    case HLE_PROGRAM_FAILED: return "the receiver could not program its flash";
    case HLE_CANCELLED: return "the upgrade was cancelled";
    case HLE_PACKAGE_REFUSED: return "the package does not fit this receiver's RAM or flash";
    case HLE_NOT_CONFIRMED: return "the receiver does not report the package's versions after the upgrade";
    default: return "the upgrade failed";
    }
}

std::string DescribeFailure(const CRunReport& report)
{
    std::string reason = report.strError;
    if (reason.empty())
        reason = DefaultErrorText(report.nResult);
    const char* step = StepName(report.nFailedStep);
    if (step != nullptr)
        reason = std::string(step) + " failed" + (reason.empty() ? "" : ": " + reason);
    if (report.bMonitorKept)
        reason += ". " + (report.strMonitorKept.empty()
                              ? std::string("The receiver is kept in its flash monitor: keep it powered")
                              : report.strMonitorKept);
    return reason;
}

namespace {

// Advice shorter than this is no advice (a word or two the texts happen to share).
constexpr size_t SHARED_ADVICE_MIN = 30;

// Where the advice both texts end with begins: the longest common ending
// that starts a clause (after ": " or "; ") in both. npos when they share
// none of at least SHARED_ADVICE_MIN characters.
size_t SharedAdviceLength(const std::string& a, const std::string& b)
{
    size_t common = 0;
    while (common < a.size() && common < b.size() && a[a.size() - 1 - common] == b[b.size() - 1 - common])
        ++common;
    for (size_t length = common; length >= SHARED_ADVICE_MIN; --length) {
        const size_t at = a.size() - length, bt = b.size() - length;
        if (at >= 2 && bt >= 2 && a.compare(at - 2, 2, b, bt - 2, 2) == 0 &&
            (a.compare(at - 2, 2, ": ") == 0 || a.compare(at - 2, 2, "; ") == 0))
            return length;
    }
    return std::string::npos;
}

}  // namespace

std::string DescribeFailures(const CRunReport& first, const CRunReport& last)
{
    const std::string lastText = DescribeFailure(last);
    const std::string firstText = DescribeFailure(first);
    if (firstText.empty() || firstText == lastText)
        return lastText;
    // Both runs often end with the same advice (what to check when nothing
    // answers, that a receiver kept in its monitor must stay powered): it is
    // said once, after both failures.
    const size_t advice = SharedAdviceLength(lastText, firstText);
    if (advice == std::string::npos)
        return lastText + " (first run: " + firstText + ")";
    const size_t lastHead = lastText.size() - advice - 2, firstHead = firstText.size() - advice - 2;
    return lastText.substr(0, lastHead) + " (first run: " + firstText.substr(0, firstHead) + ")" +
           lastText.substr(lastHead);
}

}  // namespace CHERFLoaderLib
