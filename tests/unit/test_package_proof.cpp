// The proof a package must pass before any receiver is touched: the strict
// expansion of compressed streams, and the rules for where each section may
// go on every receiver its family admits.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "package/Compressor.h"
#include "package/FirmwareFile.h"
#include "transfer/Expander.h"
#include "transfer/MemoryMap.h"
#include "transfer/PackageProof.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes ESCAPES = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5};

Bytes Stream(const Bytes& tokens)
{
    Bytes stream = ESCAPES;
    stream.insert(stream.end(), tokens.begin(), tokens.end());
    return stream;
}

// An image of `size` bytes, with the application header's magic when asked.
Bytes Image(size_t size, bool applicationHeader)
{
    Bytes image(size);
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<uint8_t>((i * 7) % 13);
    if (applicationHeader && size >= 4)
        for (int k = 0; k < 4; ++k)
            image[k] = static_cast<uint8_t>(APP_IMAGE_MAGIC >> (8 * k));
    return image;
}

// A boot image of `size` bytes with its version record at offset 0x40.
Bytes BootImage(size_t size)
{
    Bytes image = Image(size, false);
    for (int k = 0; k < 4; ++k)
        image[0x40 + k] = static_cast<uint8_t>(BOOT_RECORD_MAGIC >> (8 * k));
    return image;
}

struct CSec {
    uint32_t flags;
    uint32_t address;
    Bytes data;               // as the section holds it (compressed already when flagged)
    bool loaded = true;
    int32_t checksumOffset = 0;  // added to the true byte sum
};

CSec Compressed(uint32_t flags, uint32_t address, const Bytes& image)
{
    return {flags | SECTION_COMPRESSED, address, CompressSection(image.data(), image.size())};
}

void Add(CFirmwareFileEntry& entry, const CSec& s)
{
    const uint32_t length = static_cast<uint32_t>(s.data.size());
    auto section = std::make_unique<CFirmwareSection>(length, s.address, 0, s.flags,
                                                      ByteSum(s.data.data(), length) + s.checksumOffset);
    if (s.loaded) {
        section->data.reset(new uint8_t[length]);
        std::memcpy(section->data.get(), s.data.data(), length);
    }
    entry.sections.push_back(std::move(section));
}

constexpr uint32_t APP = 0x01020000;
constexpr uint32_t BOOT = 0x01000000;
constexpr uint32_t APP_C = SECTION_APP | SECTION_COMPRESSED;
constexpr uint32_t APP_P = SECTION_APP | SECTION_PLAIN;
constexpr uint32_t BOOT_P = SECTION_BOOT | SECTION_PLAIN;

}  // namespace

