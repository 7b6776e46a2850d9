// Phases 4 to 6: have the monitor expand a compressed section in RAM, erase
// the flash sectors of the section's region and program the flash from RAM.
#include <algorithm>
#include <cstdio>

#include "engine/HERFLoaderImpl.h"
#include "package/ByteOrder.h"

namespace CHERFLoaderLib {

namespace {
constexpr int FLASH_COMMAND_TIMEOUT_MS = 5000;
constexpr uint32_t PROGRAM_PIECE = 4096;

uint32_t HeaderWord(const CFirmwareSection& section, size_t offset)
{
    if (!section.data || section.length < offset + 4)
        return 0;
    return GetLe32(section.data.get() + offset);
}
}  // namespace

bool CHERFLoaderImpl::RunExpandData(CFlashPhase& phase)
{
    Notify(HLN_EXPAND, STEP_BEGIN);
    UpdateProgress(0);
    const CFirmwareSection* section = phase.m_pSection;
    int result = LINK_FAILED;
    if (section != nullptr && m_Receiver.m_pMemoryMap)
        result = m_Links.m_MonitorMgr.Command(MON_CMD_EXPAND, FLASH_COMMAND_TIMEOUT_MS,
                                              m_Receiver.GetRamTop() + static_cast<uint32_t>(section->stagingOffset),
                                              HeaderWord(*section, 0), m_Receiver.m_pMemoryMap->m_nRamBase, nullptr);
    if (result == LINK_OK) {
        UpdateProgress(1);
        Notify(HLN_EXPAND, STEP_OK);
        return true;
    }
    SetError(HLE_EXPAND_FAILED);
    Notify(HLN_EXPAND, STEP_FAILED);
    return false;
}

bool CHERFLoaderImpl::RunPrepareFlash(CFlashPhase& phase)
{
    Notify(HLN_PREPARE_FLASH, STEP_BEGIN);
    const CFirmwareSection* section = phase.m_pSection;
    uint32_t start = 0, end = 0;
    if (section != nullptr && m_Receiver.m_pMemoryMap) {
        if (section->flags & SECTION_APP) {
            start = m_Receiver.m_pMemoryMap->m_nAppStart;
            end = m_Receiver.m_pMemoryMap->m_nUpperStart + m_Receiver.m_pMemoryMap->m_nUpperSize;
        } else if (section->flags & SECTION_BOOT) {
            start = m_Receiver.m_pMemoryMap->m_nBootStart;
            end = m_Receiver.m_pMemoryMap->m_nBootStart + m_Receiver.m_pMemoryMap->m_nBootSize;
        }
    }
    bool ok = start != 0 && end > start && m_Receiver.m_pFlashDevice;
    if (ok) {
        UpdateProgress(0);
        const int32_t first = m_Receiver.m_pFlashDevice->FindSector(start);
        const uint32_t count = m_Receiver.m_pFlashDevice->GetSectorSpan(start, end);
        uint32_t blank = 0;
        for (uint32_t k = 0; ok && k < count; ++k) {
            const uint32_t index = static_cast<uint32_t>(first) + k;
            const uint32_t address = m_Receiver.m_pFlashDevice->GetSectorAddress(index);
            // A sector the monitor shows to be all 0xFF needs no erase; any
            // doubt (refusal, time-out, a damaged answer) means erase.
            if (IsSectorBlank(address, m_Receiver.m_pFlashDevice->GetSectorSize(index)))
                ++blank;
            else
                ok = m_Links.m_MonitorMgr.Command(MON_CMD_PREPARE_FLASH, FLASH_COMMAND_TIMEOUT_MS, address, 0, 0,
                                                  nullptr) == LINK_OK;
            if (ok)
                UpdateProgress((address - start) * 100.0 / (end - start));
        }
        if (ok && m_eProbe == EProbe::Trusted) {
            char text[96];
            std::snprintf(text, sizeof text, "Erase: %u of %u sectors already blank, not erased", blank, count);
            NotifyText(HLN_TEXT, text);
        }
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
        if (section->flags & SECTION_COMPRESSED)
            ok = ProgramSection(*section, HeaderWord(*section, 4), m_Receiver.m_pMemoryMap->m_nRamBase);
        else
            ok = ProgramSection(*section, section->length,
                                m_Receiver.GetRamTop() + static_cast<uint32_t>(section->stagingOffset));
        // Programming reported success; the flash must also hold it.
        if (ok)
            ok = CheckProgrammedFlash(*section);
    }
    if (ok) {
        Notify(HLN_PROGRAM_FLASH, STEP_OK);
        return true;
    }
    SetError(HLE_PROGRAM_FAILED);
    Notify(HLN_PROGRAM_FLASH, STEP_FAILED);
    return false;
}

bool CHERFLoaderImpl::ProgramSection(const CFirmwareSection& section, uint32_t count, uint32_t ramBase)
{
    UpdateProgress(0);
    // With the read-back, programming is the first half of the phase.
    const double share = m_nFlashCheck == FLASH_CHECK_READ_BACK && m_eProbe == EProbe::Trusted ? 0.5 : 1.0;
    for (uint32_t i = 0; i < count; i += PROGRAM_PIECE) {
        const uint32_t n = std::min(PROGRAM_PIECE, count - i);
        if (m_Links.m_MonitorMgr.Command(MON_CMD_PROGRAM_FLASH, FLASH_COMMAND_TIMEOUT_MS, ramBase + i, n,
                                         section.address + i, nullptr) != LINK_OK)
            return false;
        UpdateProgress(i * share);
        if (count - i <= PROGRAM_PIECE)
            break;  // also keeps i from wrapping for counts near 4 GiB
    }
    UpdateProgress(count * share);
    return true;
}

}  // namespace CHERFLoaderLib
