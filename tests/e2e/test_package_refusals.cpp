// Packages that no receiver should be given, run through every way in: the
// packer, `trailmark info`, `trailmark upgrade` and the engine's Start. All
// must refuse each one with the same reason, and the upgrade before a byte
// reaches the receiver.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/HERFLoader.h"
#include "package/ByteOrder.h"
#include "package/Compressor.h"
#include "package/FirmwareFile.h"
#include "package/PackageWriter.h"
#include "tests/e2e/ToolRun.h"
#include "transfer/Expander.h"

namespace fs = std::filesystem;
using namespace toolrun;
using Bytes = std::vector<uint8_t>;

namespace {

const fs::path BUILD = TRAILMARK_BINARY_DIR;

Bytes ReadBytes(const fs::path& path)
{
    const std::string text = ReadAll(path);
    return {text.begin(), text.end()};
}

void WriteBytes(const fs::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A package as `pack` would lay it out, whatever the sections say.
Bytes Package(const std::vector<CPackSection>& sections)
{
    Bytes image;
    std::string error;
    EXPECT_TRUE(BuildPackage("Refused", 0x3000, sections, image, error)) << error;
    return image;
}

CPackSection Section(uint32_t flags, uint32_t address, const Bytes& image)
{
    return {flags, address,
            (flags & SECTION_COMPRESSED) ? CompressSection(image.data(), image.size()) : image};
}

// Where section `index` of a package file lies.
uint32_t SectionOffset(const Bytes& package, size_t index)
{
    return GetLe32(package.data() + PACKAGE_HEADER_SIZE + SECTION_RECORD_SIZE * index + 12);
}

// The sample with one byte of its compressed stream raised by 1 and the next
// lowered by 1, so that the section's byte sum holds, at the first place
// where the forgiving expander then gives an image of another length.
Bytes CompensatingChange(const Bytes& sample)
{
    const uint32_t data = SectionOffset(sample, 0);
    CCompressedPrefix prefix;
    EXPECT_TRUE(ReadCompressedPrefix(sample.data() + data, static_cast<uint32_t>(sample.size() - data), prefix));
    const uint32_t stream = data + COMPRESSED_PREFIX_SIZE;
    for (uint32_t at = stream + 6; at + 1 < stream + prefix.streamLength; ++at) {
        if (sample[at] == 0xFF || sample[at + 1] == 0)
            continue;
        Bytes changed = sample;
        ++changed[at];
        --changed[at + 1];
        Bytes image(prefix.expandedLength);
        if (ExpandBuffer(changed.data() + stream, prefix.streamLength, image.data(), prefix.expandedLength) !=
            prefix.expandedLength)
            return changed;
    }
    ADD_FAILURE() << "no change of the stream alters its expanded length";
    return sample;
}

// The receiver's report says that not one byte came in on any port.
bool NothingReceived(const std::string& report)
{
    const std::string key = "\"bytes_in\": ";
    size_t ports = 0;
    for (size_t at = report.find(key); at != std::string::npos; at = report.find(key, at + 1), ++ports)
        if (report.compare(at + key.size(), 2, "0,") != 0)
            return false;
    return ports > 0 && report.find("\"packets\": {\"received\": 0,") != std::string::npos;
}

class PackageRefusals : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/trailmark-refusals-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Folder = pattern;
        m_App = ReadBytes(BUILD / "app.bin");
        m_Boot = ReadBytes(BUILD / "boot.bin");
        m_Sample = ReadBytes(SAMPLE);
        ASSERT_FALSE(m_App.empty() || m_Boot.empty() || m_Sample.empty()) << "the build makes the sample";
        Bytes big = m_Boot;
        big.resize(0xD000, 0xFF);
        WriteBytes(m_Folder / "big.bin", big);
        // 64 KiB of noise: a correct byte sum, but no application header.
        m_Random.resize(64 * 1024);
        uint32_t x = 12345;
        for (uint8_t& b : m_Random)
            b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
        WriteBytes(m_Folder / "random.bin", m_Random);
    }
    void TearDown() override { fs::remove_all(m_Folder); }

public:
    // The rows make their packages from these.
    fs::path m_Folder;
    Bytes m_App, m_Boot, m_Sample, m_Random;
};

struct CRow {
    const char* m_pszName;
    std::vector<std::string> m_PackSections;  // --section arguments; empty when pack cannot make it
    std::function<Bytes(const PackageRefusals&)> m_Make;
    const char* m_pszReason;  // in every refusal; empty for a package all take
};

}  // namespace

