// What the flash monitor's read-back (0x94) and sum check (0x97) are worth on
// this receiver, and the checks built on them: leaving blank sectors
// unerased, and confirming that the flash holds what was programmed. Which
// check a section gets on which monitor is the table in CheckLadder.h.
//
// A monitor might not read memory back at all, or only flash, or read RAM
// whatever the address, or accept a sum check without comparing. Before
// anything relies on its checks, the probe reads the boot loader's first
// bytes (never blank on a receiver that reached its boot loader), sums them
// on the host, and has the monitor accept that sum and refuse a wrong one.
// Only then are its reads and sums trusted; without that, every sector is
// erased and the flash is checked by the sums alone where they show, on a
// sector just erased, that they compare.
//
// A byte sum of n bytes equals 0xFF x n only if every byte is 0xFF (no sector
// here is large enough for the sum to wrap), so a sum check against that is
// a blank check. The sum does not see two changes that cancel out; the
// read-back compares the flash piece by piece by CRC-32 with the image the
// host expects, expanded on the host for a compressed section.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "engine/HERFLoaderImpl.h"
#include "package/ByteOrder.h"
#include "transfer/Crc32.h"
#include "transfer/StagedImage.h"

namespace CHERFLoaderLib {

namespace {
constexpr uint32_t PROBE_LENGTH = 256;
constexpr int PROBE_TIMEOUT_MS = 2000;
constexpr int BLANK_TIMEOUT_MS = 2000;
constexpr int CHECK_TIMEOUT_MS = 5000;
constexpr int REPAIRS = 3;
constexpr uint32_t PROGRAM_PIECE = 4096;

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

std::string Seconds(const char* what, double seconds)
{
    char text[48];
    std::snprintf(text, sizeof text, " (%s %.2f s)", what, seconds);
    return text;
}
}  // namespace

void CHERFLoaderImpl::ProbeMonitorChecks()
{
    if (m_Proof.bProbed)
        return;
    m_Proof = CMonitorProof();
    m_Proof.bProbed = true;
    const auto begin = std::chrono::steady_clock::now();
    std::string why = "it does not read flash back";
    // The boot loader's first bytes are never blank on a receiver that
    // reached its boot loader; a monitor left by an interrupted upgrade may
    // have erased them, and then the application's are tried.
    const CMemoryMap_Info* map = m_Receiver.m_pMemoryMap.get();
    const uint32_t places[] = {map ? map->m_nBootStart : 0, map ? map->m_nAppStart : 0};
    uint32_t place = 0, probed = 0;
    for (uint32_t address : places) {
        if (address == 0)
            continue;
        // The layout is learnt anew at each place: only an answer whose sum
        // the monitor confirms below may fix it. A monitor that answers
        // fewer bytes a read is asked for the least the reader takes.
        m_Reader.Forget();
        std::vector<uint8_t> bytes;
        CMemoryReader::ERead read = m_Reader.ReadPiece(address, PROBE_LENGTH, bytes);
        probed = PROBE_LENGTH;
        if (read == CMemoryReader::ERead::Refused) {
            probed = CMemoryReader::MIN_PIECE;
            read = m_Reader.ReadPiece(address, probed, bytes);
        }
        if (read != CMemoryReader::ERead::Read) {
            why = read == CMemoryReader::ERead::Refused ? "it refuses to read flash back"
                                                        : "it does not answer a read of flash";
            continue;
        }
        const uint32_t sum = ByteSum(bytes.data(), bytes.size());
        if (sum == 0xFF * probed || sum == 0) {
            why = "the flash reads as blank where the boot loader and the application begin";
            continue;
        }
        auto& monitor = m_Links.m_MonitorMgr;
        if (monitor.Command(MON_CMD_VERIFY, PROBE_TIMEOUT_MS, address, probed, sum, nullptr) != LINK_OK) {
            why = "it does not accept the right sum of flash it read";
        } else if (monitor.Command(MON_CMD_VERIFY, PROBE_TIMEOUT_MS, address, probed, sum + 1, nullptr) !=
                   LINK_FAILED) {
            why = "it does not refuse a wrong sum";
            m_Proof.eFlashSums = EShown::No;
        } else {
            why.clear();
            place = address;
        }
        break;
    }
    if (!why.empty()) {
        m_Reader.Forget();
        m_Proof.eFlashReads = EShown::No;
        const bool sums = m_Proof.eFlashSums != EShown::No;
        NotifyText(HLN_TEXT, std::string("Flash check: ") +
                                 (sums ? "the monitor does not read flash back (" + why +
                                             "): every sector is erased, and the flash is checked by its byte sum "
                                             "only, so it"
                                       : "the monitor's checks cannot be relied on (" + why +
                                             "): every sector is erased, and the flash") +
                                 " could not be verified on this receiver" + Seconds("probe", SecondsSince(begin)));
        return;
    }
    m_Reader.FixLayout();
    const uint32_t piece = m_Reader.LearnLargestRead(place, probed);
    m_Proof.eFlashReads = m_Proof.eFlashSums = EShown::Yes;
    char text[160];
    std::snprintf(text, sizeof text, "Flash check: the monitor reads and compares flash (reads of %u bytes; %s)",
                  piece, CMemoryReader::LayoutName(m_Reader.Layout()));
    NotifyText(HLN_TEXT, text + Seconds("probe", SecondsSince(begin)));
}

bool CHERFLoaderImpl::IsSectorBlank(uint32_t address, uint32_t size)
{
    ProbeMonitorChecks();
    if (!Rule().bSkipBlank || size == 0)
        return false;
    const uint32_t blankSum = 0xFFu * size;
    return m_Links.m_MonitorMgr.Command(MON_CMD_VERIFY, BLANK_TIMEOUT_MS, address, size, blankSum, nullptr) ==
           LINK_OK;
}

void CHERFLoaderImpl::ProveFlashSums(uint32_t address, uint32_t size)
{
    if (m_Proof.eFlashSums != EShown::Unknown || size == 0)
        return;
    const uint32_t blankSum = 0xFFu * size;
    const bool blank = FlashCommand(MON_CMD_VERIFY, BLANK_TIMEOUT_MS, address, size, blankSum) == LINK_OK;
    const bool refusesWrong = FlashCommand(MON_CMD_VERIFY, BLANK_TIMEOUT_MS, address, size, blankSum + 1) == LINK_FAILED;
    if (blank && refusesWrong) {
        m_Proof.eFlashSums = EShown::Yes;
        return;
    }
    m_Proof.eFlashSums = EShown::No;
    NotifyText(HLN_TEXT, std::string("Flash check: the monitor's sums over flash show nothing (") +
                             (blank ? "it accepts a wrong sum" : "it does not confirm a sector just erased") +
                             "): nothing shows what the flash holds");
}

void CHERFLoaderImpl::NoteCheckFellShort(const std::string& text)
{
    if (!m_bCheckFellShort)
        NotifyText(HLN_TEXT, text);
    m_bCheckFellShort = true;
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

// Where the sums were shown to compare, a refused sum is a difference;
// elsewhere a refusal shows nothing, and a sum that is accepted must also
// see a wrong one refused before it counts.
CHERFLoaderImpl::ESum CHERFLoaderImpl::SumCheck(uint32_t address, const std::vector<uint8_t>& image)
{
    const uint32_t length = static_cast<uint32_t>(image.size());
    const uint32_t sum = ByteSum(image.data(), image.size());
    const int result = FlashCommand(MON_CMD_VERIFY, CHECK_TIMEOUT_MS, address, length, sum);
    const bool shown = m_Proof.eFlashSums == EShown::Yes;
    if (result == LINK_FAILED)
        return shown ? ESum::Differs : ESum::Unknown;
    if (result != LINK_OK || m_Proof.eFlashSums == EShown::No)
        return ESum::Unknown;
    if (shown)
        return ESum::Match;
    if (FlashCommand(MON_CMD_VERIFY, CHECK_TIMEOUT_MS, address, length, sum + 1) != LINK_FAILED)
        return ESum::Unknown;
    m_Proof.eFlashSums = EShown::Yes;
    return ESum::Match;
}

bool CHERFLoaderImpl::CheckProgrammedFlash(const CFirmwareSection& section)
{
    const int32_t check = EffectiveFlashCheck();
    ProbeMonitorChecks();
    const CCheckRule& rule = Rule();
    if (check == FLASH_CHECK_NONE || !rule.bSumFlash)
        return true;
    const bool automatic = m_nFlashCheck == FLASH_CHECK_AUTO;
    // On a line that lost or damaged something, a sum that two damaged
    // bytes can cancel out proves nothing: the section is read back.
    if (automatic && check == FLASH_CHECK_READ_BACK && rule.bReadFlash)
        return ReadBackAndRepair(section);
    const auto begin = std::chrono::steady_clock::now();
    std::vector<uint8_t> image;
    if (!ImageToCheck(section, image))
        return false;
    if (image.empty())
        return true;
    if (check == FLASH_CHECK_READ_BACK && !rule.bReadFlash)
        NoteCheckFellShort("Flash check: the monitor does not read flash back, so the flash is checked by its byte "
                           "sum instead of read back");
    const ESum sum = SumCheck(section.address, image);
    if (sum == ESum::Differs && automatic && rule.bReadFlash) {
        NotifyText(HLN_TEXT, "Flash check: the sum at " + Hex(section.address) +
                                 " does not match; the section is read back and repaired where it differs");
        return ReadBackAndRepair(section);
    }
    if (sum == ESum::Differs) {
        SetError(HLE_PROGRAM_FAILED,
                 "the flash at " + Hex(section.address) + " does not hold what was sent (its byte sum differs)");
        return false;
    }
    if (sum == ESum::Unknown) {
        NoteCheckFellShort("Flash check: the flash at " + Hex(section.address) +
                           " could not be checked by its byte sum (the monitor's sum gave no answer that shows it)");
        return true;
    }
    std::string how = "byte sum";
    if (check == FLASH_CHECK_READ_BACK && rule.bReadFlash) {
        // The read-back is the second half of the phase.
        const double half = image.size() / 2.0;
        uint32_t where = 0;
        const ECompare read =
            m_Reader.Compare(section.address, image, where, [&](uint32_t done) { UpdateProgress(half + done / 2.0); });
        if (read == ECompare::Differs) {
            SetError(HLE_PROGRAM_FAILED,
                     "the flash at " + Hex(where) + " does not hold what was sent (read back, its CRC-32 differs)");
            return false;
        }
        if (read == ECompare::Match)
            how = "read back, CRC-32 " + Hex(Crc32(image.data(), image.size()));
        else
            NoteCheckFellShort("Flash check: the flash at " + Hex(where) +
                               " could not be read back, so it is checked by its byte sum instead");
    } else if (automatic && rule.bReadFlash) {
        m_SumOnly.push_back(&section);
    }
    char text[160];
    std::snprintf(text, sizeof text, "Flash confirmed: %u bytes at 0x%08X, %s matches (%.2f s)",
                  static_cast<unsigned>(image.size()), section.address, how.c_str(), SecondsSince(begin));
    NotifyText(HLN_TEXT, text);
    return true;
}

CHERFLoaderImpl::ECompare CHERFLoaderImpl::CompareMemory(uint32_t address, const std::vector<uint8_t>& expected,
                                                         uint32_t& where)
{
    return m_Reader.Compare(address, expected, where);
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
        const ECompare result = CompareMemory(section.address + offset, rest, where);
        if (result == ECompare::Match)
            break;
        if (result != ECompare::Differs) {
            // A read that failed shows no difference: the section falls to
            // the byte sum, which rewrites nothing unless it differs.
            NoteCheckFellShort("Flash check: the flash at " + Hex(where) +
                               " could not be read back, so it is checked by its byte sum instead");
            const ESum sum = SumCheck(section.address, image);
            if (sum == ESum::Differs) {
                SetError(HLE_PROGRAM_FAILED, "the flash at " + Hex(section.address) +
                                                 " does not hold what was sent (its byte sum differs)");
                return false;
            }
            return true;
        }
        if (repairs == REPAIRS || !RepairSector(section, image, where)) {
            SetError(HLE_PROGRAM_FAILED,
                     "the flash at " + Hex(where) + " does not hold what was sent (read back, its CRC-32 differs)");
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
                  SecondsSince(begin));
    NotifyText(HLN_TEXT, text);
    return true;
}

// The RAM copy a sector is programmed from must be right first: a later
// section's expansion may have used the same RAM. Where the monitor reads
// RAM it is read back and sent again only when it differs; elsewhere it is
// sent again (and expanded again) and its sum checked.
bool CHERFLoaderImpl::RestoreProgramSource(const CFirmwareSection& section, const std::vector<uint8_t>& wanted,
                                           uint32_t ram)
{
    uint32_t at = 0;
    const bool readable = Rule().bReadRam && m_Proof.eRamReads != EShown::No;
    if (readable) {
        const ECompare copy = CompareMemory(ram, wanted, at);
        if (copy == ECompare::Match)
            return true;
        if (copy == ECompare::Refused)
            m_Proof.eRamReads = EShown::No;
    }
    if (!UploadSectionAgain(section) || ((section.flags & SECTION_COMPRESSED) && !Expand(section)))
        return false;
    return !readable || m_Proof.eRamReads == EShown::No || CompareMemory(ram, wanted, at) == ECompare::Match;
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
    if (!RestoreProgramSource(section, wanted, ram))
        return false;
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
    if (m_nFlashCheck != FLASH_CHECK_AUTO || m_SumOnly.empty() || !LineHadTrouble() || !Rule().bReadFlash)
        return true;
    NotifyText(HLN_TEXT, "Flash check: the line lost or damaged data, so the sections checked by their sum are "
                         "read back");
    for (const CFirmwareSection* section : m_SumOnly)
        if (!ReadBackAndRepair(*section))
            return false;
    m_SumOnly.clear();
    return true;
}

}  // namespace CHERFLoaderLib
