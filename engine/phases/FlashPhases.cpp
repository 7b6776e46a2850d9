// Phases 4 to 6: have the monitor expand a compressed section in RAM, erase
// the flash sectors of the section's region and program the flash from RAM.
//
// Once the flash work has begun, stopping halfway leaves the receiver worse
// than it was found, so a command whose answer did not come is sent again:
// erasing a sector again, or programming the same bytes from the same RAM
// again, gives the same flash on NOR chips. An expansion is never repeated in
// place, since it may have written over its own input: the section is sent
// again and checked first.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "engine/HERFLoaderImpl.h"
#include "package/ByteOrder.h"

namespace CHERFLoaderLib {

namespace {
constexpr int FLASH_COMMAND_TIMEOUT_MS = 5000;
constexpr int FLASH_ATTEMPTS = 3;
constexpr int EXPAND_ATTEMPTS = 3;
constexpr uint32_t PROGRAM_PIECE = 4096;
constexpr int PING_TIMEOUT_MS = 1000;
constexpr int BLOCK_TIMEOUT_MS = 3000;
constexpr int BLOCK_ATTEMPTS = 3;
constexpr int QUICK_ATTEMPTS = 8;                 // quick losses of one exchange asked again
constexpr uint32_t COMMAND_WIRE_BYTES = 13 + 7 + 1 + 7;  // a command packet and its answer

uint32_t HeaderWord(const CFirmwareSection& section, size_t offset)
{
    if (!section.data || section.length < offset + 4)
        return 0;
    return GetLe32(section.data.get() + offset);
}

bool IsBootOnly(const CFirmwareSection& section)
{
    return (section.flags & SECTION_BOOT) && !(section.flags & SECTION_APP);
}
}  // namespace

namespace {

// A monitor command as a retry names it: "erase of the sector at
// 0x01030000", "program of 4096 bytes to 0x01020000 from RAM 0x00C00000".
std::string CommandName(unsigned kind, uint32_t first, uint32_t second, uint32_t third)
{
    char text[128];
    switch (kind) {
    case MON_CMD_PREPARE_FLASH:
        std::snprintf(text, sizeof text, "erase of the sector at 0x%08X", first);
        break;
    case MON_CMD_PROGRAM_FLASH:
        std::snprintf(text, sizeof text, "program of %u bytes to 0x%08X from RAM 0x%08X", second, third, first);
        break;
    case MON_CMD_VERIFY:
        std::snprintf(text, sizeof text, "check of the sum of %u bytes at 0x%08X", second, first);
        break;
    case MON_CMD_READ_DATA:
        std::snprintf(text, sizeof text, "read of %u bytes at 0x%08X", second, first);
        break;
    default:
        std::snprintf(text, sizeof text, "monitor command %u", kind);
        break;
    }
    return text;
}

}  // namespace

int CHERFLoaderImpl::FlashCommand(unsigned kind, int timeoutMs, uint32_t first, uint32_t second, uint32_t third)
{
    int result = LINK_TIMEOUT;
    // A refusal is an answer; only a lost one is asked again.
    for (int attempt = 1; attempt <= FLASH_ATTEMPTS && result == LINK_TIMEOUT; ++attempt) {
        result = m_Links.m_MonitorMgr.Command(kind, timeoutMs, first, second, third, nullptr);
        if (result == LINK_TIMEOUT && attempt < FLASH_ATTEMPTS)
            NotifyRetry(attempt, CommandName(kind, first, second, third),
                        "no answer within " + std::to_string(timeoutMs) + " ms", true);
    }
    return result;
}

int CHERFLoaderImpl::TimedCommand(CAnswerTimer& timer, unsigned kind, uint32_t wireBytes, uint32_t first,
                                  uint32_t second, uint32_t third, CPacket* reply, int attempts)
{
    return TimedExchange(
        timer, wireBytes, m_nRateNow, attempts, QUICK_ATTEMPTS,
        [&](int waitMs) { return m_Links.m_MonitorMgr.Command(kind, waitMs, first, second, third, reply); },
        [&](const CAnswerLoss& loss) {
            const std::string why = "no answer within " + std::to_string(loss.nWaitMs) + " ms";
            if (loss.bQuick)
                NotifyRetry(0, CommandName(kind, first, second, third), why + " (a quick loss)", true);
            else if (loss.bAgain)
                NotifyRetry(loss.nFailed, CommandName(kind, first, second, third), why, true);
            else
                NoteLineTrouble();
        });
}

bool CHERFLoaderImpl::SendBlockAgain(const CDataBufferItem& block)
{
    NoteLineTrouble();
    const uint32_t address = m_Receiver.GetRamTop() + static_cast<uint32_t>(block.m_nRamOffset);
    for (int attempt = 0; attempt < BLOCK_ATTEMPTS; ++attempt) {
        if (m_Links.m_MonitorMgr.Command(MON_CMD_READY, PING_TIMEOUT_MS, 0, 0, 0, nullptr) == LINK_OK &&
            m_Links.m_MonitorMgr.SendData(block.m_pData.get(), address, block.m_nLength, BLOCK_TIMEOUT_MS) == LINK_OK)
            return true;
    }
    return false;
}

// Sends a section's staged blocks again and has the monitor check the
// section's byte sum in RAM.
bool CHERFLoaderImpl::UploadSectionAgain(const CFirmwareSection& section)
{
    const int32_t first = section.stagingOffset;
    const int64_t last = static_cast<int64_t>(first) + section.length;
    for (int i = 0; i < m_ImageData.GetCount(); ++i) {
        const CDataBufferItem* block = m_ImageData.GetItem(i);
        if (block->m_nRamOffset >= first && block->m_nRamOffset < last && !SendBlockAgain(*block))
            return false;
    }
    return FlashCommand(MON_CMD_VERIFY, FLASH_COMMAND_TIMEOUT_MS,
                        m_Receiver.GetRamTop() + static_cast<uint32_t>(section.stagingOffset), section.length,
                        section.checksum) == LINK_OK;
}

bool CHERFLoaderImpl::Expand(const CFirmwareSection& section)
{
    const uint32_t staged = m_Receiver.GetRamTop() + static_cast<uint32_t>(section.stagingOffset);
    for (int attempt = 0; attempt < EXPAND_ATTEMPTS; ++attempt) {
        if (attempt > 0) {
            NotifyText(HLN_TEXT, "Expand: no answer; sending the section again before it is expanded again");
            if (!UploadSectionAgain(section))
                continue;
        }
        const int result = m_Links.m_MonitorMgr.Command(MON_CMD_EXPAND, FLASH_COMMAND_TIMEOUT_MS, staged,
                                                        HeaderWord(section, 0), m_Receiver.m_pMemoryMap->m_nRamBase,
                                                        nullptr);
        if (result != LINK_TIMEOUT)
            return result == LINK_OK;
    }
    return false;
}

bool CHERFLoaderImpl::RunExpandData(CFlashPhase& phase)
{
    Notify(HLN_EXPAND, STEP_BEGIN);
    UpdateProgress(0);
    const CFirmwareSection* section = phase.m_pSection;
    if (section != nullptr && m_Receiver.m_pMemoryMap && Expand(*section)) {
        UpdateProgress(1);
        Notify(HLN_EXPAND, STEP_OK);
        return true;
    }
    SetError(HLE_EXPAND_FAILED);
    Notify(HLN_EXPAND, STEP_FAILED);
    return false;
}

bool CHERFLoaderImpl::EraseRange(uint32_t start, uint32_t end, bool report)
{
    const int32_t first = m_Receiver.m_pFlashDevice->FindSector(start);
    const uint32_t count = m_Receiver.m_pFlashDevice->GetSectorSpan(start, end);
    uint32_t blank = 0;
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t index = static_cast<uint32_t>(first) + k;
        const uint32_t address = m_Receiver.m_pFlashDevice->GetSectorAddress(index);
        const uint32_t size = m_Receiver.m_pFlashDevice->GetSectorSize(index);
        // A sector the monitor shows to be all 0xFF needs no erase; any
        // doubt (refusal, time-out, a damaged answer) means erase.
        if (IsSectorBlank(address, size))
            ++blank;
        else if (FlashCommand(MON_CMD_PREPARE_FLASH, FLASH_COMMAND_TIMEOUT_MS, address, 0, 0) != LINK_OK)
            return false;
        else
            ProveFlashSums(address, size);  // once, on a monitor that reads nothing back
        if (report)
            UpdateProgress((address - start) * 100.0 / (end - start));
    }
    if (report && Rule().bSkipBlank) {
        char text[96];
        std::snprintf(text, sizeof text, "Erase: %u of %u sectors already blank, not erased", blank, count);
        NotifyText(HLN_TEXT, text);
    }
    return true;
}