// Catches a package that one way in accepts and another refuses: an
// application three bytes off its start and a boot image off its address or
// past its region (taken by every receiver, which then has no valid
// firmware), a compressed stream changed so that its byte sum holds (which
// `unpack` refused while `info` and `upgrade` took it), a section cut short
// or with a wrong checksum (which failed only per port with exit 1), and a
// good package refused. Each refusal is exit 4 with one line naming the file
// and the section, for `upgrade --json` the one error object and no summary,
// and nothing reaches the receiver.
TEST_F(PackageRefusals, PackInfoUpgradeAndTheEngineAgree)
{
    const std::string app = (BUILD / "app.bin").string(), boot = (BUILD / "boot.bin").string();
    const std::vector<CRow> rows = {
        {"application three bytes off",
         {"app,compressed:0x01020003:" + app},
         [](const PackageRefusals& t) { return Package({Section(SECTION_APP | SECTION_COMPRESSED, 0x01020003, t.m_App)}); },
         "section 0 (APP|COMPRESSED at 0x01020003): its address 0x01020003 is not on a 16-bit word"},
        {"boot image a byte off",
         {"boot,plain:0x01000001:" + boot},
         [](const PackageRefusals& t) { return Package({Section(SECTION_BOOT | SECTION_PLAIN, 0x01000001, t.m_Boot)}); },
         "section 0 (BOOT|PLAIN at 0x01000001): its address 0x01000001 is not on a 16-bit word"},
        {"boot image past its region",
         {"boot,plain:0x01000000:big.bin"},
         [](const PackageRefusals& t) {
             Bytes big = t.m_Boot;
             big.resize(0xD000, 0xFF);
             return Package({Section(SECTION_BOOT | SECTION_PLAIN, 0x01000000, big)});
         },
         "section 0 (BOOT|PLAIN at 0x01000000): the boot image runs to 0x0100D000, past the end of the boot region"},
        {"an application without its header",
         {"app,plain:0x01020000:random.bin"},
         [](const PackageRefusals& t) { return Package({Section(SECTION_APP | SECTION_PLAIN, 0x01020000, t.m_Random)}); },
         "section 0 (APP|PLAIN at 0x01020000): it is written at 0x01020000, where the boot loader looks for the "
         "application, but does not begin with the application header"},
        {"compensating change in the stream", {},
         [](const PackageRefusals& t) { return CompensatingChange(t.m_Sample); },
         "section 0 (APP|COMPRESSED at 0x01020000): its compressed data is damaged: "},
        {"section cut short", {},
         [](const PackageRefusals& t) { return Bytes(t.m_Sample.begin(), t.m_Sample.end() - 100); },
         "section 1 (BOOT|PLAIN at 0x01000000): section data runs past the end of the file"},
        {"wrong checksum", {},
         [](const PackageRefusals& t) {
             Bytes bytes = t.m_Sample;
             bytes[bytes.size() - 100] ^= 0x01;
             return bytes;
         },
         "section 1 (BOOT|PLAIN at 0x01000000): checksum 0x"},
        {"the sample", {"app,compressed:0x01020000:" + app, "boot,plain:0x01000000:" + boot},
         [](const PackageRefusals& t) { return t.m_Sample; }, ""},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.m_pszName);
        const std::string reason = row.m_pszReason;
        const bool good = reason.empty();
        if (!row.m_PackSections.empty()) {
            std::vector<std::string> args{"pack", "out.q", "--name", "n", "--family", "0x3000"};
            for (const std::string& section : row.m_PackSections)
                args.insert(args.end(), {"--section", section});
            const CToolResult pack = RunTool(m_Folder, args);
            EXPECT_EQ(pack.m_nStatus, good ? 0 : 4) << pack.m_strErr;
            EXPECT_EQ(fs::exists(m_Folder / "out.q"), good);
            if (!good) {
                EXPECT_EQ(pack.m_strErr.rfind("trailmark: out.q: " + reason, 0), 0u) << pack.m_strErr;
            }
            EXPECT_EQ(CountLines(pack.m_strErr), good ? 0u : 1u) << pack.m_strErr;
            fs::remove(m_Folder / "out.q");
        }
        WriteBytes(m_Folder / "pkg.q", row.m_Make(*this));

        const CToolResult info = RunTool(m_Folder, {"info", "pkg.q"});
        EXPECT_EQ(info.m_nStatus, good ? 0 : 4) << info.m_strErr;
        if (!good) {
            EXPECT_EQ(info.m_strErr.rfind("trailmark: pkg.q: " + reason, 0), 0u) << info.m_strErr;
        }
        EXPECT_EQ(CountLines(info.m_strErr), good ? 0u : 1u) << info.m_strErr;

        if (!good) {
            // The wizard's way in: the engine's own Start, before any port.
            CHERFLoaderLib::CHERFLoader loader;
            loader.Create(nullptr, 0x83E8);
            loader.SetPorts(CHERFLoaderLib::CPortId::Device("/dev/trailmark-no-such-device"));
            EXPECT_EQ(loader.Start((m_Folder / "pkg.q").c_str(), 0x163), CHERFLoaderLib::START_PACKAGE_FAILED);
            EXPECT_EQ(loader.GetStartError().rfind(reason, 0), 0u) << loader.GetStartError();
            loader.Destroy();
        }

        CReceiverProcess receiver(m_Folder);
        ASSERT_FALSE(receiver.Port().empty());
        const CToolResult upgrade =
            RunTool(m_Folder, {"upgrade", "--json", "--no-retry", "--port", receiver.Port(), "--package", "pkg.q"});
        const std::string report = receiver.Stop();
        if (good) {
            EXPECT_EQ(upgrade.m_nStatus, 0) << upgrade.m_strErr;
            EXPECT_NE(upgrade.m_strOut.find("{\"event\":\"summary\",\"success\":true"), std::string::npos);
            continue;
        }
        EXPECT_EQ(upgrade.m_nStatus, 4) << upgrade.m_strErr;
        EXPECT_EQ(upgrade.m_strOut.rfind("{\"event\":\"error\",\"exit_status\":4,\"reason\":\"pkg.q: " + reason, 0), 0u)
            << upgrade.m_strOut;
        EXPECT_EQ(CountLines(upgrade.m_strOut), 1u) << upgrade.m_strOut;
        EXPECT_EQ(upgrade.m_strErr.rfind("trailmark: pkg.q: " + reason, 0), 0u) << upgrade.m_strErr;
        EXPECT_EQ(CountLines(upgrade.m_strErr), 1u) << upgrade.m_strErr;
        EXPECT_TRUE(NothingReceived(report)) << report;
    }
}

