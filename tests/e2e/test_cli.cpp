// The `trailmark` program end to end: info, unpack and pack on the sample
// firmware and on packages made here, and the exit status and one error line
// of each failure.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string TRAILMARK = TRAILMARK_BINARY_DIR "/tools/trailmark";
const fs::path SAMPLE_DIR = TRAILMARK_BINARY_DIR;
const fs::path SAMPLE = SAMPLE_DIR / "Corvid_FW_v1.82-Boot.q";

struct CRun {
    int m_nStatus = -1;
    std::string m_strOut;
    std::string m_strErr;
};

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> ReadBytes(const fs::path& path)
{
    std::string text = ReadText(path);
    return {text.begin(), text.end()};
}

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A minimal JSON syntax check: enough to catch unescaped texts, stray or
// missing commas and unbalanced brackets.
class CJsonCheck {
public:
    explicit CJsonCheck(const std::string& text) : m_str(text) {}
    bool Valid()
    {
        bool ok = Value();
        Space();
        return ok && m_nPos == m_str.size();
    }

private:
    void Space()
    {
        while (m_nPos < m_str.size() && std::isspace(static_cast<unsigned char>(m_str[m_nPos])))
            ++m_nPos;
    }
    bool Take(char c)
    {
        Space();
        if (m_nPos < m_str.size() && m_str[m_nPos] == c)
            return ++m_nPos, true;
        return false;
    }
    bool String()
    {
        if (!Take('"'))
            return false;
        while (m_nPos < m_str.size() && m_str[m_nPos] != '"') {
            if (static_cast<unsigned char>(m_str[m_nPos]) < 0x20)
                return false;
            m_nPos += m_str[m_nPos] == '\\' ? 2 : 1;
        }
        return m_nPos++ < m_str.size();
    }
    bool Value()
    {
        Space();
        if (m_nPos >= m_str.size())
            return false;
        char c = m_str[m_nPos];
        if (c == '"')
            return String();
        if (c == '{' || c == '[')
            return Container(c == '{' ? '}' : ']', c == '{');
        size_t start = m_nPos;
        while (m_nPos < m_str.size() && std::string("-+.eE0123456789truefalsn").find(m_str[m_nPos]) != std::string::npos)
            ++m_nPos;
        return m_nPos > start;
    }
    bool Container(char close, bool keyed)
    {
        ++m_nPos;
        if (Take(close))
            return true;
        do {
            if (keyed && !(String() && Take(':')))
                return false;
            if (!Value())
                return false;
        } while (Take(','));
        return Take(close);
    }

    std::string m_str;
    size_t m_nPos = 0;
};

class TrailmarkCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/trailmark-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Folder = pattern;
        ASSERT_TRUE(fs::exists(SAMPLE)) << "the build makes the sample firmware";
    }
    void TearDown() override { fs::remove_all(m_Folder); }

    // Runs the program with its output captured in files of the temp folder.
    CRun Run(const std::vector<std::string>& args)
    {
        fs::path out = m_Folder / "stdout.txt", err = m_Folder / "stderr.txt";
        std::vector<char*> argv{const_cast<char*>(TRAILMARK.c_str())};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(m_Folder.c_str()) != 0)
                _exit(127);
            execv(argv[0], argv.data());
            _exit(127);
        }
        CRun run;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            run.m_nStatus = WEXITSTATUS(status);
        run.m_strOut = ReadText(out);
        run.m_strErr = ReadText(err);
        fs::remove(out);
        fs::remove(err);
        return run;
    }

    // The folder's entries, to prove a failed command wrote nothing.
    std::vector<std::string> Entries(const fs::path& folder) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path m_Folder;
};

size_t Count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// `pattern` with each '#' standing for one upper-case hex digit.
bool MatchesPattern(const std::string& text, const std::string& pattern)
{
    if (text.size() != pattern.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool hex = std::isdigit(static_cast<unsigned char>(text[i])) ||
                   (text[i] >= 'A' && text[i] <= 'F');
        if (pattern[i] == '#' ? !hex : text[i] != pattern[i])
            return false;
    }
    return true;
}

