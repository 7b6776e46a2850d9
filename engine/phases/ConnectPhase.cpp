// Phase 0: reach the receiver, identify it and check the package against it.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "engine/HERFLoaderImpl.h"
#include "texts/Texts.h"
#include "link/PikePassthroughManager.h"
#include "link/ReceiverLines.h"
#include "link/ReceiverTextLink.h"
#include "package/ByteOrder.h"

namespace CHERFLoaderLib {

namespace {

constexpr char WAKE_TEXT[] = "PoLkAdOtSy";
constexpr char WAKE_ANSWER[] = "tUrNiPgReEnSo";
constexpr char MONITOR_COMMAND[] = "TITAN : GOTO FLASH MONITOR\r\n";
constexpr char MONITOR_ANSWER[] = "TITAN : GOING TO FLASH MONITOR\r\n";
constexpr int WAKE_SENDS = 30;
constexpr int WAKE_QUIET_MS = 300;
constexpr int COMMAND_ATTEMPTS = 5;
constexpr int BOOT_CONNECT_TIMEOUT_MS = 3000;
constexpr int BOOT_COMMAND_TIMEOUT_MS = 2000;
constexpr float POWER_LIMIT = -15.0f;

constexpr size_t POWER_READING_OFFSET = 16;

void Sleep(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string DateText(const uint8_t* p)
{
    char buffer[64];
    return FormatDate(buffer, sizeof buffer, GetLe16(p), p[2], p[3]);
}

std::string VersionText(unsigned version)
{
    char buffer[64];
    return FormatVersion(buffer, sizeof buffer, version);
}

}  // namespace

bool CHERFLoaderImpl::RunConnectPhase()
{
    Notify(HLN_RUN, RUN_BEGIN);
    if (m_nOptions & HLO_SKIP_POWER_CHECK)
        NotifyText(HLN_TEXT, "Power Management check skipped");
    if (!ConnectReceiver())
        return false;

    if (m_nOptions & HLO_SKIP_APP_VERSION_CHECK) {
        NotifyText(HLN_TEXT, "App Version check skipped");
    } else if (m_bFinishThroughMonitor) {
        // The interrupted upgrade may have written part of the new
        // application already: what the receiver reports now says nothing.
        NotifyText(HLN_TEXT, "App Version check skipped: finishing an interrupted upgrade");
    } else if (!(m_Receiver.m_wNewAppVersion > m_Receiver.m_wOldAppVersion)) {
        const std::string newText = VersionText(m_Receiver.m_wNewAppVersion);
        const std::string oldText = VersionText(m_Receiver.m_wOldAppVersion);
        NoteReport(&CRunReport::bCheckRefused);
        SetError(HLE_CONNECT_FAILED,
                 "the package's application " + newText + " is not newer than the receiver's " + oldText);
        Notify(HLN_APP_VERSION_CHECK, STEP_FAILED);
        NotifyText(HLN_TEXT, "  " + newText + " <= " + oldText);
        return false;
    }

    if (m_nOptions & HLO_SKIP_FAMILY_CHECK) {
        NotifyText(HLN_TEXT, "Device Family check skipped");
    } else {
        const uint32_t family = Package().familyWord & 0xFF000;
        if (family == 0) {
            NotifyText(HLN_TEXT, "Device Family file = any");
        } else {
            const uint32_t required = GetBoardFamily(m_Receiver.m_nBoardId);
            if (required != 0 && required != family) {
                NoteReport(&CRunReport::bCheckRefused);
                // In hexadecimal, as `trailmark info` and the manual name
                // families; the "Family:" line below keeps the decimal form
                // the receivers' own tools have always printed.
                char packageFamily[16], boardFamily[16];
                SetError(HLE_CONNECT_FAILED, std::string("the package is for device family ") +
                                                 FormatFamily(packageFamily, sizeof packageFamily, family) +
                                                 ", board " + std::to_string(m_Receiver.m_nBoardId) + " needs " +
                                                 FormatFamily(boardFamily, sizeof boardFamily, required));
                Notify(HLN_FAMILY_CHECK, STEP_FAILED);
                char text[64];
                std::snprintf(text, sizeof text, "  Family: %d - BoardID: %d", static_cast<int>(family),
                              m_Receiver.m_nBoardId);
                NotifyText(HLN_TEXT, text);
                return false;
            }
        }
    }
    return CheckPackageFitsRam();
}

bool CHERFLoaderImpl::ConnectReceiver()
{
    Notify(HLN_CONNECT, STEP_BEGIN);
    if (!m_Links.AreOpen(m_nOptions)) {
        SetError(HLE_PORT_NOT_OPEN, DefaultErrorText(HLE_PORT_NOT_OPEN));
        Notify(HLN_CONNECT, STEP_FAILED);
        return false;
    }

    const bool textConnect = m_nOptions & HLO_MONITOR_TEXT_CONNECT;
    const bool passthrough = m_nOptions & HLO_PASSTHROUGH_CONNECT;
    const bool wake = m_nOptions & HLO_WAKE_TEXT;
    if (!textConnect && passthrough && !wake) {
        if (ConnectViaPassthrough() != LINK_OK) {
            SetError(HLE_CONNECT_FAILED, "the handheld did not open its passthrough to the receiver");
            Notify(HLN_CONNECT, STEP_FAILED);
            return false;
        }
        // The handheld hands the line over to the receiver's boot loader,
        // which speaks the packet protocol at the standard settings.
        m_Links.ReopenPrimary();
        return EndConnect(IdentifyReceiver(), false);
    }

    // A record of this port's monitor means an earlier run was cut off while
    // it held the receiver there: look for that monitor first, since no other
    // way reaches it. Otherwise only when the chosen way got no answer, so
    // that a receiver without a monitor left over is reached as fast as ever.
    CInterruptedRun record;
    EReattach reattach = EReattach::NotFound;
    if (CInterruptedRunStore::Default().Find(m_Links.PortName(0), std::string(), record) &&
        FindRunningMonitor(true))
        reattach = ReattachMonitor();
    bool connected = false;
    if (reattach == EReattach::NotFound) {
        connected = ReachReceiver();
        if (!connected && !IsCancelled() && FindRunningMonitor(false))
            reattach = ReattachMonitor();
    }
    if (reattach == EReattach::Ended && !IsCancelled()) {
        // The receiver went back to its boot loader or its application;
        // the wake text reaches either when the chosen way does not.
        connected = ReachReceiver() || (!IsCancelled() && !wake && WakeWithText() == 0);
    }
    if (reattach == EReattach::Finishing) {
        Notify(HLN_CONNECT, STEP_OK);
        ReportVersions(m_Links.m_MonitorMgr.GetMonitorInfo().data());
        return true;
    }
    if (reattach == EReattach::Failed) {
        Notify(HLN_CONNECT, STEP_FAILED);
        return false;
    }
    if (!connected) {
        SetError(HLE_CONNECT_FAILED,
                 IsCancelled() ? DefaultErrorText(HLE_CANCELLED)
                               : NoAnswerText(textConnect ? "the command to go to its flash monitor" : "the wake text"));
        Notify(HLN_CONNECT, STEP_FAILED);
        return false;
    }
    const int result = IdentifyReceiver();
    // A boot loader answers here, so no monitor runs on this port: a record
    // of one is left over from a run whose monitor the receiver has lost
    // (it was switched off), and must not mislead a later run.
    if (result == LINK_OK)
        CInterruptedRunStore::Default().RemoveAll(m_Links.PortName(0));
    return EndConnect(result, false);
}

bool CHERFLoaderImpl::ReachReceiver()
{
    const bool textConnect = m_nOptions & HLO_MONITOR_TEXT_CONNECT;
    const bool passthrough = m_nOptions & HLO_PASSTHROUGH_CONNECT;
    const bool wake = m_nOptions & HLO_WAKE_TEXT;
    bool connected = true;
    if (textConnect && !passthrough && !wake)
        ConnectWithCommandLine(connected);
    else if (!textConnect && !passthrough && wake)
        connected = WakeWithText() == 0;
    return connected;
}

std::string CHERFLoaderImpl::NoAnswerText(const char* what) const
{
    return std::string("the receiver did not answer ") + what + " on " + m_Links.PortName(0) +
           ": check the cable and that the receiver is switched on and charged; a receiver left by an "
           "interrupted upgrade may need to be switched off and on (battery out) before the upgrade is run again";
}

bool CHERFLoaderImpl::EndConnect(int linkResult, bool finalPhase)
{
    if (linkResult == LINK_OK) {
        if (finalPhase)
            UpdateProgress(1.0);
        Notify(HLN_CONNECT, STEP_OK);
        ReportVersions(m_Links.m_BootMgr.GetBootInfo().data());
        return true;
    }
    SetError(linkResult == LINK_TIMEOUT ? HLE_CONNECT_TIMEOUT : HLE_CONNECT_FAILED);
    Notify(HLN_CONNECT, STEP_FAILED);
    return false;
}

bool CHERFLoaderImpl::ConnectWithCommandLine(bool& connected)
{
    char command[256] = {};
    std::memcpy(command, MONITOR_COMMAND, sizeof MONITOR_COMMAND - 1);
    Sleep(1000);
    NotifyText(HLN_TEXT, "Using break to connect");

    CReceiverTextLink link(&m_Links.m_PrimaryPort);
    char info[256] = {};
    char reply[256] = {};
    connected = false;
    int attempts = 0;
    while (!IsCancelled() && !m_Links.AnyPortGone() && !connected && attempts < COMMAND_ATTEMPTS) {
        link.ExchangeText(command, info, sizeof info, reply, sizeof reply);
        connected = std::strcmp(reply, MONITOR_ANSWER) == 0;
        ++attempts;
        if (!connected && attempts < COMMAND_ATTEMPTS)
            Sleep(1500);
    }
    if (IsCancelled()) {
        SetError(HLE_CANCELLED);
        Notify(HLN_RUN, RUN_CANCELLED);
        // A cancelled attempt does not count as a connection.
        connected = false;
        return false;
    }
    if (connected) {
        CReceiverPortInfo portInfo;
        // Some application firmware leaves the receiver asleep after the
        // command: it needs the wake text as well.
        if (ParseInfoReply(info, portInfo) &&
            (std::strstr(portInfo.m_szProduct, "ModelD") || std::strstr(portInfo.m_szProduct, "HandheldOS")))
            connected = WakeWithText() == 0;
    }
    return connected;
}

int CHERFLoaderImpl::WakeWithText()
{
    m_Links.m_PrimaryPort.Configure(LINE_PACKET_LINES_LOW);
    // Both directions are cleared first and the line then left quiet for a
    // moment: a boot loader that an earlier host left in the middle of a
    // session (at 115200 baud, after its speed change) takes a quiet line
    // after a flush as a host starting over, and returns to 19200 and its
    // announcements. What came in meanwhile is dropped before the first send.
    m_Links.m_PrimaryPort.Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    Sleep(WAKE_QUIET_MS);
    m_Links.m_PrimaryPort.Purge(PURGE_RXABORT | PURGE_RXCLEAR);
    size_t match = 0;
    bool waiting = true;
    for (int send = 0; send < WAKE_SENDS && waiting; ++send) {
        m_Links.m_PrimaryPort.Write(reinterpret_cast<const uint8_t*>(WAKE_TEXT), sizeof WAKE_TEXT - 1);
        Sleep(250);
        while (waiting && m_Links.m_PrimaryPort.GetRxCount() > 0) {
            const char c = static_cast<char>(m_Links.m_PrimaryPort.ReadByte());
            // A byte that breaks a partial match is not taken as a new start:
            // the next send gives the receiver another chance.
            if (c == WAKE_ANSWER[match]) {
                if (++match == sizeof WAKE_ANSWER - 1)
                    waiting = false;
            } else {
                match = 0;
            }
        }
        if (IsCancelled() || m_Links.AnyPortGone())
            break;
    }
    return waiting ? 1 : 0;
}

int CHERFLoaderImpl::ConnectViaPassthrough()
{
    CPikePassthroughManager manager;
    manager.SetPorts(&m_Links.m_PrimaryPort, nullptr);
    m_Links.m_PrimaryPort.Configure(LINE_PASSTHROUGH);
    const int result = manager.Connect(3000);
    manager.Disconnect();
    m_Links.m_PrimaryPort.Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    return result;
}

int CHERFLoaderImpl::IdentifyReceiver()
{
    m_Links.m_BootMgr.SetPorts(&m_Links.m_PrimaryPort, nullptr);
    m_Links.m_PrimaryPort.Configure(LINE_PACKET);
    m_nRateNow = 19200;
    int result = m_Links.m_BootMgr.Connect(BOOT_CONNECT_TIMEOUT_MS);
    if (result != LINK_OK)
        return result;
    NoteReport(&CRunReport::bReachedBootLoader);
    m_Receiver.TakeIdentity(m_Links.m_BootMgr.GetBootInfo().data());
    m_Run.NoteReceiver(m_Receiver.m_wOldAppVersion, m_Receiver.m_wOldBootVersion, m_Receiver.m_nBoardId,
                       m_Receiver.m_strSerial);

    if (m_Receiver.IsHighSpeedBoard(m_nOptions) && (m_nOptions & HLO_HIGH_SPEED)) {
        result = SwitchBootToHighSpeed();
        if (result != LINK_OK)
            return result;
    }
    m_Receiver.m_bReceiverMemoryMap =
        m_Links.m_BootMgr.Command(BOOT_CMD_READ_MEMORY_MAP, BOOT_COMMAND_TIMEOUT_MS, 0, 0, 0, nullptr) == LINK_OK;
    CreateMemoryMap();

    if (!(m_nOptions & HLO_SKIP_POWER_CHECK) &&
        m_Links.m_BootMgr.Command(BOOT_CMD_READ_POWER, BOOT_COMMAND_TIMEOUT_MS, 0, 0, 0, nullptr) == LINK_OK) {
        float reading;
        std::memcpy(&reading, m_Links.m_BootMgr.GetPowerInfo().data() + POWER_READING_OFFSET, sizeof reading);
        if (reading < POWER_LIMIT) {
            NoteReport(&CRunReport::bPowerFailed);
            char text[96];
            std::snprintf(text, sizeof text, "the receiver's power reading %.1f is below %.1f",
                          static_cast<double>(reading), static_cast<double>(POWER_LIMIT));
            SetError(HLE_CONNECT_FAILED, text);
            Notify(HLN_POWER_CHECK, STEP_FAILED);
            return LINK_FAILED;
        }
    }
    return m_Links.m_BootMgr.Command(BOOT_CMD_CHECK_84, BOOT_COMMAND_TIMEOUT_MS, 0, 0, 0, nullptr);
}

void CHERFLoaderImpl::ReportVersions(const uint8_t* id)
{
    char model[64];
    FormatModelName(model, sizeof model, GetLe16(id + ID_PRODUCT));
    NotifyText(HLN_TEXT, "Boot: " + VersionText(GetLe16(id + ID_BOOT_VERSION)) + ", " + DateText(id + ID_BOOT_DATE));
    NotifyText(HLN_TEXT, std::string("App: ") + model + ", " + VersionText(GetLe16(id + ID_APP_VERSION)) + ", " +
                             DateText(id + ID_APP_DATE));
}

int CHERFLoaderImpl::SwitchBootToHighSpeed()
{
    const int result = m_Links.m_BootMgr.Command(BOOT_CMD_SET_SPEED, 5000, 115200, 0, 0, nullptr);
    if (result == LINK_OK) {
        m_Links.m_PrimaryPort.Configure(LINE_PACKET.WithRate(115200));
        m_nRateNow = 115200;
        NotifyText(HLN_TEXT, "Using high speed boot upload");
        // The boot loader changes its speed after its acknowledgement has left.
        Sleep(400);
    }
    return result;
}

bool CHERFLoaderImpl::CreateMemoryMap()
{
    const auto& record = m_Links.m_BootMgr.GetMemoryMapData();
    const bool given = m_Receiver.m_bReceiverMemoryMap;
    m_Receiver.m_pMemoryMap =
        CreateMemoryMapInfo(m_Receiver.m_nBoardId, given ? record.data() : nullptr, given ? record.size() : 0);
    return m_Receiver.m_pMemoryMap != nullptr;
}

bool CHERFLoaderImpl::ApplyFlashIds()
{
    if (!m_Receiver.m_pFlashDevice || !m_Receiver.m_pMemoryMap)
        return false;
    const uint8_t* flash = m_Links.m_MonitorMgr.GetFlashInfo().data();
    m_Receiver.m_pMemoryMap->SetFlashIds(GetLe16(flash), GetLe16(flash + 2));
    return true;
}

}  // namespace CHERFLoaderLib
