// `trailmark pack OUTPUT --name NAME --family WORD --section FLAGS:ADDRESS:FILE ...`:
// builds a package from image files.
//
// Every argument is checked before anything is written. The package goes to
// a temporary file that is read back with the package reader, each section
// loaded and each compressed section expanded and compared with its input,
// and the whole staged as the upgrade would and checked against the flash
// layouts of the known chips; only a package that passes replaces OUTPUT. A
// package that some chip cannot take is written with a warning for it; one
// that no chip can take, or that the package proof refuses
// (transfer/PackageProof.h), is refused with exit status 4, as the upgrade
// would refuse it.

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "package/Compressor.h"
#include "package/FirmwareFile.h"
#include "package/PackageWriter.h"
#include "tools/trailmark/Command.h"
#include "tools/trailmark/KnownLayouts.h"
#include "transfer/Expander.h"
#include "transfer/LayoutCheck.h"
#include "transfer/PackageProof.h"
#include "transfer/StagedImage.h"

namespace {

struct CPackOptions {
    std::string m_strOutput;
    std::string m_strName;
    std::string m_strFamily;
    std::vector<std::string> m_SectionArguments;
    bool m_bRawImage = false;
};

// What went into a section, for the check after writing.
struct CPackInput {
    std::string m_strFile;
    std::vector<uint8_t> m_Bytes;  // the file as read, before compression
};

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// "app,compressed", "boot,plain", "0x22", or words and numbers mixed.
bool ParseFlags(const std::string& text, uint32_t& flags, std::string& error)
{
    static const struct {
        const char* pszWord;
        uint32_t nBit;
    } SECTION_FLAG_WORDS[] = {{"boot", SECTION_BOOT},
                  {"app", SECTION_APP},
                  {"plain", SECTION_PLAIN},
                  {"compressed", SECTION_COMPRESSED}};
    flags = 0;
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string word = text.substr(start, comma == std::string::npos ? comma : comma - start);
        uint32_t bits = 0;
        bool known = ParseUint32(word, bits);
        for (const auto& entry : SECTION_FLAG_WORDS)
            if (Lower(word) == entry.pszWord)
                bits = entry.nBit, known = true;
        if (!known) {
            error = "unknown flag \"" + word + "\" (use boot, app, plain, compressed or a number)";
            return false;
        }
        flags |= bits;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if ((flags & SECTION_PLAIN) && (flags & SECTION_COMPRESSED)) {
        error = "flags " + FormatSectionFlags(flags) + " say both plain and compressed";
        return false;
    }
    return true;
}

bool ReadInputFile(const std::string& file, std::vector<uint8_t>& bytes, std::string& error)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read " + file + ": " + std::strerror(errno);
        return false;
    }
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0 || !in) {
        error = "cannot read " + file + " (not a regular file)";
        return false;
    }
    if (size == 0) {
        error = file + " is empty (an empty section can never be loaded)";
        return false;
    }
    if (static_cast<uint64_t>(size) > MAX_EXPANDED_LENGTH) {
        error = file + " holds " + std::to_string(size) + " bytes, more than the limit of " +
                std::to_string(MAX_EXPANDED_LENGTH);
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) {
        error = "cannot read " + file + ": read cut short";
        return false;
    }
    return true;
}

// One --section argument: FLAGS:ADDRESS:FILE (the file name may hold colons).
// `usage` tells an argument that cannot be read from a file that cannot.
bool ParseSection(const std::string& argument, CPackSection& section, CPackInput& input, bool& usage,
                  std::string& error)
{
    usage = true;
    size_t first = argument.find(':');
    size_t second = first == std::string::npos ? first : argument.find(':', first + 1);
    if (second == std::string::npos) {
        error = "\"" + argument + "\" is not FLAGS:ADDRESS:FILE";
        return false;
    }
    if (!ParseFlags(argument.substr(0, first), section.flags, error))
        return false;
    std::string address = argument.substr(first + 1, second - first - 1);
    if (!ParseUint32(address, section.address)) {
        error = "address \"" + address + "\" is not a 32-bit number";
        return false;
    }
    if (section.address == 0) {
        error = "address 0 (such a section can never be loaded)";
        return false;
    }
    usage = false;
    input.m_strFile = argument.substr(second + 1);
    if (!ReadInputFile(input.m_strFile, input.m_Bytes, error))
        return false;
    if (section.flags & SECTION_COMPRESSED)
        section.data = CompressSection(input.m_Bytes.data(), input.m_Bytes.size());
    else
        section.data = input.m_Bytes;
    return true;
}

// A compressed section must expand to exactly the input it was made from.
bool CheckExpansion(const CFirmwareSection& section, const CPackInput& input, std::string& error)
{
    CCompressedPrefix prefix;
    if (!ReadCompressedPrefix(section.data.get(), section.length, prefix) ||
        prefix.expandedLength != input.m_Bytes.size()) {
        error = "compressed prefix does not match " + input.m_strFile;
        return false;
    }
    std::vector<uint8_t> expanded(prefix.expandedLength);
    uint32_t produced = ExpandBuffer(section.data.get() + COMPRESSED_PREFIX_SIZE,
                                     prefix.streamLength, expanded.data(), prefix.expandedLength);
    if (produced != prefix.expandedLength || expanded != input.m_Bytes) {
        error = "compressed data does not expand back to " + input.m_strFile;
        return false;
    }
    return true;
}

