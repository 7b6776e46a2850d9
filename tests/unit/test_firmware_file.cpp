// The firmware file reader: kind detection, the three readers and section data.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/TempFolder.h"

#include "package/FirmwareFile.h"
#include "platform/FileReader.h"

namespace {

using Bytes = std::vector<uint8_t>;

const bool s_bLocalePinned = putenv(const_cast<char*>("LC_ALL=C")) == 0;

void PutLe32(Bytes& b, size_t at, uint32_t v)
{
    if (b.size() < at + 4)
        b.resize(at + 4);
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct CRecord {
    uint32_t flags, length, address, offset, checksum;
};

// A QFW2 header with `count` in its count field and the given records; the
// name is given as UTF-16 code units.
Bytes Package(uint32_t count, const std::vector<CRecord>& records, const std::u16string& name = u"Test",
              uint32_t family = 0, size_t headerSize = PACKAGE_HEADER_SIZE)
{
    Bytes b = {'Q', 'F', 'W', '2'};
    b.resize(PACKAGE_HEADER_SIZE);
    for (size_t i = 0; i < name.size() && i < 32; ++i) {
        b[4 + 2 * i] = static_cast<uint8_t>(name[i]);
        b[5 + 2 * i] = static_cast<uint8_t>(name[i] >> 8);
    }
    PutLe32(b, 68, count);
    PutLe32(b, 72, family);
    b.resize(headerSize);
    for (const CRecord& r : records) {
        for (uint32_t v : {r.flags, r.length, r.address, r.offset, r.checksum})
            PutLe32(b, b.size(), v);
    }
    return b;
}

// An application image: product 8, v1.82, 12 May 2006 01:01:01.
Bytes AppImage(uint16_t product = 8, size_t size = 64)
{
    Bytes b(size);
    PutLe32(b, 0, APP_IMAGE_MAGIC);
    b[8] = static_cast<uint8_t>(product), b[9] = static_cast<uint8_t>(product >> 8);
    b[10] = 182;
    b[16] = 2006 & 0xFF, b[17] = 2006 >> 8, b[18] = 5, b[19] = 12;
    PutLe32(b, 20, 3661);
    b.resize(size);
    return b;
}

// `size` bytes with a boot record (version 182, 12 May 2006, 3661 s) at `at`.
Bytes BootImage(size_t size, size_t at)
{
    Bytes b(at + 16);
    PutLe32(b, at, BOOT_RECORD_MAGIC);
    PutLe32(b, at + 4, 182);
    b[at + 8] = 2006 & 0xFF, b[at + 9] = 2006 >> 8, b[at + 10] = 5, b[at + 11] = 12;
    PutLe32(b, at + 12, 3661);
    b.resize(size);
    return b;
}

class FirmwareFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_strFolder = MakeTempFolder("test_firmware");
        ASSERT_FALSE(m_strFolder.empty());
    }
    void TearDown() override { std::filesystem::remove_all(m_strFolder); }

