// Phase 1: send the flash monitor into the receiver's RAM through its boot
// loader, start it, connect to it and learn the flash chip.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "engine/HERFLoaderImpl.h"
#include "link/ReceiverLines.h"
#include "package/ByteOrder.h"
#include "texts/Texts.h"
#include "transfer/MonitorFiles.h"

namespace CHERFLoaderLib {

namespace {
constexpr uint32_t MONITOR_CHUNK = 1024;
constexpr int MONITOR_CHUNK_TIMEOUT_MS = 2000;
constexpr int CHUNK_ATTEMPTS = 3;
constexpr int CHUNK_QUICK_ATTEMPTS = 8;
constexpr uint32_t CHUNK_WIRE_OVERHEAD = 8 + 7 + 1 + 7;  // address, length, framing, and the answer

// "monitor chunk 3 of 22 (1024 bytes to 0x00100800)".
std::string ChunkName(uint32_t sent, uint32_t length, uint32_t n, uint32_t address)
{
    char text[96];
    std::snprintf(text, sizeof text, "monitor chunk %u of %u (%u bytes to 0x%08X)", sent / MONITOR_CHUNK + 1,
                  (length + MONITOR_CHUNK - 1) / MONITOR_CHUNK, n, address);
    return text;
}
}  // namespace

bool CHERFLoaderImpl::RunUploadMonitor()
{
    Notify(HLN_MONITOR_UPLOAD, STEP_BEGIN);
    std::string flashText = "Flash: Unknown";
    bool ok = false;
    if (m_bFinishThroughMonitor) {
        // The monitor of the interrupted upgrade runs: nothing is sent; it
        // only goes fast if it does not yet.
        NotifyText(HLN_TEXT, "Monitor: already running in the receiver");
        ok = true;
        if (m_nRateNow < 115200 && m_Receiver.IsHighSpeedBoard(m_nOptions) && (m_nOptions & HLO_HIGH_SPEED))
            ok = SwitchMonitorToHighSpeed() == LINK_OK;
        else if (m_nRateNow == 115200 && m_nLineRate > 115200)
            ok = RaiseLineRate() == LINK_OK;
        if (ok)
            ok = ReadFlashChip(flashText) == LINK_OK;
    } else {
        ok = UploadMonitor() == LINK_OK;
        if (!IsCancelled() && ok)
            ok = ConnectToMonitor(flashText) == LINK_OK;
    }
    if (IsCancelled()) {
        Notify(HLN_MONITOR_UPLOAD, STEP_CANCELLED);
    } else if (ok) {
        Notify(HLN_MONITOR_UPLOAD, STEP_OK);
        NotifyText(HLN_TEXT, flashText);
        ok = CheckPackageFitsFlash();
    } else {
        Notify(HLN_MONITOR_UPLOAD, STEP_FAILED);
    }
    return ok;
}

int CHERFLoaderImpl::UploadMonitor()
{
    // Without a memory map (a board outside the known classes, or a map
    // whose RAM does not fit the address space) there is no monitor image
    // and no place to load it or the staged image.
    if (!m_Receiver.m_pMemoryMap || m_Receiver.GetRamTop() == 0) {
        NotifyText(HLN_TEXT, "Monitor: Not Found!");
        return LINK_WAITING;
    }
    CMonitorImage image;
    std::string source, missing;
    if (!m_Monitors.Get(m_Receiver.m_pMemoryMap->m_nMapType, image, source, missing)) {
        // The folder lacks this class's file: nothing is sent, and the
        // reason names the file the receiver needs.
        NotifyText(HLN_TEXT, missing);
        SetError(HLE_UPLOAD_FAILED, missing);
        return LINK_WAITING;
    }
    NotifyText(HLN_TEXT, source);
    const uint32_t base = m_Receiver.m_pMemoryMap->m_nMonitorAddress;
    const uint32_t length = image.nLength;
    if (image.pData == nullptr || length < APP_HEADER_SIZE || GetLe32(image.pData) != APP_IMAGE_MAGIC) {
        NotifyText(HLN_TEXT, "Monitor: Not Found!");
        return LINK_WAITING;
    }
    char version[16], date[16];
    FormatVersion(version, sizeof version, GetLe16(image.pData + 10));
    FormatDate(date, sizeof date, GetLe16(image.pData + 16), image.pData[18], image.pData[19]);
    m_Run.NoteBytes(&CRunReport::nMonitorBytes, length);
    NotifyText(HLN_TEXT, std::string("Monitor: ") + version + ", " + date);

    int result = LINK_WAITING;
    uint32_t sent = 0;
    while (!IsCancelled() && sent < length) {
        const uint32_t n = std::min(MONITOR_CHUNK, length - sent);
        int attempts = 0, quick = 0;
        result = LINK_WAITING;
        while (!IsCancelled() && !m_Links.AnyPortGone() && result != LINK_OK && attempts < CHUNK_ATTEMPTS) {
            // The wait is learnt from the chunks that were answered; a quick
            // loss is sent again at once, after a moment of quiet.
            const uint32_t wire = n + CHUNK_WIRE_OVERHEAD;
            const int wait = m_ChunkTimer.WaitMs(wire, m_nRateNow);
            const auto begin = std::chrono::steady_clock::now();
            result = m_Links.m_BootMgr.SendData(image.pData + sent, base + sent, n, wait);
            if (result == LINK_OK) {
                m_ChunkTimer.Note(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count(), wire,
                    m_nRateNow);
                UpdateProgress(sent * 100.0 / length);
                sent += n;
            } else if (result == LINK_TIMEOUT && m_ChunkTimer.IsQuick(wait) && ++quick <= CHUNK_QUICK_ATTEMPTS) {
                NotifyRetry(0, ChunkName(sent, length, n, base + sent),
                            "no answer within " + std::to_string(wait) + " ms (a quick loss)", true);
                std::this_thread::sleep_for(std::chrono::milliseconds(m_ChunkTimer.QuietMs()));
            } else {
                ++attempts;
                NotifyRetry(attempts, ChunkName(sent, length, n, base + sent),
                            result == LINK_TIMEOUT ? "no answer within " + std::to_string(wait) + " ms"
                                                   : std::string("the boot loader refused it"),
                            attempts < CHUNK_ATTEMPTS && !IsCancelled());
            }
        }
        if (IsCancelled()) {
            SetError(HLE_CANCELLED);
            result = LINK_FAILED;
            Notify(HLN_RUN, RUN_CANCELLED);
            break;
        }
        if (result != LINK_OK) {
            SetError(HLE_UPLOAD_FAILED);
            break;
        }
    }
    UpdateProgress(sent * 100.0 / length);
    if (!IsCancelled() && result == LINK_OK) {
        // The boot loader hands control to the program it just received.
        result = m_Links.m_BootMgr.Command(BOOT_CMD_START_MONITOR, MONITOR_CHUNK_TIMEOUT_MS, 0, 0, 0, nullptr);
        m_Links.m_BootMgr.Disconnect();
    }
    return result;
}

int CHERFLoaderImpl::ConnectToMonitor(std::string& flashText)
{
    m_Links.m_bUseSecondary = false;
    m_Links.m_MonitorMgr.SetPorts(&m_Links.m_PrimaryPort, nullptr);
    m_Links.m_PrimaryPort.Configure(LINE_PACKET);
    if (!(m_nOptions & HLO_PRIMARY_PORT_ONLY))
        m_Links.m_SecondaryMonitorMgr.SetPorts(&m_Links.m_SecondaryPort,
                                               (m_nOptions & HLO_THIRD_PORT) ? &m_Links.m_ThirdPort : nullptr);

    m_nRateNow = 19200;
    int result = m_Links.m_MonitorMgr.ConnectMonitor(3000, false);
    if (result == LINK_OK) {
        if (m_Receiver.m_nBoardId == -1) {
            const uint8_t* info = m_Links.m_MonitorMgr.GetMonitorInfo().data();
            m_Receiver.m_wOldAppVersion = GetLe16(info + 2);
            m_Receiver.m_nBoardId = GetLe16(info + 10);
            m_Receiver.m_wOldBootVersion = GetLe16(info + 16);
        }
        if (!(m_nOptions & HLO_PRIMARY_PORT_ONLY) &&
            m_Links.m_SecondaryMonitorMgr.ConnectMonitor(1000, true) == LINK_OK)
            m_Links.m_bUseSecondary = true;
        if (m_Receiver.IsHighSpeedBoard(m_nOptions) && (m_nOptions & HLO_HIGH_SPEED))
            result = SwitchMonitorToHighSpeed();
    }
    flashText = "Flash: Unknown";
    if (result != LINK_OK)
        return result;
    return ReadFlashChip(flashText);
}

int CHERFLoaderImpl::ReadFlashChip(std::string& flashText)
{
    const int result = m_Links.m_MonitorMgr.Command(MON_CMD_READ_FLASH_INFO, 2000, 0, 0, 0, nullptr);
    if (result != LINK_OK)
        return result;
    const uint16_t device = GetLe16(m_Links.m_MonitorMgr.GetFlashInfo().data() + 2);
    m_Receiver.m_pFlashDevice = CreateFlashDevice(device, FLASH_BASE_ADDRESS);
    if (!m_Receiver.m_pFlashDevice)
        return LINK_FAILED;
    flashText = device == FLASH_DEVICE_AT49BV16X4 ? "Flash: AT49BV16X4" : "Flash: AT49BV8011";
    return ApplyFlashIds() ? LINK_OK : LINK_FAILED;
}

int CHERFLoaderImpl::SwitchMonitorToHighSpeed()
{
    if (m_Links.m_MonitorMgr.Command(MON_CMD_SET_SPEED, 5000, 115200, 0, 0, nullptr) == LINK_OK) {
        SetMonitorLineRate(115200);
        NotifyText(HLN_TEXT, "Using high speed monitor upload");
        // The monitor changes its speed after its acknowledgement has left.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    const int result = m_Links.m_MonitorMgr.Command(MON_CMD_READY, 2000, 0, 0, 0, nullptr);
    if (result != LINK_OK || m_nRateNow != 115200 || m_nLineRate <= 115200)
        return result;
    return RaiseLineRate();
}

}  // namespace CHERFLoaderLib