void PutLe32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A package of one section with flags APP|COMPRESSED and the given data,
// written byte by byte so that the data can be anything.
std::vector<uint8_t> OneCompressedSection(const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> bytes{'Q', 'F', 'W', '2'};
    bytes.resize(68, 0);
    for (uint32_t value : {1u, 0x3000u, 0x22u, uint32_t(data.size()), 0x01020000u, 96u})
        PutLe32(bytes, value);
    uint32_t sum = 0;
    for (uint8_t b : data)
        sum += b;
    PutLe32(bytes, sum);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

struct CRawSection {
    uint32_t flags;
    uint32_t address;
    std::vector<uint8_t> data;
};

// A package written byte by byte, so that it can hold what `pack` refuses.
// The application header's magic, as it begins an application image.
constexpr uint8_t APP_HEADER_MAGIC[4] = {0xD6, 0xC7, 0xB8, 0xA9};

std::vector<uint8_t> RawPackage(const std::vector<CRawSection>& sections)
{
    std::vector<uint8_t> bytes{'Q', 'F', 'W', '2'};
    bytes.resize(68, 0);
    PutLe32(bytes, uint32_t(sections.size()));
    PutLe32(bytes, 0x3000);
    uint32_t offset = uint32_t(76 + 20 * sections.size());
    for (const CRawSection& section : sections) {
        uint32_t sum = 0;
        for (uint8_t b : section.data)
            sum += b;
        for (uint32_t value : {section.flags, uint32_t(section.data.size()), section.address, offset, sum})
            PutLe32(bytes, value);
        offset += uint32_t(section.data.size());
    }
    for (const CRawSection& section : sections)
        bytes.insert(bytes.end(), section.data.begin(), section.data.end());
    return bytes;
}

// splitmix64, so the "random" input is the same on every run.
std::vector<uint8_t> RandomBytes(size_t size)
{
    std::vector<uint8_t> bytes(size);
    uint64_t state = 12345;
    for (uint8_t& b : bytes) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        b = static_cast<uint8_t>(z ^ (z >> 31));
    }
    return bytes;
}

}  // namespace

// Catches a report that misses a section, the staged total or a version.
TEST_F(TrailmarkCli, InfoShowsBothSectionsAndBothVersions)
{
    CRun run = Run({"info", SAMPLE.string()});
    ASSERT_EQ(run.m_nStatus, 0) << run.m_strErr;
    EXPECT_NE(run.m_strOut.find("Corvid FW v1.82 Boot"), std::string::npos);
    EXPECT_NE(run.m_strOut.find("APP|COMPRESSED"), std::string::npos);
    EXPECT_NE(run.m_strOut.find("BOOT|PLAIN"), std::string::npos);
    EXPECT_NE(run.m_strOut.find("0x01020000"), std::string::npos);
    EXPECT_NE(run.m_strOut.find("expanded 393216"), std::string::npos);
    EXPECT_NE(run.m_strOut.find("Staged total:"), std::string::npos);
    EXPECT_NE(run.m_strOut.find("device family 0x3000"), std::string::npos);
    EXPECT_EQ(Count(run.m_strOut, "v1.82\n"), 2u) << run.m_strOut;
    EXPECT_NE(run.m_strOut.find("RAM needed:"), std::string::npos);
    EXPECT_EQ(run.m_strOut.find("warning"), std::string::npos) << "the sample suits every receiver";
}

// Catches `info` keeping quiet about a package that some receivers cannot
// take: one whose staged image overfills the 512 KiB boards, and whose second
// application section's erase wipes the first on both chips.
TEST_F(TrailmarkCli, InfoWarnsAboutTheReceiversAPackageDoesNotFit)
{
    std::vector<uint8_t> application = RandomBytes(600000);
    std::copy_n(APP_HEADER_MAGIC, 4, application.begin());
    WriteBytes(m_Folder / "two.q", RawPackage({{0x12, 0x01020000, application},
                                              {0x12, 0x01100000, RandomBytes(8192)}}));
    CRun run = Run({"info", "two.q"});
    ASSERT_EQ(run.m_nStatus, 0) << run.m_strErr;
    EXPECT_NE(run.m_strOut.find("RAM needed:    608256 bytes"), std::string::npos) << run.m_strOut;
    EXPECT_NE(run.m_strOut.find("at 0x05000000: warning: the image needs 608256 bytes of RAM"), std::string::npos)
        << run.m_strOut;
    EXPECT_EQ(Count(run.m_strOut, ": fits"), 3u) << run.m_strOut;
    for (const char* chip : {"AT49BV16X4   warning: ", "AT49LV8011   warning: "})
        EXPECT_NE(run.m_strOut.find(std::string(chip) + "the \"Prepare flash\" of section 1 erases"),
                  std::string::npos)
            << run.m_strOut;
    CRun json = Run({"info", "two.q", "--json"});
    ASSERT_EQ(json.m_nStatus, 0);
    EXPECT_TRUE(CJsonCheck(json.m_strOut).Valid()) << json.m_strOut;
    EXPECT_NE(json.m_strOut.find("\"ramNeeded\":608256"), std::string::npos) << json.m_strOut;
    EXPECT_EQ(Count(json.m_strOut, "\"fits\":false"), 3u) << json.m_strOut;
}

