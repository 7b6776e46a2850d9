// trailmark-samplegen OUTDIR: writes the sample firmware, OUTDIR/app.bin,
// OUTDIR/boot.bin and the package OUTDIR/Corvid_FW_v1.82-Boot.q holding the
// application compressed and the boot image plain. The same bytes on every
// run and every build.

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "package/Compressor.h"
#include "package/FirmwareFile.h"
#include "package/PackageWriter.h"
#include "tools/samplegen/SampleImages.h"
#include "transfer/Expander.h"

namespace {

int Fail(const std::string& message)
{
    std::fprintf(stderr, "trailmark-samplegen: %s\n", message.c_str());
    return 1;
}

// The compressor's output must give back the image exactly, or the sample
// would carry a section that the receiver expands wrongly.
bool ExpandsTo(const std::vector<uint8_t>& section, const std::vector<uint8_t>& image)
{
    CCompressedPrefix prefix;
    if (!ReadCompressedPrefix(section.data(), static_cast<uint32_t>(section.size()), prefix) ||
        prefix.expandedLength != image.size())
        return false;
    std::vector<uint8_t> expanded(image.size());
    uint32_t produced = ExpandBuffer(section.data() + COMPRESSED_PREFIX_SIZE, prefix.streamLength,
                                     expanded.data(), static_cast<uint32_t>(expanded.size()));
    return produced == image.size() && expanded == image;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return Fail("usage: trailmark-samplegen OUTDIR");
    std::filesystem::path folder = argv[1];
    std::error_code code;
    std::filesystem::create_directories(folder, code);
    if (code)
        return Fail("cannot create " + folder.string() + ": " + code.message());

    std::vector<uint8_t> app = MakeSampleApplication();
    std::vector<uint8_t> boot = MakeSampleBoot();
    std::vector<CPackSection> sections(2);
    sections[0].flags = SECTION_APP | SECTION_COMPRESSED;
    sections[0].address = SAMPLE_APP_ADDRESS;
    sections[0].data = CompressSection(app.data(), app.size());
    sections[1].flags = SECTION_BOOT | SECTION_PLAIN;
    sections[1].address = SAMPLE_BOOT_ADDRESS;
    sections[1].data = boot;
    if (!ExpandsTo(sections[0].data, app))
        return Fail("the compressed application does not expand back to app.bin");

    std::string error;
    if (!WriteFileAtomically((folder / "app.bin").string(), app.data(), app.size(), error) ||
        !WriteFileAtomically((folder / "boot.bin").string(), boot.data(), boot.size(), error) ||
        !WritePackage((folder / SAMPLE_PACKAGE_FILE).string(), SAMPLE_PACKAGE_NAME,
                      SAMPLE_FAMILY_WORD, sections, error))
        return Fail(error);
    return 0;
}
