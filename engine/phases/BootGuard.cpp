// The boot loader's protection. The boot loader is the one part of the
// firmware whose loss leaves a receiver that never starts again and that no
// later upgrade can reach, so its region is written only when it must be,
// from a copy checked as far as this receiver's monitor allows, and the
// monitor (the receiver's only lifeline while the region is incomplete) is
// not ended while the region's write was cut off or a check that worked
// shows it differs from the package.
//
// Which checks it gets follows the rung the probe found (CheckLadder.h): the
// RAM copy read back before the erase where the monitor reads RAM, the flash
// read back after programming where it reads flash, else the monitor's byte
// sum; a read that fails falls to the next check down and never counts as a
// difference. A difference that a working check shows is written again:
// from the RAM copy where that was read back right, else from a copy sent
// again.
#include <chrono>
#include <cstdio>

#include "engine/HERFLoaderImpl.h"
#include "transfer/Crc32.h"
#include "transfer/StagedImage.h"

namespace CHERFLoaderLib {

namespace {
constexpr int SOURCE_ATTEMPTS = 3;
constexpr int BOOT_WRITE_ATTEMPTS = 3;
constexpr uint32_t PIECE = 1024;  // one staged block

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

std::string Confirmed(const char* what, const std::vector<uint8_t>& image, uint32_t address, const char* how,
                      double seconds)
{
    char text[192];
    std::snprintf(text, sizeof text, "%s: %u bytes at 0x%08X, CRC-32 0x%08X (%s in %.2f s)", what,
                  static_cast<unsigned>(image.size()), address, Crc32(image.data(), image.size()), how, seconds);
    return text;
}
}  // namespace

CHERFLoaderImpl::EBootPlan CHERFLoaderImpl::PlanBootSection(const CFirmwareSection& section)
{
    ProbeMonitorChecks();
    const CCheckRule& rule = Rule();
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
        const char* how = nullptr;
        if (rule.bReadFlash && CompareMemory(section.address, image, where) == ECompare::Match)
            how = "read back";
        else if (!rule.bReadFlash && rule.bSumFlash && SumCheck(section.address, image) == ESum::Match)
            how = "its byte sum checked";
        if (how != nullptr) {
            m_bBootHeld = true;
            NotifyText(HLN_TEXT, Confirmed("Boot loader: the receiver already holds this one, not erased or written",
                                           image, section.address, how, SecondsSince(begin)));
            return EBootPlan::AlreadyHeld;
        }
    }
    if (rule.bReadRam) {
        std::string reason;
        if (!ProveProgramSource(section, reason)) {
            SetError(HLE_PREPARE_FAILED, reason);
            NotifyText(HLN_TEXT, "Boot loader: " + reason);
            return EBootPlan::Refused;
        }
    }
    // From the first erase until the new boot loader is programmed and
    // checked, the region holds no whole boot loader: the record says so
    // before the erase.
    m_eBootRegion = EBootRegion::Writing;
    NoteMonitorHeld(true);
    return EBootPlan::Write;
}