    std::string Write(const std::string& name, const Bytes& bytes)
    {
        std::string full = m_strFolder + "/" + name;
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        std::ofstream(full, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return full;
    }

    std::string m_strFolder;
};

TEST_F(FirmwareFileTest, DetectsKindByNameThenContent)
{
    struct CCase {
        const char* pszName;
        Bytes content;
        int32_t nKind;
        const char* pszError;  // part of the error for KIND_UNKNOWN
    } const cases[] = {
        {"pkg.q", Package(0, {}), KIND_PACKAGE, ""},
        {"pkg.q", Package(0, {}, u"", 0, 75), KIND_UNKNOWN, "header cut short"},
        {"pkg.q", AppImage(8, 80), KIND_UNKNOWN, "not a QFW2 package (magic D6 C7 B8 A9)"},
        {"a.q.bin", Package(0, {}), KIND_PACKAGE, ""},    // ".q" is tested first
        {"b.q.bin", AppImage(), KIND_UNKNOWN, "QFW2"},
        {"dir.q/app.bin", AppImage(), KIND_UNKNOWN, "QFW2"},  // a folder name counts
        // An extension in capitals says what it says in small letters.
        {"FIRMWARE.BIN", AppImage(), KIND_APP_IMAGE, ""},
        {"FIRMWARE.Q", Package(0, {}), KIND_PACKAGE, ""},
        {"FIRMWARE.Q", AppImage(), KIND_UNKNOWN, "not a QFW2 package"},
        {"pkg.Bin", Package(0, {}), KIND_UNKNOWN, "no application magic"},
        // A name that says nothing: the contents decide.
        {"pkg.dat", Package(0, {}), KIND_PACKAGE, ""},
        {"firmware", Package(0, {}), KIND_PACKAGE, ""},
        {"application", AppImage(), KIND_APP_IMAGE, ""},
        {"bootloader", BootImage(256, 8), KIND_BOOT_IMAGE, ""},
        {"noise", Bytes(300, 0x11), KIND_UNKNOWN, "neither a QFW2 package nor an application or boot image"},
        {"tiny", Bytes{1, 2}, KIND_UNKNOWN, "(its first bytes: fewer than 4)"},
        {"dir.x/firmware", Package(0, {}, u"", 0, 75), KIND_UNKNOWN, "header cut short"},
        {"app.bin", AppImage(), KIND_APP_IMAGE, ""},
        {"short.bin", AppImage(8, 31), KIND_UNKNOWN, "only 31 bytes"},
        {"boot.bin", BootImage(256, 8), KIND_BOOT_IMAGE, ""},
        {"odd.bin", BootImage(256, 6), KIND_UNKNOWN, "no boot record"},
        {"small.bin", BootImage(100, 8), KIND_UNKNOWN, "only 100 bytes"},
        {"b244.bin", BootImage(260, 244), KIND_BOOT_IMAGE, ""},
        {"b244cut.bin", BootImage(256, 244), KIND_UNKNOWN, "boot record at offset 244 cut short"},
        {"b248.bin", BootImage(264, 248), KIND_BOOT_IMAGE, ""},
        {"b252.bin", BootImage(268, 252), KIND_BOOT_IMAGE, ""},
        {"b252cut.bin", BootImage(267, 252), KIND_UNKNOWN, "boot record at offset 252 cut short"},
    };
    for (const CCase& c : cases) {
        CFirmwareFileEntry entry;
        EXPECT_EQ(entry.DetectKind(Write(c.pszName, c.content).c_str()), c.nKind) << c.pszName;
        EXPECT_NE(entry.m_strError.find(c.pszError), std::string::npos) << c.pszName << ": " << entry.m_strError;
        if (c.nKind == KIND_BOOT_IMAGE) {  // the whole record, also the part beyond byte 256
            EXPECT_EQ(entry.bootRecord[12], 3661 & 0xFF) << c.pszName;
        }
    }
    CFirmwareFileEntry missing;
    EXPECT_EQ(missing.DetectKind((m_strFolder + "/none.q").c_str()), KIND_UNKNOWN);
    EXPECT_NE(missing.m_strError.find("none.q: No such file or directory"), std::string::npos) << missing.m_strError;
}

TEST_F(FirmwareFileTest, LowestAlignedBootMagicWins)
{
    Bytes b = BootImage(256, 16);
    PutLe32(b, 8, BOOT_RECORD_MAGIC);
    PutLe32(b, 12, 999);
    CFirmwareFileEntry entry;
    ASSERT_TRUE(entry.Load(Write("two.bin", b).c_str()));
    EXPECT_EQ(entry.kind, KIND_BOOT_IMAGE);
    EXPECT_EQ(entry.bootRecord[4], 999 & 0xFF);
}

TEST_F(FirmwareFileTest, OnlyAcceptedProductCodesLoadAndDescribeTheImage)
{
    ASSERT_TRUE(s_bLocalePinned);
    for (unsigned product : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 16u, 258u}) {
        bool accepted = product == 1 || product == 4 || product == 5 || (product >= 8 && product <= 15);
        CFirmwareFileEntry entry;
        std::string name = Write("app" + std::to_string(product) + ".bin", AppImage(static_cast<uint16_t>(product)));
        EXPECT_EQ(entry.Load(name.c_str()), accepted) << product;
        EXPECT_EQ(entry.kind, KIND_APP_IMAGE);
        EXPECT_EQ(entry.sections.size(), accepted ? 1u : 0u) << product;
        if (!accepted) {
            EXPECT_NE(entry.m_strError.find("product code " + std::to_string(product) + " is not one"), std::string::npos)
                << entry.m_strError;
            EXPECT_STREQ(entry.description, "");
        }
    }
    CFirmwareFileEntry app;
    ASSERT_TRUE(app.Load(Write("app.bin", AppImage(8, 100)).c_str()));
    EXPECT_STREQ(app.description, "App v1.82 12 May 2006 01:01:01 0x00000000");
    const CFirmwareSection& s = *app.sections[0];
    EXPECT_EQ(std::vector<uint32_t>({s.length, s.address, s.fileOffset, s.flags, s.checksum}),
              std::vector<uint32_t>({100, 0x01020000, 0, 0x12, 0xFFFFFFFF}));

