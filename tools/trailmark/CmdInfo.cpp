// `trailmark info PACKAGE [--json]`: what a package or image file holds, as
// the upgrade would stage it. `trailmark info --monitor-dir DIR` checks a
// folder of the maker's monitor programs as an upgrade would.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "texts/Texts.h"
#include "package/FirmwareFile.h"
#include "tools/trailmark/Command.h"
#include "tools/trailmark/JsonWriter.h"
#include "tools/trailmark/KnownLayouts.h"
#include "transfer/Expander.h"
#include "texts/JsonText.h"
#include "transfer/LayoutCheck.h"
#include "transfer/MemoryMap.h"
#include "transfer/MonitorFiles.h"
#include "transfer/StagedImage.h"

namespace {

constexpr uint64_t NO_RAM_FITS = 0x100000000ull;

struct CInfoOptions {
    std::string m_strPath;
    std::string m_strMonitorDir;
    bool m_bJson = false;
};

// One section as the report shows it.
struct CSectionInfo {
    uint32_t m_nFlags = 0;
    uint32_t m_nLength = 0;
    uint32_t m_nAddress = 0;
    uint32_t m_nFileOffset = 0;
    uint32_t m_nChecksum = 0;
    bool m_bChecksumComputed = false;  // the file gave none; this is the byte sum
    int32_t m_nStagingOffset = 0;
    uint64_t m_nStagedSize = 0;
    bool m_bCompressed = false;
    bool m_bPrefixValid = false;
    CCompressedPrefix m_Prefix;
};

struct CPackageInfo {
    std::string m_strPath;
    int32_t m_nKind = KIND_UNKNOWN;
    std::string m_strDescription;
    uint32_t m_nFamilyWord = 0;
    std::vector<CSectionInfo> m_Sections;
    uint32_t m_nStagedTotal = 0;
    uint16_t m_wAppVersion = 0;
    uint16_t m_wBootVersion = 0;
    // How the package fits the receivers the tool knows.
    uint64_t m_nRamNeeded = 0;  // NO_RAM_FITS when no RAM size does
    std::vector<CKnownVerdict> m_Ram;
    std::vector<CKnownVerdict> m_Flash;
    std::string m_strRefusal;  // why the upgrade refuses the package; empty when it takes it
};

std::string VersionText(uint16_t version)
{
    if (version == 0)
        return "none";
    char text[64];
    return FormatVersion(text, sizeof text, version);
}

std::string FamilyText(uint32_t familyWord)
{
    uint32_t family = familyWord & DEVICE_FAMILY_MASK;
    if (family == 0)
        return "any";
    char text[16];
    return FormatFamily(text, sizeof text, family);
}

// The boards a package is meant for: "boards 5-10", "board 4", "any board",
// or the family named as unknown.
std::string BoardsText(uint32_t familyWord)
{
    if ((familyWord & DEVICE_FAMILY_MASK) == 0)
        return "any board";
    const std::vector<int32_t> boards = GetFamilyBoards(familyWord);
    if (boards.empty())
        return "no board: device family " + FamilyText(familyWord) + " is unknown";
    char text[128];
    return FormatBoards(text, sizeof text, boards.data(), boards.size());
}

// Texts from the file go to a terminal: control characters (which could
// move the cursor or recolour the screen) are shown as '?'.
std::string Printable(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

double Ratio(const CSectionInfo& section)
{
    return section.m_Prefix.expandedLength == 0
               ? 0.0
               : double(section.m_nLength) / double(section.m_Prefix.expandedLength);
}

std::string ChecksumText(const CSectionInfo& section)
{
    return (section.m_bChecksumComputed ? "computed " : "") + Hex32(section.m_nChecksum);
}

std::string CompressionText(const CSectionInfo& section)
{
    if (!section.m_bCompressed)
        return "-";
    if (!section.m_bPrefixValid)
        return "prefix invalid";
    char text[128];
    std::snprintf(text, sizeof text, "stream %u, expanded %u, ratio %.3f",
                  section.m_Prefix.streamLength, section.m_Prefix.expandedLength,
                  Ratio(section));
    return text;
}

// Whether every section of the entry holds its data, so that the report can
// be shown even for a package the proof refuses.
bool AllSectionsLoaded(const CFirmwareFileEntry& entry)
{
    for (const auto& section : entry.sections)
        if (!section->data)
            return false;
    return !entry.sections.empty();
}

// Loads, proves and stages the file. A file that cannot be read whole is
// reported at once; a package the proof refuses is described all the same,
// with the refusal, so that the user sees what it holds.
int Collect(const std::string& path, CPackageInfo& info)
{
    CFirmwareFileEntry entry;
    std::string reason;
    if (!LoadProvenPackageFile(path, entry, reason)) {
        if (!AllSectionsLoaded(entry))
            return Fail(EXIT_STATUS_BAD_PACKAGE, reason);
        info.m_strRefusal = reason;
    }
    std::vector<uint32_t> givenChecksums;
    for (const auto& section : entry.sections)
        givenChecksums.push_back(section->checksum);

    CSyncDataVector blocks;
    if (!StageImage(entry, blocks, info.m_wAppVersion, info.m_wBootVersion))
        return Fail(EXIT_STATUS_BAD_PACKAGE,
                    entry.m_strError.empty() ? path + ": staging failed" : path + ": " + entry.m_strError);

    info.m_strPath = path;
    info.m_nKind = entry.kind;
    info.m_strDescription = entry.description;
    info.m_nFamilyWord = entry.familyWord;
    info.m_nStagedTotal = GetStagedSize(entry);
    for (size_t i = 0; i < entry.sections.size(); ++i) {
        const CFirmwareSection& section = *entry.sections[i];
        CSectionInfo row;
        row.m_nFlags = section.flags;
        row.m_nLength = section.length;
        row.m_nAddress = section.address;
        row.m_nFileOffset = section.fileOffset;
        row.m_nChecksum = section.checksum;
        row.m_bChecksumComputed = givenChecksums[i] == CHECKSUM_NOT_GIVEN;
        row.m_nStagingOffset = section.stagingOffset;
        row.m_nStagedSize = (uint64_t(section.length) + STAGING_BLOCK_SIZE - 1) /
                            STAGING_BLOCK_SIZE * STAGING_BLOCK_SIZE;
        row.m_bCompressed = (section.flags & SECTION_COMPRESSED) != 0;
        if (row.m_bCompressed && section.data)
            row.m_bPrefixValid =
                ReadCompressedPrefix(section.data.get(), section.length, row.m_Prefix);
        info.m_Sections.push_back(row);
    }
    const CPackageLayout layout = DescribeLayout(entry);
    info.m_nRamNeeded = GetRamNeeded(layout, 0);
    info.m_Ram = CheckKnownRam(layout);
    info.m_Flash = CheckKnownFlash(layout);
    return EXIT_STATUS_OK;
}

std::string VerdictText(const CKnownVerdict& verdict)
{
    return verdict.m_bFits ? "fits" : "warning: " + verdict.m_strReason;
}

// The RAM each board class needs and the flash chips the package suits.
void PrintLayoutText(const CPackageInfo& info)
{
    if (info.m_nRamNeeded >= NO_RAM_FITS)
        std::printf("RAM needed:    more than any receiver has\n");
    else
        std::printf("RAM needed:    %llu bytes\n", static_cast<unsigned long long>(info.m_nRamNeeded));
    for (const CKnownVerdict& v : info.m_Ram)
        std::printf("  %-12s %8u bytes at %s: %s\n", v.m_strName.c_str(), v.m_nRamSize, Hex32(v.m_nRamBase).c_str(),
                    VerdictText(v).c_str());
    std::printf("Flash:\n");
    for (const CKnownVerdict& v : info.m_Flash)
        std::printf("  %-12s %s\n", v.m_strName.c_str(), VerdictText(v).c_str());
}

void WriteVerdictJson(CJsonWriter& json, const CKnownVerdict& verdict)
{
    json.Bool("fits", verdict.m_bFits);
    if (verdict.m_bFits)
        json.Null("warning");
    else
        json.String("warning", verdict.m_strReason);
}

void WriteLayoutJson(CJsonWriter& json, const CPackageInfo& info)
{
    if (info.m_nRamNeeded >= NO_RAM_FITS)
        json.Null("ramNeeded");
    else
        json.Number("ramNeeded", info.m_nRamNeeded);
    json.BeginArray("ram");
    for (const CKnownVerdict& v : info.m_Ram) {
        json.BeginObject();
        json.String("boards", v.m_strName.substr(v.m_strName.find(' ') + 1));
        json.Number("ramBase", v.m_nRamBase);
        json.Number("ramSize", v.m_nRamSize);
        WriteVerdictJson(json, v);
        json.EndObject();
    }
    json.EndArray();
    json.BeginArray("flash");
    for (const CKnownVerdict& v : info.m_Flash) {
        json.BeginObject();
        json.String("chip", v.m_strName);
        WriteVerdictJson(json, v);
        json.EndObject();
    }
    json.EndArray();
}

void PrintText(const CPackageInfo& info)
{
    std::printf("File:          %s\n", Printable(info.m_strPath).c_str());
    std::printf("Kind:          %s\n", KindName(info.m_nKind));
    std::printf("Description:   %s\n", Printable(info.m_strDescription).c_str());
    std::printf("Family word:   %s (device family %s)\n", Hex32(info.m_nFamilyWord).c_str(),
                FamilyText(info.m_nFamilyWord).c_str());
    std::printf("Meant for:     %s\n", BoardsText(info.m_nFamilyWord).c_str());
    std::printf("Sections:      %zu\n", info.m_Sections.size());
    if (!info.m_Sections.empty())
        std::printf("  %-3s %-16s %10s %-10s  %-10s  %-19s %10s %10s  %s\n", "#", "flags",
                    "length", "address", "offset", "checksum", "staging", "staged", "compression");
    for (size_t i = 0; i < info.m_Sections.size(); ++i) {
        const CSectionInfo& s = info.m_Sections[i];
        std::printf("  %-3zu %-16s %10u %-10s  %-10s  %-19s %10d %10llu  %s\n", i,
                    FormatSectionFlags(s.m_nFlags).c_str(), s.m_nLength,
                    Hex32(s.m_nAddress).c_str(), Hex32(s.m_nFileOffset).c_str(),
                    ChecksumText(s).c_str(), s.m_nStagingOffset,
                    static_cast<unsigned long long>(s.m_nStagedSize),
                    CompressionText(s).c_str());
    }
    std::printf("Staged total:  %u bytes\n", info.m_nStagedTotal);
    std::printf("App version:   %s\n", VersionText(info.m_wAppVersion).c_str());
    std::printf("Boot version:  %s\n", VersionText(info.m_wBootVersion).c_str());
    PrintLayoutText(info);
    if (!info.m_strRefusal.empty())
        std::printf("Refused:       %s\n", Printable(info.m_strRefusal).c_str());
}

void WriteSectionJson(CJsonWriter& json, size_t index, const CSectionInfo& s)
{
    json.BeginObject();
    json.Number("index", index);
    json.Number("flags", s.m_nFlags);
    json.String("flagNames", FormatSectionFlags(s.m_nFlags));
    json.Number("length", s.m_nLength);
    json.Number("address", s.m_nAddress);
    json.Number("fileOffset", s.m_nFileOffset);
    json.Number("checksum", s.m_nChecksum);
    json.Bool("checksumComputed", s.m_bChecksumComputed);
    json.Signed("stagingOffset", s.m_nStagingOffset);
    json.Number("stagedSize", s.m_nStagedSize);
    if (s.m_bCompressed && s.m_bPrefixValid) {
        json.BeginObject("compressed");
        json.Number("streamLength", s.m_Prefix.streamLength);
        json.Number("expandedLength", s.m_Prefix.expandedLength);
        json.Real("ratio", Ratio(s));
        json.EndObject();
    } else if (s.m_bCompressed) {
        json.String("compressed", "prefix invalid");
    } else {
        json.Null("compressed");
    }
    json.EndObject();
}

void PrintJson(const CPackageInfo& info)
{
    CJsonWriter json;
    json.BeginObject();
    json.String("file", info.m_strPath);
    json.String("kind", KindName(info.m_nKind));
    json.String("description", info.m_strDescription);
    json.Number("familyWord", info.m_nFamilyWord);
    json.String("deviceFamily", FamilyText(info.m_nFamilyWord));
    json.String("meantFor", BoardsText(info.m_nFamilyWord));
    json.BeginArray("boards");
    for (int32_t board : GetFamilyBoards(info.m_nFamilyWord))
        json.Signed(nullptr, board);
    json.EndArray();
    json.BeginArray("sections");
    for (size_t i = 0; i < info.m_Sections.size(); ++i)
        WriteSectionJson(json, i, info.m_Sections[i]);
    json.EndArray();
    json.Number("stagedTotal", info.m_nStagedTotal);
    json.String("appVersion", VersionText(info.m_wAppVersion));
    json.String("bootVersion", VersionText(info.m_wBootVersion));
    WriteLayoutJson(json, info);
    if (info.m_strRefusal.empty())
        json.Null("refused");
    else
        json.String("refused", info.m_strRefusal);
    json.EndObject();
    std::printf("%s\n", json.Text().c_str());
}

// One line (or JSON object) per monitor class: the file, its length,
// version and build date, or why it cannot be used.
int RunMonitorCheck(const CInfoOptions& options)
{
    CMonitorFileCheck files[MONITOR_CLASS_COUNT];
    std::string error;
    if (!CheckMonitorFolder(options.m_strMonitorDir, files, error))
        return Fail(EXIT_STATUS_FAILED, error);
    std::string json = "{\"monitor_dir\": " + JsonString(options.m_strMonitorDir) + ", \"monitors\": [";
    for (int32_t type = 0; type < MONITOR_CLASS_COUNT; ++type) {
        const CMonitorFileCheck& f = files[type];
        char version[16] = "", date[16] = "";
        if (f.m_bUsable) {
            FormatVersion(version, sizeof version, f.m_wVersion);
            FormatDate(date, sizeof date, f.m_wYear, f.m_nMonth, f.m_nDay);
        }
        const std::string state = !f.m_bPresent ? "missing" : f.m_bUsable ? "usable" : "unusable";
        if (options.m_bJson) {
            json += std::string(type ? ", " : "") + "{\"file\": " + JsonString(f.m_strPath) +
                    ", \"boards\": " + JsonString(MonitorClassBoards(type)) + ", \"state\": \"" + state + "\"";
            if (f.m_bUsable)
                json += ", \"length\": " + std::to_string(f.m_nLength) + ", \"version\": " +
                        JsonString(version) + ", \"date\": " + JsonString(date);
            if (f.m_bPresent && !f.m_bUsable)
                json += ", \"reason\": " + JsonString(f.m_strReason);
            json += "}";
        } else if (f.m_bUsable) {
            std::printf("%s (%s): usable, %llu bytes, Monitor: %s, %s\n", f.m_strPath.c_str(),
                        MonitorClassBoards(type), static_cast<unsigned long long>(f.m_nLength), version, date);
        } else {
            std::printf("%s (%s): %s%s%s\n", f.m_strPath.c_str(), MonitorClassBoards(type),
                        f.m_bPresent ? "cannot be used: " : "missing",
                        f.m_bPresent ? f.m_strReason.c_str() : "", "");
        }
    }
    if (options.m_bJson)
        std::printf("%s]}\n", json.c_str());
    const std::string problem = MonitorFolderProblem(options.m_strMonitorDir, files);
    if (!problem.empty())
        return Fail(EXIT_STATUS_FAILED, problem);
    return std::fflush(stdout) == 0 ? EXIT_STATUS_OK : Fail(EXIT_STATUS_FAILED, "cannot write the report");
}

int RunInfo(const CInfoOptions& options)
{
    if (!options.m_strMonitorDir.empty() && options.m_strPath.empty())
        return RunMonitorCheck(options);
    if (options.m_strPath.empty())
        return Fail(EXIT_STATUS_USAGE, "info needs a PACKAGE, or --monitor-dir DIR to check monitor files");
    if (!options.m_strMonitorDir.empty())
        if (const int status = RunMonitorCheck(options); status != EXIT_STATUS_OK)
            return status;
    CPackageInfo info;
    int status = Collect(options.m_strPath, info);
    if (status != EXIT_STATUS_OK)
        return status;
    if (options.m_bJson)
        PrintJson(info);
    else
        PrintText(info);
    if (std::fflush(stdout) != 0)
        return Fail(EXIT_STATUS_FAILED, "cannot write the report");
    // The refusal also goes to stderr as the one line every refusal gives.
    return info.m_strRefusal.empty() ? EXIT_STATUS_OK : Fail(EXIT_STATUS_BAD_PACKAGE, info.m_strRefusal);
}

}  // namespace

void AddInfoCommand(CLI::App& app)
{
    auto options = std::make_shared<CInfoOptions>();
    CLI::App* command =
        app.add_subcommand("info", "Show the sections, staging and versions of a package or image");
    command->add_option("PACKAGE", options->m_strPath, "package (.q) or image (.bin) file");
    command->add_option("--monitor-dir", options->m_strMonitorDir,
                        "check a folder of the maker's monitor programs (XERF1.bin, XERF2.bin)");
    command->add_flag("--json", options->m_bJson, "print one JSON object");
    command->callback([options]() { SetExitStatus(RunInfo(*options)); });
}
