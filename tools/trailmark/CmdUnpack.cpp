// `trailmark unpack PACKAGE DIR`: every section's data into its own file,
// and the expansion of every compressed section beside it.
//
// All sections are loaded, checked and expanded in memory before the first
// file is written, so a bad package leaves DIR untouched; an I/O failure part
// way removes what this run wrote.

#include <CLI/CLI.hpp>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "package/FirmwareFile.h"
#include "package/PackageWriter.h"
#include "tools/trailmark/Command.h"
#include "transfer/Expander.h"
#include "transfer/StagedImage.h"

namespace fs = std::filesystem;

namespace {

struct CUnpackOptions {
    std::string m_strPath;
    std::string m_strFolder;
};

struct COutputFile {
    std::string m_strName;
    const uint8_t* m_pData = nullptr;
    size_t m_nSize = 0;
};

// Expands a compressed section's data into `expanded`; on failure reports
// and returns the exit status.
int ExpandSection(size_t index, const CFirmwareSection& section, std::vector<uint8_t>& expanded)
{
    std::string where = "section " + std::to_string(index) + ": ";
    CCompressedPrefix prefix;
    if (!ReadCompressedPrefix(section.data.get(), section.length, prefix))
        return Fail(EXIT_STATUS_BAD_PACKAGE,
                    where + "compressed data of " + std::to_string(section.length) +
                        " bytes has no valid prefix (stream length runs past the section)");
    if (prefix.expandedLength > MAX_EXPANDED_LENGTH)
        return Fail(EXIT_STATUS_BAD_PACKAGE,
                    where + "expanded length " + std::to_string(prefix.expandedLength) +
                        " exceeds the limit of " + std::to_string(MAX_EXPANDED_LENGTH) + " bytes");
    expanded.assign(prefix.expandedLength, 0);
    uint32_t produced = ExpandBuffer(section.data.get() + COMPRESSED_PREFIX_SIZE,
                                     prefix.streamLength, expanded.data(), prefix.expandedLength);
    if (produced != prefix.expandedLength)
        return Fail(EXIT_STATUS_BAD_PACKAGE,
                    where + "the stream expands to " + std::to_string(produced) +
                        " bytes, the prefix says " + std::to_string(prefix.expandedLength));
    return EXIT_STATUS_OK;
}

// Creates the folder (and its parents) and records the ones this run made,
// deepest last, so that a failure can take them away again.
int MakeFolder(const fs::path& folder, std::vector<fs::path>& created)
{
    std::vector<fs::path> missing;
    std::error_code code;
    for (fs::path p = folder; !p.empty() && !fs::exists(p, code); p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path())
            break;
    }
    if (!fs::create_directories(folder, code) && code)
        return Fail(EXIT_STATUS_FAILED,
                    "cannot create folder " + folder.string() + ": " + code.message());
    if (!fs::is_directory(folder, code))
        return Fail(EXIT_STATUS_FAILED, folder.string() + ": not a folder");
    created.assign(missing.rbegin(), missing.rend());
    return EXIT_STATUS_OK;
}

void RemoveWritten(const std::vector<fs::path>& files, const std::vector<fs::path>& folders)
{
    std::error_code code;
    for (const fs::path& file : files)
        fs::remove(file, code);
    // Only folders this run created, and only when empty (remove() refuses
    // a non-empty folder).
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        fs::remove(*it, code);
}

int WriteOutputs(const fs::path& folder, const std::vector<COutputFile>& outputs)
{
    std::vector<fs::path> createdFolders;
    int status = MakeFolder(folder, createdFolders);
    if (status != EXIT_STATUS_OK)
        return status;
    std::vector<fs::path> written;
    for (const COutputFile& output : outputs) {
        fs::path target = folder / output.m_strName;
        std::string error;
        if (!WriteFileAtomically(target.string(), output.m_pData, output.m_nSize, error)) {
            RemoveWritten(written, createdFolders);
            return Fail(EXIT_STATUS_FAILED, error);
        }
        written.push_back(target);
    }
    return EXIT_STATUS_OK;
}

int RunUnpack(const CUnpackOptions& options)
{
    CFirmwareFileEntry entry;
    int status = LoadPackageFile(options.m_strPath, entry);
    if (status != EXIT_STATUS_OK)
        return status;

    std::vector<std::vector<uint8_t>> expansions(entry.sections.size());
    std::vector<COutputFile> outputs;
    for (size_t i = 0; i < entry.sections.size(); ++i) {
        CFirmwareSection& section = *entry.sections[i];
        if (!section.LoadData(entry.path))
            return Fail(EXIT_STATUS_BAD_PACKAGE,
                        "section " + std::to_string(i) + ": " + section.m_strError);
        std::string stem = "section-" + std::to_string(i);
        outputs.push_back({stem + ".bin", section.data.get(), section.length});
        if (section.flags & SECTION_COMPRESSED) {
            status = ExpandSection(i, section, expansions[i]);
            if (status != EXIT_STATUS_OK)
                return status;
            outputs.push_back({stem + ".expanded.bin", expansions[i].data(), expansions[i].size()});
        }
    }
    return WriteOutputs(fs::path(options.m_strFolder), outputs);
}

}  // namespace

void AddUnpackCommand(CLI::App& app)
{
    auto options = std::make_shared<CUnpackOptions>();
    CLI::App* command = app.add_subcommand(
        "unpack", "Write each section's data, and each compressed section expanded, to DIR");
    command->add_option("PACKAGE", options->m_strPath, "package (.q) or image (.bin) file")
        ->required();
    command->add_option("DIR", options->m_strFolder, "output folder (created when missing)")
        ->required();
    command->callback([options]() { SetExitStatus(RunUnpack(*options)); });
}