// Catches JSON that does not parse or lacks the report's fields.
TEST_F(TrailmarkCli, InfoJsonIsOneValidObject)
{
    CRun run = Run({"info", SAMPLE.string(), "--json"});
    ASSERT_EQ(run.m_nStatus, 0) << run.m_strErr;
    EXPECT_TRUE(CJsonCheck(run.m_strOut).Valid()) << run.m_strOut;
    for (const char* key : {"\"kind\":\"package\"", "\"familyWord\":12288", "\"sections\":[",
                            "\"expandedLength\":393216", "\"stagedTotal\":",
                            "\"appVersion\":\"v1.82\"", "\"bootVersion\":\"v1.82\""})
        EXPECT_NE(run.m_strOut.find(key), std::string::npos) << key;
}

// Catches unpacking that stores the wrong bytes or expands wrongly.
TEST_F(TrailmarkCli, UnpackGivesBackTheSampleImages)
{
    fs::path out = m_Folder / "a" / "b";
    CRun run = Run({"unpack", SAMPLE.string(), out.string()});
    ASSERT_EQ(run.m_nStatus, 0) << run.m_strErr;
    EXPECT_EQ(Entries(out), (std::vector<std::string>{"section-0.bin", "section-0.expanded.bin",
                                                      "section-1.bin"}));
    EXPECT_EQ(ReadBytes(out / "section-0.expanded.bin"), ReadBytes(SAMPLE_DIR / "app.bin"));
    EXPECT_EQ(ReadBytes(out / "section-1.bin"), ReadBytes(SAMPLE_DIR / "boot.bin"));
}

// Catches pack or unpack corrupting data that is hard for the compressor
// (single bytes, runs, escape-like values, noise), compressed or plain.
TEST_F(TrailmarkCli, PackThenUnpackRoundTrips)
{
    std::vector<uint8_t> allValues;
    for (int round = 0; round < 40; ++round)
        for (int v = 0; v < 256; ++v)
            allValues.push_back(static_cast<uint8_t>(round % 2 ? 255 - v : v));
    std::vector<uint8_t> runs;
    for (int v : {0x00, 0xFF, 0x42, 0xF1})
        runs.insert(runs.end(), 70000, static_cast<uint8_t>(v));
    struct {
        const char* pszName;
        std::vector<uint8_t> bytes;
    } const rows[] = {{"one word", {0xF5, 0x0A}},
                      {"long runs", runs},
                      {"all values", allValues},
                      {"random 100 KiB", RandomBytes(100 * 1024)}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pszName);
        fs::path input = m_Folder / "input.bin", package = m_Folder / "p.q", out = m_Folder / "out";
        WriteBytes(input, row.bytes);
        // One package each: two application sections would erase each other.
        for (const char* flags : {"app,compressed", "app,plain"}) {
            // Bytes without the application header: a raw image.
            CRun pack = Run({"pack", package.string(), "--name", row.pszName, "--family", "0x3000", "--raw-image",
                             "--section", std::string(flags) + ":0x01020000:" + input.string()});
            ASSERT_EQ(pack.m_nStatus, 0) << pack.m_strErr;
            CRun unpack = Run({"unpack", package.string(), out.string()});
            ASSERT_EQ(unpack.m_nStatus, 0) << unpack.m_strErr;
            EXPECT_EQ(ReadBytes(out / (flags[4] == 'c' ? "section-0.expanded.bin" : "section-0.bin")), row.bytes)
                << flags;
            fs::remove_all(out);
        }
    }
}