    CFirmwareFileEntry boot;
    ASSERT_TRUE(boot.Load(Write("boot.bin", BootImage(300, 252)).c_str()));
    EXPECT_STREQ(boot.description, "Boot v1.82 12 May 2006 01:01:01 0x00000000");
    const CFirmwareSection& t = *boot.sections[0];
    EXPECT_EQ(std::vector<uint32_t>({t.length, t.address, t.flags}), std::vector<uint32_t>({300, 0x01000000, 0x11}));
}

TEST_F(FirmwareFileTest, PackageListsRecordsInTableOrder)
{
    CFirmwareFileEntry entry;
    Bytes b = Package(2, {{0x21, 5, 0x1000, 200, 77}, {0x12, 6, 0x2000, 300, 0xFFFFFFFF}}, u"Pkg", 0x0001A123);
    ASSERT_TRUE(entry.Load(Write("p.q", b).c_str())) << entry.m_strError;
    EXPECT_EQ(entry.kind, KIND_PACKAGE);
    EXPECT_EQ(entry.familyWord, 0x0001A123u);
    EXPECT_STREQ(entry.description, "Pkg");
    EXPECT_EQ(std::string(entry.path), m_strFolder + "/p.q");
    ASSERT_EQ(entry.sections.size(), 2u);
    const CFirmwareSection& s = *entry.sections[1];
    EXPECT_EQ(std::vector<uint32_t>({s.flags, s.length, s.address, s.fileOffset, s.checksum}),
              std::vector<uint32_t>({0x12, 6, 0x2000, 300, 0xFFFFFFFF}));
    EXPECT_EQ(entry.sections[0]->checksum, 77u);

    CFirmwareFileEntry empty;
    EXPECT_TRUE(empty.Load(Write("e.q", Package(0, {})).c_str()));
    EXPECT_TRUE(empty.sections.empty());
}

TEST_F(FirmwareFileTest, LongTableIsReadWholeAndInOrder)
{
    std::vector<CRecord> records;
    for (uint32_t i = 0; i < 2500; ++i)
        records.push_back({0x10, 1, i + 1, 0, CHECKSUM_NOT_GIVEN});
    CFirmwareFileEntry entry;
    ASSERT_TRUE(entry.Load(Write("long.q", Package(2500, records)).c_str())) << entry.m_strError;
    ASSERT_EQ(entry.sections.size(), 2500u);
    for (uint32_t i : {0u, 1023u, 1024u, 2047u, 2048u, 2499u})
        EXPECT_EQ(entry.sections[i]->address, i + 1);
}