// Catches a damaged stream that the forgiving expander would turn into some
// image anyway: cut tokens, copies without a source, output past or short of
// the prefix's length; and a good stream refused or expanded wrongly.
TEST(PackageProof, StrictExpansion)
{
    struct Row {
        const char* name;
        Bytes stream;
        uint32_t expanded;
        const char* reason;  // empty: passes
        Bytes output;
    } const rows[] = {
        {"literal, repeat, copy", Stream({0x41, 0xF1, 0x42, 0x03, 0xF2, 0x01}), 7, "",
         {0x41, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42}},
        {"escapes only", ESCAPES, 0, "", {}},
        {"one byte short of the prefix", Stream({0x41, 0xF1, 0x42, 0x03, 0xF2, 0x01}), 8,
         "the stream ends after 7 bytes of output, the prefix gives 8", {}},
        {"past the prefix", Stream({0x41, 0xF1, 0x42, 0x03, 0xF2, 0x01}), 6,
         "the token at stream byte 10 writes past the 6 bytes the prefix gives", {}},
        {"repeat cut short", Stream({0x41, 0xF1, 0x42}), 4, "the token at stream byte 7 is cut short", {}},
        {"literal run cut short", Stream({0xF0, 0x05, 0x01, 0x02}), 5, "the token at stream byte 6 is cut short", {}},
        {"distance bytes cut short", Stream({0x41, 0xF5, 0x02, 0xFE, 0x00}), 3, "is cut short", {}},
        {"copy from distance 0", Stream({0x41, 0xF2, 0x00}), 4,
         "the copy at stream byte 7 reaches 0 bytes back from output byte 1, which is no source", {}},
        {"copy from before the output", Stream({0x41, 0x42, 0xF5, 0x02, 0xFC, 0x03}), 4,
         "reaches 3 bytes back from output byte 2, before the output's start", {}},
        {"far copy from before the output", Stream({0x41, 0xF4, 0x01, 0x00}), 5, "before the output's start", {}},
        {"shorter than the escapes", Bytes(ESCAPES.begin(), ESCAPES.end() - 1), 0, "six escape bytes", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<uint8_t[]> output(new uint8_t[row.expanded + 1]);
        std::string reason;
        const bool ok =
            ExpandStrict(row.stream.data(), static_cast<uint32_t>(row.stream.size()), output.get(), row.expanded, reason);
        EXPECT_EQ(ok, row.reason[0] == '\0') << reason;
        if (ok)
            EXPECT_EQ(Bytes(output.get(), output.get() + row.expanded), row.output);
        else
            EXPECT_NE(reason.find(row.reason), std::string::npos) << reason;
    }
}

// Catches the strict expansion refusing what the compressor makes.
TEST(PackageProof, CompressorOutputExpandsStrictly)
{
    for (size_t size : {size_t(2), size_t(1000), size_t(70000)}) {
        const Bytes image = Image(size, true);
        const Bytes section = CompressSection(image.data(), image.size());
        CCompressedPrefix prefix;
        ASSERT_TRUE(ReadCompressedPrefix(section.data(), static_cast<uint32_t>(section.size()), prefix));
        Bytes output(prefix.expandedLength);
        std::string reason;
        EXPECT_TRUE(ExpandStrict(section.data() + COMPRESSED_PREFIX_SIZE, prefix.streamLength, output.data(),
                                 prefix.expandedLength, reason))
            << reason;
        EXPECT_EQ(output, image);
    }
}

// Catches each package that every receiver would take and then fail on (an
// application off its address, a boot image off the boot loader's, a
// half-word), sections damaged or not loaded, flags no receiver can act on,
// and refusals of what must pass. The reason names the section.
TEST(PackageProof, SectionRules)
{
    const Bytes app = Image(4096, true), boot = BootImage(40 * 1024);
    Bytes badStream = Compressed(APP_C, APP, app).data;
    badStream[COMPRESSED_PREFIX_SIZE + ESCAPES.size()] = badStream[COMPRESSED_PREFIX_SIZE + 2];  // a copy first
    Bytes noPrefix = Compressed(APP_C, APP, app).data;
    noPrefix[0] = 0xFF;  // a stream length past the section
    Bytes zeroLength = Compressed(APP_C, APP, app).data;
    std::memset(zeroLength.data() + 4, 0, 4);
    struct Row {
        const char* name;
        std::vector<CSec> sections;
        const char* reason;  // empty: passes
        bool rawOnly = false;  // passes only when a raw image is asked for
    } const rows[] = {
        {"the sample's layout", {Compressed(SECTION_APP, APP, app), {BOOT_P, BOOT, boot}}, ""},
        {"application data without a header after the application",
         {{APP_P, APP, app}, {APP_P, 0x01100000, Image(8192, false)}}, ""},
        {"application data without the application", {{APP_P, 0x01100000, Image(8192, false)}},
         "the package erases the application region but writes nothing at 0x01020000", true},
        {"no application header where the boot loader looks", {{APP_P, APP, Image(8192, false)}},
         "section 0 (APP|PLAIN at 0x01020000): it is written at 0x01020000, where the boot loader looks for the "
         "application, but does not begin with the application header",
         true},
        {"compressed, no application header", {Compressed(SECTION_APP, APP, Image(8192, false))},
         "does not begin with the application header", true},
        {"boot image without its version record", {{BOOT_P, BOOT, Image(40 * 1024, false)}},
         "section 0 (BOOT|PLAIN at 0x01000000): the boot image holds no boot version record", true},
        {"application three bytes off", {Compressed(SECTION_APP, APP + 3, app)},
         "section 0 (APP|COMPRESSED at 0x01020003): its address 0x01020003 is not on a 16-bit word"},
        {"application a word off", {{BOOT_P, BOOT, boot}, {APP_P, APP + 4, app}},
         "section 1 (APP|PLAIN at 0x01020004): it carries the application header but starts at 0x01020004, not at "
         "0x01020000 where the boot loader looks for the application"},
        {"half a word programmed", {{APP_P, APP, Image(4097, true)}}, "it programs 4097 bytes, not a whole number"},
        {"boot image off its address", {{BOOT_P, BOOT + 2, boot}},
         "section 0 (BOOT|PLAIN at 0x01000002): the boot image starts at 0x01000002, not at the boot loader's own "
         "address 0x01000000"},
        {"boot image past its region", {{BOOT_P, BOOT, BootImage(0xD000)}},
         "the boot image runs to 0x0100D000, past the end of the boot region at 0x0100C000"},
        {"application past every flash", {{APP_P, APP, Image(0x1E0002, true)}},
         "the application runs to 0x01200002, past the end of every receiver's flash at 0x01200000"},
        {"wrong checksum", {{BOOT_P, BOOT, boot}, {APP_P, APP, app, true, 1}},
         "section 1 (APP|PLAIN at 0x01020000): checksum 0x"},
        {"data not loaded", {{APP_P, APP, app, false}}, "its data is not loaded"},
        {"neither plain nor compressed", {{SECTION_APP, APP, app}}, "neither plain nor compressed"},
        {"neither boot nor application", {{SECTION_PLAIN, APP, app}}, "neither a boot nor an application image"},
        {"boot and application", {{BOOT_P | SECTION_APP, BOOT, boot}}, "both a boot and an application image"},
        {"plain and compressed", {{APP_P | SECTION_COMPRESSED, APP, app}}, "both plain and compressed"},
        {"damaged stream", {{APP_C, APP, badStream}}, "its compressed data is damaged: the copy at stream byte 6"},
        {"no valid prefix", {{APP_C, APP, noPrefix}}, "no valid prefix"},
        {"expands to nothing", {{APP_C, APP, zeroLength}}, "expanded length of 0"},
        {"no sections", {}, "the package holds no image data"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CFirmwareFileEntry entry;
        entry.familyWord = 0x3000;
        for (const CSec& s : row.sections)
            Add(entry, s);
        std::string reason;
        EXPECT_EQ(ProvePackage(entry, reason), row.reason[0] == '\0') << reason;
        EXPECT_NE(reason.find(row.reason), std::string::npos) << reason;
        std::string raw;
        EXPECT_EQ(ProvePackage(entry, raw, true), row.reason[0] == '\0' || row.rawOnly) << raw;
    }
}

// Catches a family word read without its mask, a board given to the wrong
// family, and an unknown family taken for "any".
TEST(PackageProof, BoardsOfAFamily)
{
    struct Row {
        uint32_t familyWord;
        std::vector<int32_t> boards;
    } const rows[] = {
        {0, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {0x1000, {0, 1}},
        {0x2000, {2, 3}},
        {0x4000, {4}},
        {0x3000, {5, 6, 7, 8, 9, 10}},
        {0xFFF00FFF, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {0xFFF03FFF, {5, 6, 7, 8, 9, 10}},
        {0x5000, {}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(GetFamilyBoards(row.familyWord), row.boards) << std::hex << row.familyWord;
}