// Catches a corrupted section reported as success or with a vague message,
// and a failed unpack that leaves files behind.
TEST_F(TrailmarkCli, CorruptChecksumIsRejectedWithItsSection)
{
    std::vector<uint8_t> bytes = ReadBytes(SAMPLE);
    bytes[bytes.size() - 100] ^= 0x01;  // inside the boot section, the last one
    fs::path bad = m_Folder / "bad.q";
    WriteBytes(bad, bytes);
    // `info` proves the package as the upgrade does, and names the file.
    CRun info = Run({"info", bad.string()});
    EXPECT_EQ(info.m_nStatus, 4);
    EXPECT_TRUE(MatchesPattern(info.m_strErr, "trailmark: " + bad.string() +
                                                  ": section 1 (BOOT|PLAIN at 0x01000000): checksum 0x######## "
                                                  "expected, 0x######## found\n"))
        << info.m_strErr;
    CRun unpack = Run({"unpack", bad.string(), (m_Folder / "out").string()});
    EXPECT_EQ(unpack.m_nStatus, 4);
    EXPECT_TRUE(MatchesPattern(unpack.m_strErr, "trailmark: section 1: checksum 0x######## expected, 0x######## found\n"))
        << unpack.m_strErr;
    EXPECT_FALSE(fs::exists(m_Folder / "out"));
}

// Catches `info` describing a package without sections as if it could be
// upgraded, instead of giving the reason the upgrade refuses it for.
TEST_F(TrailmarkCli, InfoRefusesAPackageWithoutImageData)
{
    std::vector<uint8_t> header{'Q', 'F', 'W', '2'};
    header.resize(76, 0);
    WriteBytes(m_Folder / "empty.q", header);
    CRun run = Run({"info", "empty.q"});
    EXPECT_EQ(run.m_nStatus, 4);
    EXPECT_EQ(run.m_strErr,
              "trailmark: empty.q: the package holds no image data (it has no sections): there is nothing to upgrade\n");
}

// Catches a cut package read as if whole, or a missing package not reported.
TEST_F(TrailmarkCli, TruncatedOrMissingPackageIsRejected)
{
    std::vector<uint8_t> bytes = ReadBytes(SAMPLE);
    for (size_t keep : {size_t(50), size_t(100), bytes.size() - 1}) {
        fs::path cut = m_Folder / "cut.q";
        WriteBytes(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(keep)));
        CRun run = Run({"info", cut.string()});
        EXPECT_EQ(run.m_nStatus, 4) << keep;
        EXPECT_EQ(Count(run.m_strErr, "\n"), 1u) << run.m_strErr;
        EXPECT_EQ(run.m_strErr.rfind("trailmark: ", 0), 0u) << run.m_strErr;
    }
    EXPECT_EQ(Run({"unpack", "nothere.q", "out"}).m_nStatus, 4);
    EXPECT_FALSE(fs::exists(m_Folder / "out"));
}