// The flash range a section's "Prepare flash" erases: the application's
// region for an application section, the boot loader's for a boot section.
static void EraseRangeOf(const CFirmwareSection& section, const CMemoryMap_Info& map, uint32_t& start, uint32_t& end)
{
    start = end = 0;
    if (section.flags & SECTION_APP) {
        start = map.m_nAppStart;
        end = map.m_nUpperStart + map.m_nUpperSize;
    } else if (section.flags & SECTION_BOOT) {
        start = map.m_nBootStart;
        end = map.m_nBootStart + map.m_nBootSize;
    }
}

bool CHERFLoaderImpl::RunPrepareFlash(CFlashPhase& phase)
{
    Notify(HLN_PREPARE_FLASH, STEP_BEGIN);
    const CFirmwareSection* section = phase.m_pSection;
    uint32_t start = 0, end = 0;
    if (section != nullptr && m_Receiver.m_pMemoryMap)
        EraseRangeOf(*section, *m_Receiver.m_pMemoryMap, start, end);
    bool ok = start != 0 && end > start && m_Receiver.m_pFlashDevice;
    if (ok) {
        UpdateProgress(0);
        EBootPlan plan = EBootPlan::Write;
        if (IsBootOnly(*section))
            plan = PlanBootSection(*section);
        if (plan == EBootPlan::Refused)
            ok = false;
        else if (plan == EBootPlan::Write)
            ok = EraseRange(start, end, true);
    }
    if (ok) {
        UpdateProgress(100);
        Notify(HLN_PREPARE_FLASH, STEP_OK);
        return true;
    }
    SetError(HLE_PREPARE_FAILED);
    Notify(HLN_PREPARE_FLASH, STEP_FAILED);
    return false;
}