// The copy the boot section is programmed from: the staged section for a
// plain one, the expansion at the RAM base for a compressed one. A staged
// piece that reads wrong is sent again (the usual three attempts); a wrong
// expansion is redone from a section sent again. A monitor that refuses to
// read RAM leaves the copy as uploaded, its sum checked in RAM, and the flash
// is read back after programming instead.
bool CHERFLoaderImpl::ProveProgramSource(const CFirmwareSection& section, std::string& reason)
{
    const auto begin = std::chrono::steady_clock::now();
    std::vector<uint8_t> expected;
    if (!ProgrammedImage(section, expected)) {
        reason = "the boot image could not be rebuilt on the host; the boot loader was not touched";
        return false;
    }
    const bool compressed = (section.flags & SECTION_COMPRESSED) != 0;
    const uint32_t ram = ProgramSourceOf(section);
    const uint32_t total = static_cast<uint32_t>(expected.size());
    uint32_t resent = 0;
    for (uint32_t offset = 0; offset < total;) {
        const uint32_t n = compressed ? total - offset : std::min(PIECE, total - offset);
        const std::vector<uint8_t> piece(expected.begin() + offset, expected.begin() + offset + n);
        uint32_t where = 0;
        ECompare result = ECompare::Differs;
        for (int attempt = 0; attempt < SOURCE_ATTEMPTS; ++attempt) {
            result = CompareMemory(ram + offset, piece, where);
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
        if (result == ECompare::Refused || result == ECompare::Lost) {
            if (result == ECompare::Refused)
                m_Proof.eRamReads = EShown::No;
            NotifyText(HLN_TEXT, "Boot loader: the monitor " +
                                     std::string(result == ECompare::Refused ? "does not read RAM back"
                                                                             : "did not answer a read of RAM") +
                                     " (at " + Hex(where) +
                                     "), so its copy is written as uploaded, its sum checked in RAM, and its flash "
                                     "is read back after programming");
            return true;
        }
        if (result == ECompare::Differs) {
            reason = "its copy in the receiver's RAM still differs from the package at " + Hex(where) +
                     " after three attempts; the boot loader was not touched";
            return false;
        }
        offset += n;
    }
    m_Proof.eRamReads = EShown::Yes;
    std::string text = Confirmed("Boot loader: its copy in RAM matches the package", expected, ram, "read back",
                                 SecondsSince(begin));
    if (resent > 0)
        text += ", " + std::to_string(resent) + " piece(s) sent again";
    NotifyText(HLN_TEXT, text);
    return true;
}

bool CHERFLoaderImpl::ConfirmBootSection(const CFirmwareSection& section, uint32_t start, uint32_t end)
{
    std::vector<uint8_t> image;
    if (!ProgrammedImage(section, image)) {
        SetError(HLE_PROGRAM_FAILED, "the boot image could not be rebuilt on the host to check the flash");
        return false;
    }
    uint32_t where = section.address;
    const char* how = "read back";
    for (int attempt = 1;; ++attempt) {
        const auto begin = std::chrono::steady_clock::now();
        const CCheckRule& rule = Rule();
        ESum verdict = ESum::Unknown;
        bool sum = !rule.bReadFlash;
        if (rule.bReadFlash) {
            const ECompare read = CompareMemory(section.address, image, where);
            verdict = read == ECompare::Match ? ESum::Match : read == ECompare::Differs ? ESum::Differs : ESum::Unknown;
            if (verdict == ESum::Unknown) {
                NoteCheckFellShort("Boot loader: its flash could not be read back at " + Hex(where) +
                                   ", so it is checked by its byte sum");
                sum = true;
            }
        }
        if (sum) {
            how = "byte sum checked";
            where = section.address;
            verdict = rule.bSumFlash ? SumCheck(section.address, image) : ESum::Unknown;
        }
        if (verdict != ESum::Differs) {
            // Programmed whole; checked as far as the monitor allows.
            m_eBootRegion = EBootRegion::Written;
            NoteMonitorHeld(false);
            if (verdict == ESum::Match)
                NotifyText(HLN_TEXT, Confirmed("Boot loader confirmed", image, section.address, how,
                                               SecondsSince(begin)));
            else
                NoteCheckFellShort("Boot loader: written, but nothing on this receiver can show that its flash "
                                   "holds the package's");
            return true;
        }
        if (attempt == BOOT_WRITE_ATTEMPTS)
            break;
        NotifyText(HLN_TEXT, "Boot loader: the flash does not hold what was sent at " + Hex(where) + " (" + how +
                                 "), erasing and programming it again (" + std::to_string(attempt + 1) + " of " +
                                 std::to_string(BOOT_WRITE_ATTEMPTS) + ")");
        RewriteBootSection(section, start, end);
    }
    m_eBootRegion = EBootRegion::Differs;
    SetError(HLE_PROGRAM_FAILED, "the boot loader was not written correctly: its flash at " + Hex(where) +
                                     " does not hold the package's after " + std::to_string(BOOT_WRITE_ATTEMPTS) +
                                     " writes (" + how + ")");
    return false;
}

// Programmed again from a copy made right first: read back where the
// monitor reads RAM, else sent again with its sum checked in RAM.
bool CHERFLoaderImpl::RewriteBootSection(const CFirmwareSection& section, uint32_t start, uint32_t end)
{
    std::vector<uint8_t> image;
    return ProgrammedImage(section, image) && RestoreProgramSource(section, image, ProgramSourceOf(section)) &&
           EraseRange(start, end, false) && ProgramSectionFromRam(section);
}

std::string CHERFLoaderImpl::MonitorKeptText() const
{
    if (m_eBootRegion == EBootRegion::Unknown)
        return "The receiver is left in its flash monitor as it was found: this run could not tell whether its boot "
               "loader is whole";
    if (m_eBootRegion == EBootRegion::Differs)
        return "The receiver is kept in its flash monitor: its boot loader does not hold the package's after " +
               std::to_string(BOOT_WRITE_ATTEMPTS) +
               " writes, so ending the monitor would leave a receiver that cannot start. Keep it powered and run "
               "the upgrade again: the next run writes the boot loader again through the monitor, from a copy sent "
               "afresh. Should that fail the same way, running it again will not help: the receiver's flash does "
               "not take the boot loader, and the receiver needs service while it stays powered";
    return "The receiver is kept in its flash monitor: writing its boot loader was cut off, so it holds no whole "
           "boot loader. Keep it powered and run the upgrade again: the next run finds the monitor and finishes "
           "writing the boot loader through it";
}

}  // namespace CHERFLoaderLib