// Catches bad pack arguments accepted, a failure without its one line, or a
// package (or temporary file) left behind by a failed pack.
TEST_F(TrailmarkCli, PackRefusesBadArgumentsAndWritesNothing)
{
    WriteBytes(m_Folder / "data.bin", {1, 2, 3, 4});
    WriteBytes(m_Folder / "app.bin", {APP_HEADER_MAGIC[0], APP_HEADER_MAGIC[1], APP_HEADER_MAGIC[2], APP_HEADER_MAGIC[3]});
    WriteBytes(m_Folder / "empty.bin", {});
    WriteBytes(m_Folder / "big.bin", std::vector<uint8_t>(0xD000, 0xFF));  // over the 48 KiB boot region
    struct {
        std::vector<std::string> args;
        int nStatus;
        const char* pszMessage;
    } const rows[] = {
        // A file that cannot be read fails (1); an argument that cannot be
        // meant is a usage error (2).
        {{"--section", "app,plain:0x100:missing.bin"}, 1, "missing.bin"},
        {{"--section", "app,plain:0x100:empty.bin"}, 1, "empty"},
        {{"--section", "app,plain:0:data.bin"}, 2, "address 0"},
        {{"--section", "app,plain:0x1g:data.bin"}, 2, "address"},
        {{"--section", "app,plian:0x100:data.bin"}, 2, "unknown flag \"plian\""},
        {{"--section", "plain,compressed:0x100:data.bin"}, 2, "both plain and compressed"},
        {{"--section", "app:data.bin"}, 2, "FLAGS:ADDRESS:FILE"},
        {{"--section", "boot,plain:0x100:data.bin", "--section", "app:5:missing.bin"}, 1,
         "section 1: "},
        {{"--section", "app:0x100:data.bin", "--name", std::string(33, 'n'), "--family", "0"}, 2,
         "32 characters"},
        {{"--section", "app:0x100:data.bin", "--name", "n", "--family", "x"}, 2, "--family"},
        {{"--section", "app,plain:0x01020000:app.bin", "--section", "app,plain:0x01100000:data.bin"}, 4,
         "out.q: the package fits the flash of no known receiver (AT49BV16X4: the \"Prepare flash\" of section 1 "
         "erases"},
        {{"--section", "boot,plain:0x01000000:big.bin"}, 4,
         "out.q: section 0 (BOOT|PLAIN at 0x01000000): the boot image runs to 0x0100D000, past the end of the boot "
         "region at 0x0100C000"},
        {{"--section", "app:0x100:data.bin", "--bogus"}, 2, "--bogus"},
        {{}, 2, "--section"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args{"pack", "out.q"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        if (std::find(args.begin(), args.end(), "--name") == args.end())
            args.insert(args.end(), {"--name", "n", "--family", "0"});
        CRun run = Run(args);
        EXPECT_EQ(run.m_nStatus, row.nStatus) << row.pszMessage;
        EXPECT_EQ(Count(run.m_strErr, "\n"), 1u) << run.m_strErr;
        EXPECT_EQ(run.m_strErr.rfind("trailmark: ", 0), 0u) << run.m_strErr;
        EXPECT_NE(run.m_strErr.find(row.pszMessage), std::string::npos) << run.m_strErr;
        EXPECT_EQ(Entries(m_Folder), (std::vector<std::string>{"app.bin", "big.bin", "data.bin", "empty.bin"}));
    }
}

// Catches unpack writing a short or oversized expansion instead of refusing
// a stream that disagrees with its prefix.
TEST_F(TrailmarkCli, UnpackRefusesStreamsThatDisagreeWithTheirPrefix)
{
    const std::vector<uint8_t> stream{0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0x41, 0xF1, 0x42, 0x03};
    struct {
        uint32_t nStreamLength;
        uint32_t nExpandedLength;
        const char* pszMessage;
    } const rows[] = {{10, 100, "expands to 4 bytes, the prefix says 100"},
                      {10, 2, "expands to 4 bytes, the prefix says 2"},
                      {11, 4, "no valid prefix"},
                      {10, 0x7FFFFFFF, "exceeds the limit"}};
    for (const auto& row : rows) {
        std::vector<uint8_t> data;
        PutLe32(data, row.nStreamLength);
        PutLe32(data, row.nExpandedLength);
        data.resize(16, 0);
        data.insert(data.end(), stream.begin(), stream.end());
        WriteBytes(m_Folder / "odd.q", OneCompressedSection(data));
        CRun run = Run({"unpack", "odd.q", "out"});
        EXPECT_EQ(run.m_nStatus, 4) << row.pszMessage;
        EXPECT_NE(run.m_strErr.find(row.pszMessage), std::string::npos) << run.m_strErr;
        EXPECT_FALSE(fs::exists(m_Folder / "out"));
    }
    // The same stream with a truthful prefix unpacks.
    std::vector<uint8_t> good;
    PutLe32(good, 10);
    PutLe32(good, 4);
    good.resize(16, 0);
    good.insert(good.end(), stream.begin(), stream.end());
    WriteBytes(m_Folder / "good.q", OneCompressedSection(good));
    ASSERT_EQ(Run({"unpack", "good.q", "out"}).m_nStatus, 0);
    EXPECT_EQ(ReadBytes(m_Folder / "out" / "section-0.expanded.bin"),
              (std::vector<uint8_t>{0x41, 0x42, 0x42, 0x42}));
}