// Catches a raw image reported as upgraded: written only when asked for,
// said in the first line, and then failed on the receiver's own report,
// which finds no application to start.
TEST_F(PackageRefusals, ARawImageIsWrittenOnlyWhenAskedAndFailsOnTheReceiversReport)
{
    WriteBytes(m_Folder / "raw.q", Package({Section(SECTION_APP | SECTION_PLAIN, 0x01020000, m_Random)}));
    CReceiverProcess receiver(m_Folder);
    ASSERT_FALSE(receiver.Port().empty());
    const CToolResult upgrade = RunTool(
        m_Folder, {"upgrade", "--json", "--no-retry", "--raw-image", "--port", receiver.Port(), "--package", "raw.q"});
    const std::string report = receiver.Stop();
    EXPECT_EQ(upgrade.m_nStatus, 1) << upgrade.m_strErr;
    EXPECT_EQ(upgrade.m_strErr.rfind("trailmark: --raw-image: raw.q: section 0", 0), 0u) << upgrade.m_strErr;
    EXPECT_NE(upgrade.m_strOut.find("{\"event\":\"summary\",\"success\":false"), std::string::npos);
    EXPECT_NE(upgrade.m_strOut.find("the receiver reports no valid application"), std::string::npos)
        << upgrade.m_strOut;
    EXPECT_NE(report.find("\"application_valid\": false"), std::string::npos) << report;
}

// Catches `info` keeping quiet about the boards a package is meant for, or
// taking an unknown device family for "any".
TEST_F(PackageRefusals, InfoNamesTheBoardsOfTheFamily)
{
    struct {
        uint32_t m_nFamily;
        const char* m_pszText;
        const char* m_pszJson;
    } const rows[] = {
        {0x3000, "Meant for:     boards 5-10\n", "\"meantFor\":\"boards 5-10\",\"boards\":[5,6,7,8,9,10]"},
        {0x1000, "Meant for:     boards 0-1\n", "\"boards\":[0,1]"},
        {0x4000, "Meant for:     board 4\n", "\"meantFor\":\"board 4\",\"boards\":[4]"},
        {0, "Meant for:     any board\n", "\"boards\":[0,1,2,3,4,5,6,7,8,9,10]"},
        {0x5000, "Meant for:     no board: device family 0x5000 is unknown\n", "\"boards\":[]"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.m_pszText);
        Bytes bytes = m_Sample;
        PutLe32(bytes.data() + 72, row.m_nFamily);
        WriteBytes(m_Folder / "family.q", bytes);
        const CToolResult text = RunTool(m_Folder, {"info", "family.q"});
        EXPECT_EQ(text.m_nStatus, 0) << text.m_strErr;
        EXPECT_NE(text.m_strOut.find(row.m_pszText), std::string::npos) << text.m_strOut;
        const CToolResult json = RunTool(m_Folder, {"info", "--json", "family.q"});
        EXPECT_NE(json.m_strOut.find(row.m_pszJson), std::string::npos) << json.m_strOut;
        EXPECT_NE(json.m_strOut.find("\"refused\":null"), std::string::npos) << json.m_strOut;
    }
}