// The flash rules on every known chip: refused when no chip can take the
// package (one sentence per chip), warnings for the chips that cannot.
bool CheckFlashLayouts(CFirmwareFileEntry& entry, std::vector<std::string>& warnings, std::string& error)
{
    CSyncDataVector blocks;
    uint16_t app = 0, boot = 0;
    if (!StageImage(entry, blocks, app, boot)) {
        error = "written package does not stage: " + entry.m_strError;
        return false;
    }
    std::string reasons;
    bool anyFits = false;
    for (const CKnownVerdict& verdict : CheckKnownFlash(DescribeLayout(entry))) {
        anyFits = anyFits || verdict.m_bFits;
        if (verdict.m_bFits)
            continue;
        reasons += (reasons.empty() ? "" : "; ") + verdict.m_strName + ": " + verdict.m_strReason;
        warnings.push_back("not for " + verdict.m_strName + " receivers: " + verdict.m_strReason);
    }
    if (!anyFits)
        error = "the package fits the flash of no known receiver (" + reasons + ")";
    return anyFits;
}

// Reads the written package back as the upgrade would.
// `refused` tells a package the upgrade would refuse from a write that went
// wrong.
bool CheckWritten(const std::string& writtenPath, const std::vector<CPackSection>& sections,
                  const std::vector<CPackInput>& inputs, bool allowRaw, std::vector<std::string>& warnings,
                  bool& refused, std::string& error)
{
    refused = false;
    CFirmwareFileEntry entry;
    if (!entry.Load(writtenPath.c_str()) || entry.kind != KIND_PACKAGE ||
        entry.sections.size() != sections.size()) {
        error = "written package does not read back: " + entry.m_strError;
        return false;
    }
    for (size_t i = 0; i < sections.size(); ++i) {
        CFirmwareSection& read = *entry.sections[i];
        std::string where = "section " + std::to_string(i) + ": written package ";
        if (!read.LoadData(entry.path)) {
            error = where + "does not load: " + read.m_strError;
            return false;
        }
        const CPackSection& wanted = sections[i];
        if (read.flags != wanted.flags || read.address != wanted.address ||
            read.length != wanted.data.size() ||
            std::memcmp(read.data.get(), wanted.data.data(), read.length) != 0) {
            error = where + "differs from its input";
            return false;
        }
        if ((read.flags & SECTION_COMPRESSED) && !CheckExpansion(read, inputs[i], error)) {
            error = where + error;
            return false;
        }
    }
    // What the upgrade would refuse is not written: the same proof, and a
    // flash layout that some known receiver can take.
    refused = true;
    if (!ProvePackage(entry, error, allowRaw))
        return false;
    if (const std::string raw = RawImageReason(entry); !raw.empty())
        warnings.push_back("raw image (--raw-image): " + raw + "; `trailmark upgrade` writes it only with "
                           "--raw-image");
    return CheckFlashLayouts(entry, warnings, error);
}

int RunPack(const CPackOptions& options)
{
    // Arguments that cannot be what the user meant are usage errors (2),
    // like those the command-line parser refuses itself.
    if (KindByName(options.m_strOutput.c_str()) == KIND_APP_IMAGE)
        return Fail(EXIT_STATUS_USAGE, options.m_strOutput +
                                           ": a name with \".bin\" is read as an image, not a package: give the "
                                           "package a name ending in \".q\"");
    std::u16string units;
    if (!Utf8ToUtf16(options.m_strName, units) || units.size() > PACKAGE_NAME_UNITS)
        return Fail(EXIT_STATUS_USAGE, "--name: \"" + options.m_strName +
                                           "\" is not valid UTF-8 of at most 32 characters");
    uint32_t family = 0;
    if (!ParseUint32(options.m_strFamily, family))
        return Fail(EXIT_STATUS_USAGE,
                    "--family: \"" + options.m_strFamily + "\" is not a 32-bit number");
    std::vector<CPackSection> sections(options.m_SectionArguments.size());
    std::vector<CPackInput> inputs(options.m_SectionArguments.size());
    for (size_t i = 0; i < sections.size(); ++i) {
        std::string error;
        bool usage = false;
        if (!ParseSection(options.m_SectionArguments[i], sections[i], inputs[i], usage, error))
            return Fail(usage ? EXIT_STATUS_USAGE : EXIT_STATUS_FAILED, "section " + std::to_string(i) + ": " + error);
    }
    std::vector<std::string> warnings;
    bool refused = false;
    PackageCheck check = [&](const std::string& writtenPath, std::string& error) {
        warnings.clear();
        return CheckWritten(writtenPath, sections, inputs, options.m_bRawImage, warnings, refused, error);
    };
    std::string error;
    if (!WritePackageChecked(options.m_strOutput, options.m_strName, family, sections, check,
                             error))
        return refused ? Fail(EXIT_STATUS_BAD_PACKAGE, options.m_strOutput + ": " + error)
                       : Fail(EXIT_STATUS_FAILED, error);
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "trailmark: warning: %s\n", warning.c_str());
    return EXIT_STATUS_OK;
}

}  // namespace

void AddPackCommand(CLI::App& app)
{
    auto options = std::make_shared<CPackOptions>();
    CLI::App* command = app.add_subcommand("pack", "Build a package from image files");
    command->add_option("OUTPUT", options->m_strOutput, "package file to write (a name ending in .q)")
        ->required();
    command->add_option("--name", options->m_strName, "package name, at most 32 characters")
        ->required();
    command->add_option("--family", options->m_strFamily,
                        "family word (bits 12-19: device family, 0 for any)")
        ->required();
    command
        ->add_option("--section", options->m_SectionArguments,
                     "FLAGS:ADDRESS:FILE, FLAGS like app,compressed or boot,plain or a number")
        ->required()
        ->allow_extra_args(false);
    command->add_flag("--raw-image", options->m_bRawImage,
                      "also write a package whose receiver would not start it (an application section at "
                      "0x01020000 without the application header, a boot image without its version record)");
    command->callback([options]() { SetExitStatus(RunPack(*options)); });
}
