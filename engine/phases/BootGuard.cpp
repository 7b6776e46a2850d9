// The boot loader's protection. The boot loader is the one part of the
// firmware whose loss leaves a receiver that never starts again and that no
// later upgrade can reach, so its region is written only from a copy proven
// right, only when it must be, and the monitor (the receiver's only lifeline
// while the region is incomplete) is not ended until the region holds the
// new boot loader, read back and compared.
//
// Every check here reads memory back through the monitor (0x94) and compares
// it by CRC-32, which sees changes that cancel out in a byte sum. It runs only
// where the probe showed that the monitor's read-back can be trusted;
// elsewhere the run says once that the boot loader could not be checked.
#include <chrono>
#include <cstdio>

#include "engine/HERFLoaderImpl.h"
#include "transfer/Crc32.h"
#include "transfer/StagedImage.h"

namespace CHERFLoaderLib {

namespace {
constexpr int SOURCE_ATTEMPTS = 3;
constexpr int BOOT_WRITE_ATTEMPTS = 3;
constexpr uint32_t PIECE = 1024;  // a read-back answer's most, and one staged block

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

double SecondsSince(std::chrono::steady_clock::time_point begin)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

std::string Confirmed(const char* what, const std::vector<uint8_t>& image, uint32_t address, double seconds)
{
    char text[160];
    std::snprintf(text, sizeof text, "%s: %u bytes at 0x%08X, CRC-32 0x%08X (read back in %.2f s)", what,
                  static_cast<unsigned>(image.size()), address, Crc32(image.data(), image.size()), seconds);
    return text;
}
}  // namespace

CHERFLoaderImpl::EBootPlan CHERFLoaderImpl::PlanBootSection(const CFirmwareSection& section)
{
    if (!ProbeMonitorChecks()) {
        // The probe has said that nothing can be checked on this receiver.
        m_eBootRegion = EBootRegion::Incomplete;
        NoteMonitorHeld(true);
        return EBootPlan::Write;
    }
    std::vector<uint8_t> image;
    if (!ProgrammedImage(section, image)) {
        SetError(HLE_PREPARE_FAILED, "the boot image could not be rebuilt on the host; the boot loader was not touched");
        return EBootPlan::Refused;
    }
    // A receiver whose boot loader already is this one is not written: a
    // receiver that is not written cannot be bricked.
    if (m_Receiver.m_wOldBootVersion == m_Receiver.m_wNewBootVersion && !m_bFinishThroughMonitor) {
        const auto begin = std::chrono::steady_clock::now();
        uint32_t where = 0;
        if (CompareMemory(section.address, image, where, 0, 0) == ECompare::Match) {
            m_bBootHeld = true;
            NotifyText(HLN_TEXT, Confirmed("Boot loader: the receiver already holds this one, not erased or written",
                                           image, section.address, SecondsSince(begin)));
            return EBootPlan::AlreadyHeld;
        }
    }
    std::string reason;
    if (!ProveProgramSource(section, reason)) {
        SetError(HLE_PREPARE_FAILED, reason);
        NotifyText(HLN_TEXT, "Boot loader: " + reason);
        return EBootPlan::Refused;
    }
    // From the first erase until the new boot loader is confirmed, the
    // region holds no whole boot loader: the record says so before the erase.
    m_eBootRegion = EBootRegion::Incomplete;
    NoteMonitorHeld(true);
    return EBootPlan::Write;
}

// The copy the boot section is programmed from: the staged section for a
// plain one, the expansion at the RAM base for a compressed one. A staged
// piece that reads wrong is sent again (the usual three attempts); a wrong
// expansion is redone from a section sent again. A copy that cannot be read
// at all is said once and taken as it is, as without the check.
bool CHERFLoaderImpl::ProveProgramSource(const CFirmwareSection& section, std::string& reason)
{
    const auto begin = std::chrono::steady_clock::now();
    std::vector<uint8_t> expected;
    if (!ProgrammedImage(section, expected)) {
        reason = "the boot image could not be rebuilt on the host; the boot loader was not touched";
        return false;
    }
    const bool compressed = (section.flags & SECTION_COMPRESSED) != 0;
    const uint32_t ram = compressed ? m_Receiver.m_pMemoryMap->m_nRamBase
                                    : m_Receiver.GetRamTop() + static_cast<uint32_t>(section.stagingOffset);
    const uint32_t total = static_cast<uint32_t>(expected.size());
    uint32_t resent = 0;
    for (uint32_t offset = 0; offset < total;) {
        const uint32_t n = compressed ? total - offset : std::min(PIECE, total - offset);
        const std::vector<uint8_t> piece(expected.begin() + offset, expected.begin() + offset + n);
        uint32_t where = 0;
        ECompare result = ECompare::Differs;
        for (int attempt = 0; attempt < SOURCE_ATTEMPTS; ++attempt) {
            result = CompareMemory(ram + offset, piece, where, 0, 0);
            if (result != ECompare::Differs || attempt + 1 == SOURCE_ATTEMPTS)
                break;
            ++resent;
            NotifyText(HLN_TEXT, "Boot loader: its copy in RAM differs from the package at " + Hex(where) +
                                     ", sending it again");
            if (compressed) {
                if (UploadSectionAgain(section))
                    Expand(section);
                continue;
            }
            for (int i = 0; i < m_ImageData.GetCount(); ++i) {
                const CDataBufferItem* block = m_ImageData.GetItem(i);
                if (block->m_nRamOffset == section.stagingOffset + static_cast<int32_t>(offset))
                    SendBlockAgain(*block);
            }
        }
        if (result == ECompare::Unreadable) {
            NotifyText(HLN_TEXT, "Boot loader: its copy in RAM could not be read back at " + Hex(where) +
                                     ", so it is not checked");
            return true;
        }
        if (result == ECompare::Differs) {
            reason = "its copy in the receiver's RAM still differs from the package at " + Hex(where) +
                     " after three attempts; the boot loader was not touched";
            return false;
        }
        offset += n;
    }
    std::string text = Confirmed("Boot loader: its copy in RAM matches the package", expected, ram, SecondsSince(begin));
    if (resent > 0)
        text += ", " + std::to_string(resent) + " piece(s) sent again";
    NotifyText(HLN_TEXT, text);
    return true;
}

bool CHERFLoaderImpl::ConfirmBootSection(const CFirmwareSection& section, uint32_t start, uint32_t end)
{
    if (m_eProbe != EProbe::Trusted) {
        // Written as asked, but nothing can show whether it took.
        m_eBootRegion = EBootRegion::Written;
        NoteMonitorHeld(false);
        return CheckProgrammedFlash(section);
    }
    std::vector<uint8_t> image;
    if (!ProgrammedImage(section, image)) {
        SetError(HLE_PROGRAM_FAILED, "the boot image could not be rebuilt on the host to check the flash");
        return false;
    }
    uint32_t where = 0;
    for (int attempt = 1;; ++attempt) {
        const auto begin = std::chrono::steady_clock::now();
        const ECompare result = CompareMemory(section.address, image, where, 0, 0);
        if (result == ECompare::Match) {
            m_eBootRegion = EBootRegion::Written;
            NoteMonitorHeld(false);
            NotifyText(HLN_TEXT, Confirmed("Boot loader confirmed", image, section.address, SecondsSince(begin)));
            return true;
        }
        if (attempt == BOOT_WRITE_ATTEMPTS)
            break;
        // Erased and programmed again from the copy in RAM, which was proven
        // right before the first erase.
        NotifyText(HLN_TEXT, std::string("Boot loader: the flash ") +
                                 (result == ECompare::Differs ? "does not hold what was sent" : "could not be read back") +
                                 " at " + Hex(where) + ", erasing and programming it again (" +
                                 std::to_string(attempt + 1) + " of " + std::to_string(BOOT_WRITE_ATTEMPTS) + ")");
        if (!EraseRange(start, end, false) || !ProgramSectionFromRam(section))
            continue;
    }
    SetError(HLE_PROGRAM_FAILED, "the boot loader was not written correctly (its flash at " + Hex(where) +
                                     " does not hold the package's): keep the receiver powered and run the "
                                     "upgrade again");
    return false;
}

}  // namespace CHERFLoaderLib
