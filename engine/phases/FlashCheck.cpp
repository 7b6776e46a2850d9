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
#include <chrono>
#include <cstdio>

#include "engine/HERFLoaderImpl.h"
#include "package/ByteOrder.h"
#include "transfer/Crc32.h"
#include "transfer/Expander.h"

namespace CHERFLoaderLib {

namespace {
constexpr uint32_t PROBE_LENGTH = 256;
constexpr int PROBE_TIMEOUT_MS = 2000;
constexpr int READ_TIMEOUT_MS = 1000;
constexpr int READ_ATTEMPTS = 3;
constexpr uint32_t READ_PIECE = 1024;     // the most one read-back answer carries
constexpr int BLANK_TIMEOUT_MS = 2000;
constexpr int CHECK_TIMEOUT_MS = 5000;
constexpr int CHECK_ATTEMPTS = 3;
constexpr uint8_t READ_REPLY_ID = 0xA4;
constexpr uint32_t READ_REPLY_HEADER = 7;  // address, length (16 bits), status

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The bytes "Program flash" wrote for a section: its data, or for a
// compressed section its expansion to the length its prefix gives.
bool ExpectedImage(const CFirmwareSection& section, std::vector<uint8_t>& image)
{
    if (!section.data)
        return false;
    if (!(section.flags & SECTION_COMPRESSED)) {
        image.assign(section.data.get(), section.data.get() + section.length);
        return true;
    }
    CCompressedPrefix prefix;
    if (!ReadCompressedPrefix(section.data.get(), section.length, prefix))
        return false;
    image.assign(prefix.expandedLength, 0);
    const uint32_t produced = ExpandBuffer(section.data.get() + COMPRESSED_PREFIX_SIZE, prefix.streamLength,
                                           image.data(), prefix.expandedLength);
    return produced == prefix.expandedLength;
}
}  // namespace

bool CHERFLoaderImpl::ReadFlash(uint32_t address, uint32_t length, std::vector<uint8_t>& bytes)
{
    for (int attempt = 0; attempt < READ_ATTEMPTS; ++attempt) {
        CPacket reply;
        if (m_Links.m_MonitorMgr.Command(MON_CMD_READ_DATA, READ_TIMEOUT_MS, address, length, 0, &reply) != LINK_OK)
            continue;
        const uint8_t* p = reply.m_Data.data();
        if (reply.m_nId != READ_REPLY_ID || reply.m_Data.size() != READ_REPLY_HEADER + length ||
            GetLe32(p) != address || GetLe16(p + 4) != length || p[6] != 1)
            continue;
        bytes.assign(p + READ_REPLY_HEADER, p + READ_REPLY_HEADER + length);
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
    const uint32_t address = m_Receiver.m_pMemoryMap ? m_Receiver.m_pMemoryMap->m_nBootStart : 0;
    std::vector<uint8_t> bytes;
    std::string why;
    if (address == 0 || !ReadFlash(address, PROBE_LENGTH, bytes)) {
        why = "it does not read flash back";
    } else {
        const uint32_t sum = ByteSum(bytes.data(), bytes.size());
        if (sum == 0xFF * PROBE_LENGTH || sum == 0)
            why = "the boot loader's first bytes read as blank";
        else if (m_Links.m_MonitorMgr.Command(MON_CMD_VERIFY, PROBE_TIMEOUT_MS, address, PROBE_LENGTH, sum,
                                              nullptr) != LINK_OK)
            why = "it does not accept the right sum of flash it read";
        else if (m_Links.m_MonitorMgr.Command(MON_CMD_VERIFY, PROBE_TIMEOUT_MS, address, PROBE_LENGTH, sum + 1,
                                              nullptr) != LINK_FAILED)
            why = "it does not refuse a wrong sum";
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    char cost[32];
    std::snprintf(cost, sizeof cost, " (probe %.2f s)", seconds);
    if (!why.empty()) {
        NotifyText(HLN_TEXT, "Flash check: the monitor's checks cannot be relied on (" + why +
                                 "): every sector is erased, and the flash could not be checked on this receiver" +
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

bool CHERFLoaderImpl::CheckProgrammedFlash(const CFirmwareSection& section)
{
    if (m_nFlashCheck == FLASH_CHECK_NONE || !ProbeMonitorChecks())
        return true;
    const auto begin = std::chrono::steady_clock::now();
    std::vector<uint8_t> image;
    if (!ExpectedImage(section, image)) {
        SetError(HLE_PROGRAM_FAILED, "the image programmed at " + Hex(section.address) +
                                         " could not be rebuilt on the host to check the flash");
        return false;
    }
    if (image.empty())
        return true;
    const uint32_t length = static_cast<uint32_t>(image.size());
    int result = LINK_TIMEOUT;
    for (int attempt = 0; attempt < CHECK_ATTEMPTS && result == LINK_TIMEOUT; ++attempt)
        result = m_Links.m_MonitorMgr.Command(MON_CMD_VERIFY, CHECK_TIMEOUT_MS, section.address, length,
                                              ByteSum(image.data(), image.size()), nullptr);
    if (result != LINK_OK) {
        SetError(HLE_PROGRAM_FAILED,
                 result == LINK_FAILED
                     ? "the flash at " + Hex(section.address) + " does not hold what was sent (its byte sum differs)"
                     : "the flash at " + Hex(section.address) + " could not be checked: the monitor did not answer");
        return false;
    }
    std::string how = "byte sum";
    if (m_nFlashCheck == FLASH_CHECK_READ_BACK) {
        if (!ReadBackFlash(section.address, image))
            return false;
        how = "read back, CRC-32 " + Hex(Crc32(image.data(), image.size()));
    }
    char text[160];
    std::snprintf(text, sizeof text, "Flash confirmed: %u bytes at 0x%08X, %s matches (%.2f s)", length,
                  section.address, how.c_str(),
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    NotifyText(HLN_TEXT, text);
    return true;
}

// Piece by piece: a piece whose answer was damaged on the line is read
// again; one that reads wrong every time is what the flash holds.
bool CHERFLoaderImpl::ReadBackFlash(uint32_t address, const std::vector<uint8_t>& expected)
{
    const uint32_t total = static_cast<uint32_t>(expected.size());
    for (uint32_t offset = 0; offset < total; offset += READ_PIECE) {
        const uint32_t n = std::min(READ_PIECE, total - offset);
        const uint32_t want = Crc32(expected.data() + offset, n);
        bool answered = false, match = false;
        for (int attempt = 0; attempt < READ_ATTEMPTS && !match; ++attempt) {
            std::vector<uint8_t> piece;
            if (!ReadFlash(address + offset, n, piece))
                continue;
            answered = true;
            match = Crc32(piece.data(), piece.size()) == want;
        }
        if (!match) {
            SetError(HLE_PROGRAM_FAILED,
                     answered ? "the flash at " + Hex(address + offset) +
                                    " does not hold what was sent (read back, its CRC-32 differs)"
                              : "the flash at " + Hex(address + offset) + " could not be read back");
            return false;
        }
        UpdateProgress(total / 2.0 + (offset + n) / 2.0);
    }
    return true;
}

}  // namespace CHERFLoaderLib
