// The package writer: the bytes it lays out, the names it refuses, and that
// a failed write never leaves a partial or temporary file behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "package/FirmwareFile.h"
#include "package/PackageWriter.h"
#include "tests/TempFolder.h"

namespace fs = std::filesystem;

namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

std::vector<uint8_t> ReadAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<CPackSection> TwoSections()
{
    std::vector<CPackSection> sections(2);
    sections[0] = {SECTION_APP | SECTION_COMPRESSED, 0x01020000, {0xFF, 0xFF, 0x01}};
    sections[1] = {SECTION_BOOT | SECTION_PLAIN, 0x01000000, std::vector<uint8_t>(1500, 0x80)};
    return sections;
}

class PackageWriterFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_Folder = MakeTempFolder("trailmark-writer");
        ASSERT_FALSE(m_Folder.empty());
    }
    void TearDown() override { fs::remove_all(m_Folder); }

    size_t EntryCount() const
    {
        return static_cast<size_t>(std::distance(fs::directory_iterator(m_Folder), {}));
    }

    fs::path m_Folder;
};

}  // namespace

// Catches wrong field offsets, byte order, data offsets or checksums.
TEST(PackageWriterLayout, HeaderRecordsAndDataAreWhereTheReaderLooks)
{
    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(BuildPackage("Ab\xC3\xA9", 0x00003000, TwoSections(), image, error)) << error;
    ASSERT_EQ(image.size(), 76u + 2 * 20 + 3 + 1500);
    EXPECT_EQ(std::string(image.begin(), image.begin() + 4), "QFW2");
    const uint8_t name[] = {'A', 0, 'b', 0, 0xE9, 0, 0, 0};
    EXPECT_TRUE(std::equal(std::begin(name), std::end(name), image.begin() + 4));
    EXPECT_TRUE(std::all_of(image.begin() + 12, image.begin() + 68, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(Le32(image, 68), 2u);
    EXPECT_EQ(Le32(image, 72), 0x3000u);
    // Records: flags, length, address, file offset, checksum.
    EXPECT_EQ(Le32(image, 76), 0x22u);
    EXPECT_EQ(Le32(image, 80), 3u);
    EXPECT_EQ(Le32(image, 84), 0x01020000u);
    EXPECT_EQ(Le32(image, 88), 116u);
    EXPECT_EQ(Le32(image, 92), 0x1FFu);
    EXPECT_EQ(Le32(image, 96), 0x11u);
    EXPECT_EQ(Le32(image, 100), 1500u);
    EXPECT_EQ(Le32(image, 104), 0x01000000u);
    EXPECT_EQ(Le32(image, 108), 119u);
    EXPECT_EQ(Le32(image, 112), 1500u * 0x80);
    EXPECT_EQ(image[116], 0xFF);
    EXPECT_EQ(image[119], 0x80);
    EXPECT_EQ(image.back(), 0x80);
}

// Catches names that overflow the 32-unit field or malformed UTF-8 stored as garbage.
TEST(PackageWriterLayout, NamesAreCheckedInUtf16Units)
{
    const std::string emoji = "\xF0\x9F\x9B\xB0";  // two UTF-16 units
    struct {
        std::string strName;
        bool bAccepted;
    } const rows[] = {
        {std::string(32, 'n'), true},
        {std::string(33, 'n'), false},
        {[&] { std::string s; for (int i = 0; i < 16; ++i) s += emoji; return s; }(), true},
        {std::string(31, 'n') + emoji, false},
        {std::string(32, 'n').replace(0, 2, "\xC3\xA9"), true},  // 31 characters
        {"\xC0\x80", false},                                      // overlong
        {"\x80", false},                                          // stray continuation
        {"ab\xE2\x82", false},                                    // cut sequence
        {"\xED\xA0\x80", false},                                  // surrogate
        {"\xF4\x90\x80\x80", false},                              // above U+10FFFF
    };
    for (const auto& row : rows) {
        std::vector<uint8_t> image;
        std::string error;
        EXPECT_EQ(BuildPackage(row.strName, 0, TwoSections(), image, error), row.bAccepted)
            << row.strName;
        EXPECT_EQ(error.empty(), row.bAccepted) << error;
    }
}

// Catches surrogate pairs written in the wrong order or with wrong bits.
TEST(PackageWriterLayout, CharactersBeyondTheBasicPlaneBecomeSurrogatePairs)
{
    std::u16string units;
    ASSERT_TRUE(Utf8ToUtf16("\xF0\x9F\x9B\xB0", units));  // U+1F6F0
    EXPECT_EQ(units, (std::u16string{0xD83D, 0xDEF0}));
}

// Catches packages whose sections the reader would refuse to load.
TEST(PackageWriterLayout, SectionsThatCanNeverLoadAreRefused)
{
    std::vector<uint8_t> image;
    std::string error;
    auto empty = TwoSections();
    empty[1].data.clear();
    EXPECT_FALSE(BuildPackage("x", 0, empty, image, error));
    EXPECT_NE(error.find("section 1"), std::string::npos) << error;
    auto nowhere = TwoSections();
    nowhere[0].address = 0;
    EXPECT_FALSE(BuildPackage("x", 0, nowhere, image, error));
    EXPECT_NE(error.find("section 0"), std::string::npos) << error;
}

// Catches a written package that the reader does not accept as written.
TEST_F(PackageWriterFiles, WrittenPackageReadsBackWithTheReader)
{
    fs::path target = m_Folder / "out.q";
    std::string error;
    auto sections = TwoSections();
    ASSERT_TRUE(WritePackage(target.string(), "Sample", 0x3000, sections, error)) << error;
    CFirmwareFileEntry entry;
    ASSERT_TRUE(entry.Load(target.string().c_str())) << entry.m_strError;
    EXPECT_STREQ(entry.description, "Sample");
    ASSERT_EQ(entry.sections.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        CFirmwareSection& section = *entry.sections[i];
        ASSERT_TRUE(section.LoadData(entry.path)) << section.m_strError;
        EXPECT_EQ(std::vector<uint8_t>(section.data.get(), section.data.get() + section.length),
                  sections[i].data);
    }
    EXPECT_EQ(EntryCount(), 1u);  // no temporary file left beside it
}

// Catches a failed check or rename that leaves the target replaced or a
// temporary file behind.
TEST_F(PackageWriterFiles, FailuresLeaveNothingBehind)
{
    fs::path target = m_Folder / "out.q";
    { std::ofstream(target) << "old"; }
    std::string error;
    std::string checked;
    PackageCheck refuse = [&](const std::string& written, std::string& why) {
        checked = written;
        why = "refused";
        return false;
    };
    EXPECT_FALSE(WritePackageChecked(target.string(), "x", 0, TwoSections(), refuse, error));
    EXPECT_EQ(error, "refused");
    EXPECT_NE(checked.find(".q"), std::string::npos);  // readable by the reader
    EXPECT_EQ(ReadAll(target), std::vector<uint8_t>({'o', 'l', 'd'}));
    EXPECT_EQ(EntryCount(), 1u);

    fs::path folderInTheWay = m_Folder / "dir.q";
    fs::create_directory(folderInTheWay);
    fs::create_directory(folderInTheWay / "child");
    EXPECT_FALSE(WritePackage(folderInTheWay.string(), "x", 0, TwoSections(), error));
    EXPECT_NE(error.find(folderInTheWay.string()), std::string::npos) << error;
    EXPECT_EQ(EntryCount(), 2u);

    fs::path noFolder = m_Folder / "missing" / "out.q";
    EXPECT_FALSE(WritePackage(noFolder.string(), "x", 0, TwoSections(), error));
    EXPECT_NE(error.find(noFolder.string()), std::string::npos) << error;
    EXPECT_EQ(EntryCount(), 2u);
}

// Catches an atomic write that loses or truncates data.
TEST_F(PackageWriterFiles, AtomicWriteReplacesWholeFile)
{
    fs::path target = m_Folder / "data.bin";
    { std::ofstream(target) << "a much longer earlier content"; }
    const uint8_t bytes[] = {1, 2, 3};
    std::string error;
    ASSERT_TRUE(WriteFileAtomically(target.string(), bytes, sizeof bytes, error)) << error;
    EXPECT_EQ(ReadAll(target), std::vector<uint8_t>({1, 2, 3}));
    EXPECT_EQ(EntryCount(), 1u);
}
