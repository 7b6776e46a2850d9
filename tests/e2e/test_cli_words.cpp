// What `trailmark` says and which exit status it gives, as a user meets it:
// usage errors, package files by any name and path, the family mismatch,
// the failure text of a run that reached nothing, missing ports, the
// closing lines of one receiver, the retry trace and the upgrade record the
// receiver keeps. Each row is one command line, against a virtual receiver
// when it needs one (unpaced).
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/e2e/ToolRun.h"

namespace fs = std::filesystem;

namespace {

struct CWordsCase {
    const char* pszName;
    const char* pszReceiver;  // the receiver's options; null: no receiver
    std::vector<std::string> args;  // "{port}", "{long}" and "{app}" stand for what the row needs
    std::vector<std::string> env;
    int nStatus;
    std::vector<std::string> expected;  // in stdout or stderr
    const char* pszForbidden;           // in neither; null for none
    const char* pszOnce;                // exactly once; null for no such check
    const char* pszReport;              // in the receiver's report; null for none
};

void PrintTo(const CWordsCase& c, std::ostream* os)
{
    *os << c.pszName;
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class CliWords : public ::testing::TestWithParam<CWordsCase> {
protected:
    void SetUp() override
    {
        m_Folder = fs::temp_directory_path() / ("trailmark-words-" + std::to_string(getpid()));
        fs::remove_all(m_Folder);
        fs::create_directories(m_Folder);
        ASSERT_TRUE(fs::exists(toolrun::SAMPLE)) << "the build makes the sample firmware";
        // The sample under names that say nothing of its kind, or say it in
        // capitals; an image by capitals; a path longer than 259 bytes.
        fs::copy_file(toolrun::SAMPLE, m_Folder / "FIRMWARE.Q");
        fs::copy_file(toolrun::SAMPLE, m_Folder / "FIRMWARE");
        fs::copy_file(fs::path(TRAILMARK_BINARY_DIR) / "app.bin", m_Folder / "IMAGE.BIN");
        fs::path deep = m_Folder;
        for (int i = 0; i < 4; ++i)
            deep /= std::string(70, static_cast<char>('a' + i));
        fs::create_directories(deep);
        m_strLong = (deep / "Corvid_FW_v1.82-Boot.q").string();
        fs::copy_file(toolrun::SAMPLE, m_strLong);
        std::ofstream(m_Folder / "ports.txt") << "# the bench's tray\n\n   # none yet\n";
    }
    void TearDown() override { fs::remove_all(m_Folder); }

    std::string Expand(std::string arg, const std::string& port) const
    {
        const std::pair<std::string, std::string> names[] = {
            {"{port}", port}, {"{long}", m_strLong}, {"{app}", TRAILMARK_BINARY_DIR "/app.bin"}};
        for (const auto& [name, value] : names)
            if (arg == name)
                return value;
        return arg;
    }

    fs::path m_Folder;
    std::string m_strLong;
};

// Catches (item by item): usage errors that exit 1, an unknown word taken
// for a missing subcommand, a ports file of comments read as no --port; a
// path of more than 259 bytes refused on Linux, a package refused for its
// name's case or its missing extension; families named in decimal; the
// advice of a run that reached nothing said twice; a device set for COM3
// that is not there listed as present; one receiver ending without its
// versions, time, rate and flash check; a retry that does not say what it
// sends again and why; an upgrade record that says the boot loader went
// to 0.
TEST_P(CliWords, SaysWhatItMeans)
{
    const CWordsCase& c = GetParam();
    std::unique_ptr<toolrun::CReceiverProcess> receiver;
    std::string port;
    if (c.pszReceiver != nullptr) {
        receiver = std::make_unique<toolrun::CReceiverProcess>(m_Folder, c.pszReceiver);
        port = receiver->Port();
        ASSERT_FALSE(port.empty());
    }
    std::vector<std::string> args;
    for (const std::string& arg : c.args)
        args.push_back(Expand(arg, port));
    const toolrun::CToolResult run = toolrun::RunTool(m_Folder, args, c.env, 120);
    const std::string text = run.m_strOut + run.m_strErr;
    EXPECT_EQ(run.m_nStatus, c.nStatus) << text;
    for (const std::string& part : c.expected)
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    if (c.pszForbidden != nullptr) {
        EXPECT_EQ(text.find(c.pszForbidden), std::string::npos) << text;
    }
    if (c.pszOnce != nullptr) {
        EXPECT_EQ(Count(text, c.pszOnce), 1u) << text;
    }
    if (c.pszReport != nullptr) {
        const std::string report = receiver->Stop();
        EXPECT_NE(report.find(c.pszReport), std::string::npos) << report;
    }
}

const std::string PACKAGE = toolrun::SAMPLE;

INSTANTIATE_TEST_SUITE_P(
    Items, CliWords,
    ::testing::Values(
        CWordsCase{"PackFamilyNotANumber", nullptr,
                   {"pack", "out.q", "--name", "n", "--family", "zz", "--section", "app:0x01020000:{app}"}, {}, 2,
                   {"trailmark: --family: \"zz\" is not a 32-bit number"}, nullptr, nullptr, nullptr},
        CWordsCase{"PackNameTooLong", nullptr,
                   {"pack", "out.q", "--name", std::string(40, 'n'), "--family", "0x3000", "--section",
                    "app:0x01020000:{app}"},
                   {}, 2, {"at most 32 characters"}, nullptr, nullptr, nullptr},
        CWordsCase{"UnknownSubcommand", nullptr, {"bogus"}, {}, 2,
                   {"'bogus' is no subcommand of trailmark: the subcommands are info, unpack, pack, upgrade"},
                   "A subcommand is required", nullptr, nullptr},
        CWordsCase{"PortsFileOfComments", nullptr, {"upgrade", "--ports-from", "ports.txt"}, {}, 2,
                   {"--ports-from: ports.txt lists no port"}, "--port is required", nullptr, nullptr},
        CWordsCase{"PathLongerThan259Bytes", nullptr, {"info", "{long}"}, {}, 0, {"Kind:          package"},
                   "too long", nullptr, nullptr},
        CWordsCase{"CapitalExtension", nullptr, {"info", "FIRMWARE.Q"}, {}, 0, {"Kind:          package"},
                   nullptr, nullptr, nullptr},
        CWordsCase{"NoExtension", nullptr, {"info", "FIRMWARE"}, {}, 0, {"Kind:          package"}, nullptr,
                   nullptr, nullptr},
        CWordsCase{"CapitalImageExtension", nullptr, {"info", "IMAGE.BIN"}, {}, 0,
                   {"Kind:          application image"}, nullptr, nullptr, nullptr},
        CWordsCase{"FamilyInHexadecimal", "--board 4", {"upgrade", "--no-retry", "--port", "{port}", "--package",
                   PACKAGE}, {}, 1, {"the package is for device family 0x3000, board 4 needs 0x4000"},
                   "family 12288", nullptr, "\"erases\": 0,"},
        CWordsCase{"NothingAnswersAdviceOnce", "--mode boot --no-boot",
                   {"upgrade", "--port", "{port}", "--package", PACKAGE}, {}, 1,
                   {"(first run: Connect to receiver failed: the receiver did not answer the wake text on"},
                   nullptr, "check the cable", nullptr},
        CWordsCase{"MissingDeviceMarked", nullptr, {"ports"}, {"TRAILMARK_COM3=/dev/nonexist"}, 0,
                   {"COM3:  /dev/nonexist", "set by TRAILMARK_COM3 (missing: no such device)"}, nullptr, nullptr,
                   nullptr},
        CWordsCase{"OneReceiverClosingLines", "--serial WORDS001", {"upgrade", "--port", "{port}", "--package",
                   PACKAGE}, {}, 0,
                   {"Successfully upgraded GPS firmware\nReceiver WORDS001 (board 7): application v1.75 -> v1.82, "
                    "boot loader v1.20 -> v1.82, as it reports them\nTime ",
                    ", line rate 115200; flash checked by the monitor's byte sums\n"},
                   nullptr, nullptr, nullptr},
        CWordsCase{"RetryTraceNamesTheBlock", "--refuse data:40:1",
                   {"upgrade", "-v", "--port", "{port}", "--package", PACKAGE}, {}, 0,
                   {"engine: HLN_RETRY 1: data block 18 of ", "was refused, sent again\n",
                    "Attempt 1 failed: data block 18 of ", "engine: HLN_PROGRAM_FLASH 1 (Program flash succeeded)\n"},
                   nullptr, nullptr, nullptr},
        CWordsCase{"RecordKeepsTheBootVersion", "", {"upgrade", "--port", "{port}", "--package", "{app}"}, {}, 0,
                   {"boot loader v1.20 -> v1.20"}, nullptr, nullptr, " 175->182 120->120, BID:7 File:2 'app.bin'"}),
    [](const ::testing::TestParamInfo<CWordsCase>& info) { return std::string(info.param.pszName); });

}  // namespace