bool CHERFLoaderImpl::RunProgramFlash(CFlashPhase& phase)
{
    Notify(HLN_PROGRAM_FLASH, STEP_BEGIN);
    const CFirmwareSection* section = phase.m_pSection;
    bool ok = false;
    if (section != nullptr && m_Receiver.m_pMemoryMap) {
        if (IsBootOnly(*section) && m_bBootHeld) {
            ok = true;  // the region already holds this boot loader
        } else {
            ok = ProgramSectionFromRam(*section);
            // Programming reported success; the flash must also hold it.
            if (ok && IsBootOnly(*section)) {
                uint32_t start = 0, end = 0;
                EraseRangeOf(*section, *m_Receiver.m_pMemoryMap, start, end);
                ok = ConfirmBootSection(*section, start, end);
            } else if (ok) {
                ok = CheckProgrammedFlash(*section);
            }
        }
    }
    if (ok) {
        Notify(HLN_PROGRAM_FLASH, STEP_OK);
        return true;
    }
    SetError(HLE_PROGRAM_FAILED);
    Notify(HLN_PROGRAM_FLASH, STEP_FAILED);
    return false;
}

bool CHERFLoaderImpl::ProgramSectionFromRam(const CFirmwareSection& section)
{
    if (section.flags & SECTION_COMPRESSED)
        return ProgramSection(section, HeaderWord(section, 4), m_Receiver.m_pMemoryMap->m_nRamBase);
    return ProgramSection(section, section.length,
                          m_Receiver.GetRamTop() + static_cast<uint32_t>(section.stagingOffset));
}

bool CHERFLoaderImpl::ProgramSection(const CFirmwareSection& section, uint32_t count, uint32_t ramBase)
{
    UpdateProgress(0);
    // With the read-back, programming is the first half of the phase.
    const double share = m_nFlashCheck == FLASH_CHECK_READ_BACK && Rule().bReadFlash ? 0.5 : 1.0;
    for (uint32_t i = 0; i < count; i += PROGRAM_PIECE) {
        const uint32_t n = std::min(PROGRAM_PIECE, count - i);
        if (TimedCommand(m_ProgramTimer, MON_CMD_PROGRAM_FLASH, COMMAND_WIRE_BYTES, ramBase + i, n, section.address + i,
                         nullptr, FLASH_ATTEMPTS) != LINK_OK)
            return false;
        UpdateProgress(i * share);
        if (count - i <= PROGRAM_PIECE)
            break;  // also keeps i from wrapping for counts near 4 GiB
    }
    UpdateProgress(count * share);
    return true;
}

}  // namespace CHERFLoaderLib
