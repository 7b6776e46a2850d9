#include "receiver/ReceiverReport.h"

#include "receiver/ReceiverCore.h"
#include "receiver/ReceiverFirmware.h"
#include "texts/JsonText.h"

#include <array>
#include <cstdio>

uint32_t ReceiverCrc32(const uint8_t* data, size_t length)
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
            t[n] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < length; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

namespace {

std::string Hex(uint32_t value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "\"0x%08X\"", value);
    return buf;
}

std::string Date(uint16_t year, uint8_t month, uint8_t day)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "\"%04u-%02u-%02u\"", year, month, day);
    return buf;
}

std::string Region(const CReceiverMemory& memory, const char* name, uint32_t start,
                   uint32_t size)
{
    const std::vector<uint8_t>& flash = memory.Flash();
    size_t offset = start - RXM_FLASH_BASE;
    if (offset > flash.size())
        offset = flash.size();
    if (size > flash.size() - offset)
        size = static_cast<uint32_t>(flash.size() - offset);
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i)
        sum += flash[offset + i];
    return std::string("    ") + JsonString(name) + ": {\"start\": " + Hex(start) +
           ", \"size\": " + std::to_string(size) + ", \"crc32\": " +
           Hex(ReceiverCrc32(flash.data() + offset, size)) + ", \"sum\": " + std::to_string(sum) +
           "}";
}

// Each judgment of the boot region: what ended the monitor (or power), and
// whether the region held the old boot loader, the complete new one, or
// neither.
std::string BootChecks(const std::vector<CRxBootCheck>& checks)
{
    static const char* const verdicts[] = {"old", "new", "broken"};
    std::string j = "[";
    for (size_t i = 0; i < checks.size(); ++i)
        j += std::string(i ? ",\n    " : "\n    ") + "{\"event\": " + JsonString(checks[i].m_strEvent) +
             ", \"boot_region\": \"" + verdicts[checks[i].m_eVerdict] + "\"}";
    return j + (checks.empty() ? "]" : "\n  ]");
}

const char* ModeName(EReceiverMode mode)
{
    switch (mode) {
    case RXM_APPLICATION: return "application";
    case RXM_BOOT: return "boot loader";
    case RXM_MONITOR: return "flash monitor";
    case RXM_OFF: return "off";
    default: return "bricked";
    }
}

}  // namespace

std::string BuildReceiverReport(const CReceiverCore& core, const std::vector<std::string>& ports)
{
    const CReceiverMemory& memory = core.Memory();
    const CRxStats& s = core.Stats();
    CFlashVersions v = ReadFlashVersions(memory);
    uint32_t flashEnd = RXM_FLASH_BASE + memory.Chip().m_nSize;
    std::string j = "{\n";
    j += "  \"mode\": " + JsonString(ModeName(core.Mode())) + ",\n";
    j += "  \"board\": " + std::to_string(core.Config().m_nBoardId) + ",\n";
    j += "  \"chip\": " + JsonString(memory.Chip().m_strName) + ",\n";
    j += "  \"versions\": {\"product_code\": " + std::to_string(v.m_wProductCode) +
         ", \"application_valid\": " + (v.m_bAppValid ? "true" : "false") +
         ", \"application\": " + std::to_string(v.m_wAppVersion) +
         ", \"application_date\": " + Date(v.m_wAppYear, v.m_nAppMonth, v.m_nAppDay) +
         ", \"boot_valid\": " + (v.m_bBootValid ? "true" : "false") +
         ", \"boot\": " + std::to_string(v.m_wBootVersion) +
         ", \"boot_date\": " + Date(v.m_wBootYear, v.m_nBootMonth, v.m_nBootDay) + "},\n";
    j += "  \"flash\": {\n";
    j += Region(memory, "boot", RXM_BOOT_START, RXM_BOOT_SIZE) + ",\n";
    j += Region(memory, "application", RXM_APP_START, flashEnd - RXM_APP_START) + ",\n";
    j += Region(memory, "whole", RXM_FLASH_BASE, memory.Chip().m_nSize) + "\n  },\n";
    j += "  \"upgrade_record\": " + (s.m_bUpgradeRecord ? JsonString(s.m_strUpgradeRecord) : "null") +
         ",\n";
    j += "  \"ports\": [";
    uint64_t in = 0, out = 0;
    for (size_t i = 0; i < ports.size() && i < s.m_Ports.size(); ++i) {
        const CRxPortStats& p = s.m_Ports[i];
        in += p.m_nPacketsIn;
        out += p.m_nPacketsOut;
        j += std::string(i ? ",\n    " : "\n    ") + "{\"path\": " + JsonString(ports[i]) +
             ", \"bytes_in\": " + std::to_string(p.m_nBytesIn) +
             ", \"bytes_out\": " + std::to_string(p.m_nBytesOut) +
             ", \"packets_in\": " + std::to_string(p.m_nPacketsIn) +
             ", \"packets_out\": " + std::to_string(p.m_nPacketsOut) + "}";
    }
    j += "\n  ],\n";
    j += "  \"packets\": {\"received\": " + std::to_string(in) + ", \"sent\": " +
         std::to_string(out) + "},\n";
    const std::pair<const char*, uint64_t> counts[] = {
        {"retries", s.m_nRetries},          {"dropped_bytes", s.m_nDropped},
        {"corrupted_bytes", s.m_nCorrupted}, {"garbled_bytes", s.m_nGarbled},
        {"refused", s.m_nRefused},          {"lost_answers", s.m_nLostAnswers}, {"erases", s.m_nErases},
        {"programs", s.m_nPrograms},        {"program_mismatches", s.m_nProgramMismatches},
        {"monitor_starts", s.m_nMonitorStarts}, {"power_losses", s.m_nPowerLosses},
        {"bit_error_bytes", s.m_nBitErrors}, {"parity_drops", s.m_nParityDrops},
        {"blank_checks", s.m_nBlankChecks}, {"ram_damages", s.m_nRamDamages},
        {"clock_error_bytes", s.m_nClockErrors}, {"oversize_packets", s.m_nOversizePackets},
        {"oversize_programs", s.m_nOversizePrograms}, {"read_refusals", s.m_nReadRefusals},
        {"largest_read", s.m_nLargestRead}, {"oversize_replies", s.m_nOversizeReplies}};
    for (const auto& c : counts)
        j += std::string("  \"") + c.first + "\": " + std::to_string(c.second) + ",\n";
    j += "  \"boot_checks\": " + BootChecks(s.m_BootChecks) + ",\n";
    j += std::string("  \"bricked\": ") + (core.IsBricked() ? "true" : "false") + ",\n";
    j += "  \"bricked_reason\": " + (core.IsBricked() ? JsonString(core.BrickedReason()) : "null") + ",\n";
    j += std::string("  \"upgrade_finished\": ") + (core.UpgradeFinished() ? "true" : "false") +
         "\n}\n";
    return j;
}