TEST_F(FirmwareFileTest, CutTableFailsButKeepsTheSectionsRead)
{
    Bytes b = Package(5, {{1, 1, 1, 0, 0}, {2, 2, 2, 0, 0}, {3, 3, 3, 0, 0}});
    b.resize(b.size() + 19);  // a fourth record one byte short
    CFirmwareFileEntry entry;
    EXPECT_FALSE(entry.Load(Write("cut.q", b).c_str()));
    EXPECT_EQ(entry.kind, KIND_PACKAGE);
    ASSERT_EQ(entry.sections.size(), 3u);
    EXPECT_EQ(entry.sections[2]->address, 3u);
    EXPECT_NE(entry.m_strError.find("section table cut short after 3 of 5 records"), std::string::npos) << entry.m_strError;
}

std::string Repeat(const std::string& text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

TEST(PackageName, ConvertsToUtf8AndCutsOnlyAtWholeCharacters)
{
    struct CCase {
        std::u16string name;
        std::string expected;
    } const cases[] = {
        {std::u16string(32, u'a'), std::string(32, 'a')},               // no terminator in the field
        {std::u16string(31, u'a') + u"\u00e9", std::string(31, 'a')},  // the two-byte character does not fit
        {std::u16string(30, u'a') + u"\u00e9", std::string(30, 'a') + "\xC3\xA9"},
        {std::u16string(11, u'\u20ac'), Repeat("\xE2\x82\xAC", 10)},  // 30 bytes, not 32
        {u"x\U0001F600y", "x\xF0\x9F\x98\x80y"},
        {u"a\xD800" u"b\xDC00", "a?b?"},  // lone surrogates
        {std::u16string(u"ab\0cd", 5), "ab"},
        {u"a\nb\x1B", "a?b?"},  // controls could drive a terminal
    };
    for (const CCase& c : cases) {
        Bytes units(64);
        for (size_t k = 0; k < c.name.size() && k < 32; ++k) {
            units[2 * k] = static_cast<uint8_t>(c.name[k]);
            units[2 * k + 1] = static_cast<uint8_t>(c.name[k] >> 8);
        }
        EXPECT_EQ(PackageNameText(units.data(), 32, 32), c.expected);
    }
}

TEST_F(FirmwareFileTest, DescriptionOfAFullNameIsCutAt32Bytes)
{
    CFirmwareFileEntry entry;
    ASSERT_TRUE(entry.Load(Write("n.q", Package(0, {}, std::u16string(20, u'\u00fc'))).c_str()));
    EXPECT_EQ(std::strlen(entry.description), 32u);
    EXPECT_EQ(std::string(entry.description), Repeat("\xC3\xBC", 16));
}

TEST_F(FirmwareFileTest, SectionDataIsCheckedAndAGivenSumHeld)
{
    Bytes b = Package(5, {{0x10, 2, 0x100, 200, CHECKSUM_NOT_GIVEN},
                          {0x10, 2, 0x100, 200, 0x10},
                          {0x10, 2, 0, 200, CHECKSUM_NOT_GIVEN},
                          {0x10, 0, 0x100, 200, CHECKSUM_NOT_GIVEN},
                          {0x10, 0xFFFFFFFF, 0x100, 0, CHECKSUM_NOT_GIVEN}});
    b.resize(202, 0);
    b[200] = b[201] = 0xFF;
    std::string name = Write("d.q", b);
    CFirmwareFileEntry entry;
    ASSERT_TRUE(entry.Load(name.c_str()));
    auto& sections = entry.sections;

    ASSERT_TRUE(sections[0]->LoadData(entry.path)) << sections[0]->m_strError;
    EXPECT_EQ(sections[0]->checksum, 0x1FEu);  // fixed by the first load
    std::filesystem::remove(name);
    EXPECT_TRUE(sections[0]->LoadData(entry.path));  // held bytes, no file needed
    sections[0]->data[0] = 0;
    EXPECT_FALSE(sections[0]->LoadData(entry.path));
    EXPECT_EQ(sections[0]->m_strError, "checksum 0x000001FE expected, 0x000000FF found");
    EXPECT_EQ(sections[0]->data, nullptr);
    EXPECT_FALSE(sections[0]->LoadData(entry.path));  // data gone, file gone
    EXPECT_NE(sections[0]->m_strError.find("No such file or directory"), std::string::npos);

    Write("d.q", b);
    EXPECT_FALSE(sections[1]->LoadData(entry.path));
    EXPECT_EQ(sections[1]->m_strError, "checksum 0x00000010 expected, 0x000001FE found");
    EXPECT_EQ(sections[1]->data, nullptr);
    EXPECT_FALSE(sections[2]->LoadData(entry.path));  // address 0 lists but never loads
    EXPECT_FALSE(sections[3]->LoadData(entry.path));  // length 0

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sections[4]->LoadData(entry.path));  // claims 4 GiB: refused before allocating
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(sections[4]->m_strError,
              "section data runs past the end of the file (offset 0, length 4294967295, file size 202)");
}

