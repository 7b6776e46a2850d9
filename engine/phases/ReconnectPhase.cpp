// The final phase: leave the upgrade record with the monitor, bring the
// receiver back to its boot loader and report the versions it now holds.
#include <cstdio>
#include <cstring>

#include "engine/HERFLoaderImpl.h"
#include "platform/LocalTime.h"
#include "texts/Texts.h"

namespace CHERFLoaderLib {

namespace {

// The file's name and extension, without any folder.
std::string FileNameOf(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\' || *p == ':')
            name = p + 1;
    return name;
}

std::string VersionText(unsigned version)
{
    char buffer[64];
    return FormatVersion(buffer, sizeof buffer, version);
}

// Whether the package holds a section of this kind (SECTION_APP, SECTION_BOOT).
bool Carries(const CFirmwareFileEntry& package, uint32_t flag)
{
    for (const auto& section : package.sections)
        if (section->flags & flag)
            return true;
    return false;
}

}  // namespace

bool CHERFLoaderImpl::RunReconnectPhase()
{
    // The last chance to look at the flash through the monitor.
    if (!ConfirmAfterLineTrouble())
        return false;
    SendUpgradeLogLine();
    Notify(HLN_CONNECT, STEP_BEGIN);
    m_Links.m_MonitorMgr.Command(MON_CMD_RETURN_TO_BOOT, 1000, 0, 0, 0, nullptr);
    m_Links.m_MonitorMgr.Disconnect();
    // Every section is programmed and confirmed: nothing is left for a later
    // run to finish through the monitor.
    ForgetMonitorHeld();

    const bool textConnect = m_nOptions & HLO_MONITOR_TEXT_CONNECT;
    const bool passthrough = m_nOptions & HLO_PASSTHROUGH_CONNECT;
    const bool wakeText = m_nOptions & HLO_WAKE_TEXT;
    // Some boards leave the monitor for their application, which only the
    // wake text brings back to the boot loader.
    const CBoardFacts* board = FindBoard(m_Receiver.m_nBoardId);
    const bool wake = (wakeText && !textConnect && !passthrough) ||
                      (textConnect && !passthrough && !wakeText && board != nullptr && board->bLeavesToApplication);
    if (wake && WakeWithText() != 0) {
        Notify(HLN_CONNECT, STEP_FAILED);
        return false;
    }
    const int result = IdentifyReceiver();
    if (result == LINK_OK)
        m_Run.NoteReceiverAfter(m_Receiver.m_wOldAppVersion, m_Receiver.m_wOldBootVersion);
    return EndConnect(result, true) && CheckReportedVersions();
}

// The verdict is the receiver's: for each part the package carries, the
// receiver must report that part's version, which its boot loader reads from
// a valid application header or boot record in flash. A part whose image
// carries no version (a raw image, written only when asked for) must at
// least be reported valid: a boot loader that finds no application header
// reports version 0 (an erased one 0xFFFF) and stays in itself.
bool CHERFLoaderImpl::CheckReportedVersions()
{
    const bool hasApp = Carries(Package(), SECTION_APP);
    const bool hasBoot = Carries(Package(), SECTION_BOOT);
    const CReceiverIdentity& rx = m_Receiver;
    auto valid = [](uint16_t version) { return version != 0 && version != 0xFFFF; };
    auto judge = [&](const char* part, uint16_t reported, uint16_t carried) -> std::string {
        char text[160];
        if (carried != 0 && reported != carried)
            std::snprintf(text, sizeof text, "%s %s where the package carries %s", part,
                          VersionText(reported).c_str(), VersionText(carried).c_str());
        else if (carried == 0 && !valid(reported))
            std::snprintf(text, sizeof text, "no valid %s (version %s)", part, VersionText(reported).c_str());
        else
            return std::string();
        return text;
    };
    std::string wrong = hasApp ? judge("application", rx.m_wOldAppVersion, rx.m_wNewAppVersion) : std::string();
    const std::string boot = hasBoot ? judge("boot loader", rx.m_wOldBootVersion, rx.m_wNewBootVersion) : std::string();
    if (!boot.empty())
        wrong += (wrong.empty() ? "" : ", and ") + boot;
    if (wrong.empty())
        return true;
    SetError(HLE_NOT_CONFIRMED, "after the upgrade the receiver reports " + wrong);
    NotifyText(HLN_TEXT, "Not confirmed: the receiver reports " + wrong);
    return false;
}

void CHERFLoaderImpl::SendUpgradeLogLine()
{
    const platform::CLocalTime now = platform::LocalTimeNow();
    const CReceiverIdentity& rx = m_Receiver;
    // A part the package does not carry is left as it was: the record names
    // the version the receiver keeps, not the package's 0 ("120->120").
    const int newApp = Carries(Package(), SECTION_APP) ? rx.m_wNewAppVersion : rx.m_wOldAppVersion;
    const int newBoot = Carries(Package(), SECTION_BOOT) ? rx.m_wNewBootVersion : rx.m_wOldBootVersion;
    char line[256];
    std::snprintf(line, sizeof line, "FW %04d%02d%02d %02d%02d%02d %d->%d %d->%d, BID:%d File:%d '%s'", now.nYear,
                  now.nMonth, now.nDay, now.nHour, now.nMinute, now.nSecond, rx.m_wOldAppVersion, newApp,
                  rx.m_wOldBootVersion, newBoot, rx.m_nBoardId, Package().kind, FileNameOf(Package().path).c_str());
    m_Links.m_MonitorMgr.SendText(line, 4000);
}

}  // namespace CHERFLoaderLib
