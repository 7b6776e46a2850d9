// What the flash monitor's read-back (0x94) and verify (0x97) are worth on
// this receiver, and the checks built on them: leaving blank sectors
// unerased, and confirming that the flash holds what was programmed.
//
// A monitor might not read flash (it refuses flash addresses, or reads RAM
// whatever the address), or might accept a verify without comparing. Before
// anything relies on its checks, the probe reads the boot loader's first
// bytes (never blank on a receiver that reached its boot loader), sums them
// on the host, and has the monitor accept that sum and refuse a wrong one.
// Any other outcome, a time-out included, leaves the run exactly as without
// the checks: every sector erased, and one text line saying the flash could
// not be checked.
//
// A byte sum of n bytes equals 0xFF x n only if every byte is 0xFF (no sector
// here is large enough for the sum to wrap), so a verify against that sum is
// a blank check. The sum does not see two changes that cancel out; the
// read-back compares the flash piece by piece by CRC-32 with the image the
// host expects, expanded on the host for a compressed section.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "engine/HERFLoaderImpl.h"
#include "package/ByteOrder.h"
#include "transfer/Crc32.h"
#include "transfer/Expander.h"
#include "transfer/StagedImage.h"

namespace CHERFLoaderLib {

namespace {
constexpr uint32_t PROBE_LENGTH = 256;
constexpr int PROBE_TIMEOUT_MS = 2000;
constexpr uint32_t READ_WIRE_BYTES = 13 + 7 + 8 + 7;  // the command, and the answer's header and framing
constexpr int READ_ATTEMPTS = 3;
constexpr uint32_t READ_PIECE = 1024;     // the most one read-back answer carries
constexpr int BLANK_TIMEOUT_MS = 2000;
constexpr int CHECK_TIMEOUT_MS = 5000;
constexpr int REPAIRS = 3;
constexpr uint32_t PROGRAM_PIECE = 4096;
constexpr uint8_t READ_REPLY_ID = 0xA4;
constexpr size_t READ_REPLY_HEADER_16 = 7;  // address, length (16 bits), status
constexpr size_t READ_REPLY_HEADER_32 = 8;  // address, length (32 bits)

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace

// The read-back reply carries the address and then either a 16-bit length
// and a status byte (1) or a 32-bit length before the bytes; monitors differ.
// The reply's size tells the two apart. Until the probe has learned the
// layout either is taken; from then on only that one.
bool CHERFLoaderImpl::ReadMemory(uint32_t address, uint32_t length, std::vector<uint8_t>& bytes)
{
    for (int attempt = 0; attempt < READ_ATTEMPTS; ++attempt) {
        CPacket reply;
        if (attempt > 0)
            NoteLineTrouble();
        if (TimedCommand(m_ReadTimer, MON_CMD_READ_DATA, READ_WIRE_BYTES + length, address, length, 0, &reply, 1) !=
            LINK_OK)
            continue;
        const uint8_t* p = reply.m_Data.data();
        const size_t size = reply.m_Data.size();
        if (reply.m_nId != READ_REPLY_ID || size < READ_REPLY_HEADER_32 || GetLe32(p) != address)
            continue;
        const bool status16 = size == READ_REPLY_HEADER_16 + length && GetLe16(p + 4) == length && p[6] == 1;
        const bool length32 = size == READ_REPLY_HEADER_32 + length && GetLe32(p + 4) == length;
        EReadLayout layout = status16 ? EReadLayout::Status16 : length32 ? EReadLayout::Length32 : EReadLayout::Unknown;
        if (layout == EReadLayout::Unknown || (m_eReadLayout != EReadLayout::Unknown && layout != m_eReadLayout))
            continue;
        if (m_eReadLayout == EReadLayout::Unknown)
            m_eReadLayout = layout;
        const size_t header = layout == EReadLayout::Status16 ? READ_REPLY_HEADER_16 : READ_REPLY_HEADER_32;
        bytes.assign(p + header, p + header + length);
        return true;
    }
    return false;
}

bool CHERFLoaderImpl::ProbeMonitorChecks()
{
    if (m_eProbe != EProbe::NotRun)
        return m_eProbe == EProbe::Trusted;
    m_eProbe = EProbe::Failed;
    const auto begin = std::chrono::steady_clock::now();
    std::string why = "it does not read flash back";
    // The boot loader's first bytes are never blank on a receiver that
    // reached its boot loader; a monitor left by an interrupted upgrade may
    // have erased them, and then the application's are tried.
    const CMemoryMap_Info* map = m_Receiver.m_pMemoryMap.get();
    const uint32_t places[] = {map ? map->m_nBootStart : 0, map ? map->m_nAppStart : 0};
    for (uint32_t address : places) {
        std::vector<uint8_t> bytes;
        // The layout is learned anew at each place: only a reply whose sum
        // the monitor confirms below may fix it.
        m_eReadLayout = EReadLayout::Unknown;
        if (address == 0 || !ReadMemory(address, PROBE_LENGTH, bytes)) {
            why = "it does not read flash back";
            continue;
        }
        const uint32_t sum = ByteSum(bytes.data(), bytes.size());
        if (sum == 0xFF * PROBE_LENGTH || sum == 0) {
            why = "the flash reads as blank where the boot loader and the application begin";
            continue;
        }
        if (m_Links.m_MonitorMgr.Command(MON_CMD_VERIFY, PROBE_TIMEOUT_MS, address, PROBE_LENGTH, sum, nullptr) !=
            LINK_OK)
            why = "it does not accept the right sum of flash it read";
        else if (m_Links.m_MonitorMgr.Command(MON_CMD_VERIFY, PROBE_TIMEOUT_MS, address, PROBE_LENGTH, sum + 1,
                                              nullptr) != LINK_FAILED)
            why = "it does not refuse a wrong sum";
        else
            why.clear();
        break;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    char cost[32];
    std::snprintf(cost, sizeof cost, " (probe %.2f s)", seconds);
    if (!why.empty()) {
        m_eReadLayout = EReadLayout::Unknown;
        NotifyText(HLN_TEXT, "Flash check: the monitor's checks cannot be relied on (" + why +
                                 "): every sector is erased, and the flash (the boot loader's too) could not be checked on this receiver" +
                                 cost);
        return false;
    }
    m_eProbe = EProbe::Trusted;
    NotifyText(HLN_TEXT, std::string("Flash check: the monitor reads and compares flash") + cost);
    return true;
}

bool CHERFLoaderImpl::IsSectorBlank(uint32_t address, uint32_t size)
{
    if (!ProbeMonitorChecks() || size == 0)
        return false;
    const uint32_t blankSum = 0xFFu * size;
    return m_Links.m_MonitorMgr.Command(MON_CMD_VERIFY, BLANK_TIMEOUT_MS, address, size, blankSum, nullptr) ==
           LINK_OK;
}

bool CHERFLoaderImpl::ImageToCheck(const CFirmwareSection& section, std::vector<uint8_t>& image)
{
    if (ProgrammedImage(section, image))
        return true;
    SetError(HLE_PROGRAM_FAILED,
             "the image programmed at " + Hex(section.address) + " could not be rebuilt on the host to check the flash");
    return false;
}

int32_t CHERFLoaderImpl::EffectiveFlashCheck() const
{
    if (m_nFlashCheck != FLASH_CHECK_AUTO)
        return m_nFlashCheck;
    return LineHadTrouble() ? FLASH_CHECK_READ_BACK : FLASH_CHECK_SUM;
}

bool CHERFLoaderImpl::LineHadTrouble() const
{
    return m_bLineTrouble || m_Links.m_MonitorMgr.LineFaults() > 0 || m_Links.m_SecondaryMonitorMgr.LineFaults() > 0;
}

bool CHERFLoaderImpl::CheckProgrammedFlash(const CFirmwareSection& section)
{
    const int32_t check = EffectiveFlashCheck();
    if (check == FLASH_CHECK_NONE || !ProbeMonitorChecks())
        return true;
    const bool automatic = m_nFlashCheck == FLASH_CHECK_AUTO;
    // On a line that lost or damaged something, a sum that two damaged
    // bytes can cancel out proves nothing: the section is read back.
    if (automatic && check == FLASH_CHECK_READ_BACK)
        return ReadBackAndRepair(section);
    const auto begin = std::chrono::steady_clock::now();
    std::vector<uint8_t> image;
    if (!ImageToCheck(section, image))
        return false;
    if (image.empty())
        return true;
    const uint32_t length = static_cast<uint32_t>(image.size());
    const int result = FlashCommand(MON_CMD_VERIFY, CHECK_TIMEOUT_MS, section.address, length,
                                    ByteSum(image.data(), image.size()));
    if (result != LINK_OK && automatic) {
        NotifyText(HLN_TEXT, "Flash check: the sum at " + Hex(section.address) +
                                 " does not match; the section is read back and repaired where it differs");
        return ReadBackAndRepair(section);
    }
    if (result != LINK_OK) {
        SetError(HLE_PROGRAM_FAILED,
                 result == LINK_FAILED
                     ? "the flash at " + Hex(section.address) + " does not hold what was sent (its byte sum differs)"
                     : "the flash at " + Hex(section.address) + " could not be checked: the monitor did not answer");
        return false;
    }
    std::string how = "byte sum";
    if (check == FLASH_CHECK_READ_BACK) {
        if (!ReadBackFlash(section.address, image))
            return false;
        how = "read back, CRC-32 " + Hex(Crc32(image.data(), image.size()));
    } else if (automatic) {
        m_SumOnly.push_back(&section);
    }
    char text[160];
    std::snprintf(text, sizeof text, "Flash confirmed: %u bytes at 0x%08X, %s matches (%.2f s)", length,
                  section.address, how.c_str(),
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    NotifyText(HLN_TEXT, text);
    return true;
}

uint32_t CHERFLoaderImpl::ProgramSourceOf(const CFirmwareSection& section) const
{
    if (section.flags & SECTION_COMPRESSED)
        return m_Receiver.m_pMemoryMap->m_nRamBase;
    return m_Receiver.GetRamTop() + static_cast<uint32_t>(section.stagingOffset);
}

bool CHERFLoaderImpl::ReadBackAndRepair(const CFirmwareSection& section)
{
    const auto begin = std::chrono::steady_clock::now();
    std::vector<uint8_t> image;
    if (!ImageToCheck(section, image))
        return false;
    uint32_t offset = 0, repairs = 0;
    while (offset < image.size()) {
        const std::vector<uint8_t> rest(image.begin() + offset, image.end());
        uint32_t where = 0;
        const ECompare result = CompareMemory(section.address + offset, rest, where, 0, 0);
        if (result == ECompare::Match)
            break;
        if (repairs == REPAIRS || !RepairSector(section, image, where)) {
            SetError(HLE_PROGRAM_FAILED,
                     "the flash at " + Hex(where) +
                         (result == ECompare::Differs ? " does not hold what was sent (read back, its CRC-32 differs)"
                                                      : " could not be read back"));
            return false;
        }
        ++repairs;
        // The repaired sector is read again from its start.
        const int32_t sector = m_Receiver.m_pFlashDevice->FindSector(where);
        const uint32_t start = m_Receiver.m_pFlashDevice->GetSectorAddress(static_cast<uint32_t>(sector));
        offset = start > section.address ? start - section.address : 0;
    }
    char text[160];
    std::snprintf(text, sizeof text, "Flash confirmed: %u bytes at 0x%08X, read back, CRC-32 0x%08X matches%s (%.2f s)",
                  static_cast<unsigned>(image.size()), section.address, Crc32(image.data(), image.size()),
                  repairs > 0 ? (", " + std::to_string(repairs) + " sector(s) repaired").c_str() : "",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    NotifyText(HLN_TEXT, text);
    return true;
}

bool CHERFLoaderImpl::RepairSector(const CFirmwareSection& section, const std::vector<uint8_t>& image,
                                   uint32_t where)
{
    const int32_t index = m_Receiver.m_pFlashDevice->FindSector(where);
    if (index < 0)
        return false;
    const uint32_t sectorStart = m_Receiver.m_pFlashDevice->GetSectorAddress(static_cast<uint32_t>(index));
    const uint32_t sectorEnd = sectorStart + m_Receiver.m_pFlashDevice->GetSectorSize(static_cast<uint32_t>(index));
    const uint32_t end = section.address + static_cast<uint32_t>(image.size());
    const uint32_t lo = std::max(sectorStart, section.address), hi = std::min(sectorEnd, end);
    const uint32_t ram = ProgramSourceOf(section) + (lo - section.address);
    const std::vector<uint8_t> wanted(image.begin() + (lo - section.address), image.begin() + (hi - section.address));
    NotifyText(HLN_TEXT, "Flash check: the flash differs at " + Hex(where) + "; the sector at " + Hex(sectorStart) +
                             " is erased and programmed again");
    // The RAM copy the sector is programmed from must be right first: a
    // later section's expansion may have used the same RAM.
    uint32_t at = 0;
    if (CompareMemory(ram, wanted, at, 0, 0) != ECompare::Match) {
        if (!UploadSectionAgain(section) || ((section.flags & SECTION_COMPRESSED) && !Expand(section)) ||
            CompareMemory(ram, wanted, at, 0, 0) != ECompare::Match)
            return false;
    }
    if (FlashCommand(MON_CMD_PREPARE_FLASH, CHECK_TIMEOUT_MS, sectorStart, 0, 0) != LINK_OK)
        return false;
    for (uint32_t p = lo; p < hi; p += PROGRAM_PIECE)
        if (FlashCommand(MON_CMD_PROGRAM_FLASH, CHECK_TIMEOUT_MS, ram + (p - lo), std::min(PROGRAM_PIECE, hi - p), p) !=
            LINK_OK)
            return false;
    return true;
}

bool CHERFLoaderImpl::ConfirmAfterLineTrouble()
{
    if (m_nFlashCheck != FLASH_CHECK_AUTO || m_SumOnly.empty() || !LineHadTrouble())
        return true;
    NotifyText(HLN_TEXT, "Flash check: the line lost or damaged data, so the sections checked by their sum are "
                         "read back");
    for (const CFirmwareSection* section : m_SumOnly)
        if (!ReadBackAndRepair(*section))
            return false;
    m_SumOnly.clear();
    return true;
}

// Piece by piece: a piece whose answer was damaged on the line is read
// again; one that reads wrong every time is what the memory holds.
CHERFLoaderImpl::ECompare CHERFLoaderImpl::CompareMemory(uint32_t address, const std::vector<uint8_t>& expected,
                                                         uint32_t& where, double progressBase, double progressShare)
{
    const uint32_t total = static_cast<uint32_t>(expected.size());
    for (uint32_t offset = 0; offset < total; offset += READ_PIECE) {
        const uint32_t n = std::min(READ_PIECE, total - offset);
        const uint32_t want = Crc32(expected.data() + offset, n);
        bool answered = false, match = false;
        for (int attempt = 0; attempt < READ_ATTEMPTS && !match; ++attempt) {
            std::vector<uint8_t> piece;
            if (!ReadMemory(address + offset, n, piece))
                continue;
            answered = true;
            match = Crc32(piece.data(), piece.size()) == want;
        }
        if (!match) {
            where = address + offset;
            return answered ? ECompare::Differs : ECompare::Unreadable;
        }
        if (progressShare > 0)
            UpdateProgress(progressBase + (offset + n) * progressShare);
    }
    return ECompare::Match;
}

bool CHERFLoaderImpl::ReadBackFlash(uint32_t address, const std::vector<uint8_t>& expected)
{
    uint32_t where = 0;
    switch (CompareMemory(address, expected, where, expected.size() / 2.0, 0.5)) {
    case ECompare::Match: return true;
    case ECompare::Differs:
        SetError(HLE_PROGRAM_FAILED,
                 "the flash at " + Hex(where) + " does not hold what was sent (read back, its CRC-32 differs)");
        return false;
    default:
        SetError(HLE_PROGRAM_FAILED, "the flash at " + Hex(where) + " could not be read back");
        return false;
    }
}

}  // namespace CHERFLoaderLib