TEST(ByteSum, AddsUnsignedBytesAndWrapsAt32Bits)
{
    const uint8_t two[] = {0xFF, 0xFF};
    EXPECT_EQ(ByteSum(two, 2), 0x1FEu);
    std::vector<uint8_t> many(16843010, 0xFF);  // 0xFF * 16843010 = 2^32 + 254
    EXPECT_EQ(ByteSum(many.data(), many.size()), 254u);
}

// Catches: a path refused below the system's own limit (259 bytes used to
// be the end on every system; Linux opens 4095), a path cut instead of
// refused, and a refusal that does not say why.
TEST_F(FirmwareFileTest, PathsUpToTheSystemsLimitWorkLongerOnesAreRefusedNotCut)
{
    const size_t nLimit = platform::MaxPathBytes() - 1;
    // A file at 300 bytes where the system allows it, in folders of at most
    // 200 bytes (the longest name a Linux file system takes is 255).
    std::string deep = m_strFolder;
    while (deep.size() + 200 + 7 < std::min<size_t>(300, nLimit))
        deep += "/" + std::string(200, 'd');
    std::filesystem::create_directories(deep);
    const std::string fit = deep + "/" + std::string(std::min<size_t>(300, nLimit) - deep.size() - 3, 'p') + ".q";
    ASSERT_EQ(fit.size(), std::min<size_t>(300, nLimit));
    Write(fit.substr(m_strFolder.size() + 1), Package(1, {{0x10, 4, 0x100, 0, CHECKSUM_NOT_GIVEN}}));
    CFirmwareFileEntry entry;
    ASSERT_TRUE(entry.Load(fit.c_str())) << entry.m_strError;
    EXPECT_EQ(std::string(entry.path), fit);
    EXPECT_TRUE(entry.sections[0]->LoadData(fit.c_str()));

    const std::string tooLong = m_strFolder + "/" + std::string(nLimit + 1 - m_strFolder.size(), 'x');
    ASSERT_GT(tooLong.size(), nLimit);
    CFirmwareFileEntry other;
    EXPECT_FALSE(other.Load(tooLong.c_str()));
    EXPECT_EQ(other.kind, KIND_UNKNOWN);
    EXPECT_NE(other.m_strError.find("too long"), std::string::npos);
    EXPECT_FALSE(other.ReadPackage(tooLong.c_str()));
    EXPECT_FALSE(other.ReadBinImage(tooLong.c_str(), false));
    EXPECT_NE(other.m_strError.find("too long"), std::string::npos);
    EXPECT_STREQ(other.path, "");
    CFirmwareSection section(4, 0x100, 0, 0x10, CHECKSUM_NOT_GIVEN);
    EXPECT_FALSE(section.LoadData(tooLong.c_str()));
    EXPECT_NE(section.m_strError.find("too long"), std::string::npos);
}

}  // namespace
