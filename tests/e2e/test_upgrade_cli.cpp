// The command-line program's receiver, upgrade and ports commands, run as a
// user would run them: exit statuses, closing lines, JSON events.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ToolRun.h"

namespace {

const std::string kTool = std::string(TRAILMARK_BINARY_DIR) + "/tools/trailmark";
const std::string kSample = std::string(TRAILMARK_BINARY_DIR) + "/Corvid_FW_v1.82-Boot.q";

struct COutput {
    int status = -1;
    std::string text;
};

COutput RunTool(const std::string& arguments)
{
    COutput out;
    FILE* pipe = popen((kTool + " " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.text.append(buffer, n);
    const int status = pclose(pipe);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

// A folder of this test process's own for the receivers' ports and reports.
std::filesystem::path ReceiverFolder()
{
    const std::filesystem::path folder = "/tmp/trailmark_cli_" + std::to_string(getpid());
    std::filesystem::create_directories(folder);
    return folder;
}

// `trailmark receiver` in the background, with its ports file.
class CReceiverProcess : public toolrun::CReceiverProcess {
public:
    explicit CReceiverProcess(const std::string& options) : toolrun::CReceiverProcess(ReceiverFolder(), options) {}
};

TEST(ReceiverCommand, PrintsItsPortAnnouncesItsBootLoaderAndReportsOnExit)
{
    CReceiverProcess receiver("--board 5 --chip AT49BV16X4 --mode boot");
    const std::string port = receiver.Port();
    ASSERT_FALSE(port.empty());
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B19200);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 10;
    tcsetattr(fd, TCSANOW, &tio);
    // The boot loader announces itself with packet 0x11 until contacted.
    uint8_t bytes[64];
    std::string seen;
    for (int i = 0; i < 10 && seen.find(std::string("\x01\x11", 2)) == std::string::npos; ++i) {
        const ssize_t n = read(fd, bytes, sizeof bytes);
        if (n > 0)
            seen.append(reinterpret_cast<char*>(bytes), static_cast<size_t>(n));
    }
    close(fd);
    EXPECT_NE(seen.find(std::string("\x01\x11", 2)), std::string::npos);
    const std::string report = receiver.Stop();
    EXPECT_NE(report.find("\"board\": 5"), std::string::npos) << report;
}

TEST(UpgradeCommand, UpgradesTheReceiverAndSaysSo)
{
    CReceiverProcess receiver("");
    ASSERT_FALSE(receiver.Port().empty());
    const COutput out = RunTool("upgrade --port " + receiver.Port() + " --package " + kSample);
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_NE(out.text.find("App: ModelK, v1.75"), std::string::npos) << out.text;
    EXPECT_NE(out.text.find("App: ModelK, v1.82"), std::string::npos) << out.text;
    EXPECT_NE(out.text.find("Successfully upgraded GPS firmware\n"), std::string::npos) << out.text;
}

// -q leaves only the closing line; -v adds the engine's trace (on stderr,
// which RunTool merges).
TEST(UpgradeCommand, QuietShowsOnlyTheResultVerboseAddsTheTrace)
{
    CReceiverProcess receiver("");
    const COutput out = RunTool("upgrade -q -v --port " + receiver.Port() + " --package " + kSample);
    EXPECT_EQ(out.status, 0) << out.text;
    EXPECT_NE(out.text.find("Successfully upgraded GPS firmware\n"), std::string::npos) << out.text;
    EXPECT_NE(out.text.find("engine: HLN_PROGRAM_FLASH 1 (Program flash succeeded)\n"), std::string::npos)
        << out.text;
    EXPECT_EQ(out.text.find("Overall progress"), std::string::npos) << out.text;
    EXPECT_EQ(out.text.find("App: ModelK"), std::string::npos) << out.text;
}

// Catches: an event a script cannot tie to its port, a summary that is not
// the last line or lacks the versions, serial number and board.
TEST(UpgradeCommand, JsonGivesOneEventALineEndingWithTheSummary)
{
    CReceiverProcess receiver("--serial JSON0001 --board 5");
    const COutput out = RunTool("upgrade --json --port " + receiver.Port() + " --package " + kSample);
    EXPECT_EQ(out.status, 0) << out.text;
    std::istringstream lines(out.text);
    std::string line, previous, last;
    int events = 0;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.rfind("{\"event\":\"", 0), 0u) << line;
        if (line.rfind("{\"event\":\"summary\"", 0) != 0) {
            EXPECT_NE(line.find(",\"port\":\"" + receiver.Port() + "\","), std::string::npos) << line;
        }
        ++events;
        previous = last;
        last = line;
    }
    EXPECT_GT(events, 50);
    EXPECT_NE(previous.find("\"event\":\"result\""), std::string::npos) << previous;
    EXPECT_NE(previous.find("\"success\":true"), std::string::npos) << previous;
    for (const char* field : {"\"event\":\"summary\",\"success\":true,\"exit_status\":0,", "\"result\":\"upgraded\"",
                              "\"old_app_version\":\"v1.75\"", "\"new_app_version\":\"v1.82\"", "\"board\":5",
                              "\"serial\":\"JSON0001\"", "\"retries\":0", "\"failed_step\":null"})
        EXPECT_NE(last.find(field), std::string::npos) << field << "\n" << last;
}

// Each row is a command line that must be refused, or answered, before any
// run begins. Catches: a run that silently opens COM1 when --port is missing,
// a typed path shown under a COM name the user never typed, option bits that
// no option has accepted, a bad package reported only after the run began,
// and no --version.
TEST(UpgradeCommand, ArgumentsAreCheckedBeforeAnythingRuns)
{
    struct CRow {
        std::string strArguments;
        int nStatus;
        const char* pszExpected;
        const char* pszForbidden;
    };
    const std::vector<CRow> rows = {
        {"upgrade --package " + kSample, 2, "'trailmark ports'", "Upgrade with"},
        {"upgrade --port /dev/trailmark-no-such-port --package " + kSample, 3,
         "trailmark: /dev/trailmark-no-such-port: no such serial device", "COM"},
        {"upgrade --port /dev/null --options 0xFFFFFFFF --package " + kSample, 2,
         "0x800 HLO_SKIP_FIRST_CLOSING_COMMAND", "Upgrade with"},
        {"upgrade --port /dev/null --package /nonexistent/firmware.q", 4, "/nonexistent/firmware.q", "Upgrade with"},
        {"upgrade --port COM1 --options zebra", 2, "zebra", "Upgrade with"},
        {"--version", 0, "trailmark " TRAILMARK_VERSION "\n", "required"},
        {"upgrade --port /dev/null --port /dev/null", 2, "'/dev/null' is given twice", "Upgrade with"},
        {"upgrade --port /dev/a --port /dev/b --secondary-port /dev/c", 2, "serve one receiver", "Upgrade with"},
        {"upgrade --ports-from /nonexistent/ports.txt", 2, "cannot read /nonexistent/ports.txt", "Upgrade with"},
        {"upgrade --port /dev/null --log /nonexistent/folder/bench.log --package " + kSample, 1, "--log: cannot open", "Upgrade with"},
        // Start failures reach a script as JSON objects as well.
        {"upgrade --json --port /dev/null --package /nonexistent/firmware.q", 4,
         "{\"event\":\"error\",\"exit_status\":4,\"reason\":\"/nonexistent/firmware.q", "Upgrade with"},
        {"upgrade --json --port /dev/trailmark-no-such-port --package " + kSample, 3,
         "{\"event\":\"error\",\"port\":\"/dev/trailmark-no-such-port\",\"exit_status\":3,", "\"success\":true"},
    };
    for (const CRow& row : rows) {
        SCOPED_TRACE(row.strArguments);
        const COutput out = RunTool(row.strArguments);
        EXPECT_EQ(out.status, row.nStatus) << out.text;
        EXPECT_NE(out.text.find(row.pszExpected), std::string::npos) << out.text;
        EXPECT_EQ(out.text.find(row.pszForbidden), std::string::npos) << out.text;
    }
}

// A receiver with a fault, the upgrade's options, and what must happen.
struct CPolicyCase {
    const char* pszName;
    const char* pszReceiver;
    const char* pszOptions;
    int nStatus;
    const char* pszExpected;   // in the output
    bool bRetry;               // a second run follows
    const char* pszReport;     // in the receiver's report afterwards
};

void PrintTo(const CPolicyCase& c, std::ostream* os)
{
    *os << c.pszName;
}

class UpgradePolicyCommand : public ::testing::TestWithParam<CPolicyCase> {};

// Catches: a retry that skips a check the first run was held to (the
// version and family refusals used to be flashed by the retry and end
// "Successfully upgraded GPS firmware"), a retry after a partial erase that
// tries the command line an erased application cannot answer, and a first
// run that never reached the boot loader retried the same way.
TEST_P(UpgradePolicyCommand, RetryFollowsThePolicy)
{
    const CPolicyCase& c = GetParam();
    CReceiverProcess receiver(c.pszReceiver);
    ASSERT_FALSE(receiver.Port().empty());
    const COutput out =
        RunTool(std::string("upgrade ") + c.pszOptions + " --port " + receiver.Port() + " --package " + kSample);
    EXPECT_EQ(out.status, c.nStatus) << out.text;
    EXPECT_NE(out.text.find(c.pszExpected), std::string::npos) << out.text;
    EXPECT_EQ(out.text.find("Retry with") != std::string::npos, c.bRetry) << out.text;
    const std::string report = receiver.Stop();
    EXPECT_NE(report.find(c.pszReport), std::string::npos) << report;
}

const char* const UPGRADED = "\"application_valid\": true, \"application\": 182";

INSTANTIATE_TEST_SUITE_P(
    Reproductions, UpgradePolicyCommand,
    ::testing::Values(
        CPolicyCase{"VersionNotNewer", "--app-version 182", "--options 0x162", 1, "  v1.82 <= v1.82\n", false,
                    "\"erases\": 0,"},
        CPolicyCase{"FamilyMismatch", "--board 2", "", 1, "  Family: 12288 - BoardID: 2\n", false,
                    "\"erases\": 0,"},
        CPolicyCase{"FamilyCheckSkippedOnRequest", "--board 2", "--options 0x163", 0,
                    "Upgrade with options 0x163 (the device-family check is skipped", false, UPGRADED},
        // The third erase is in the application region (a monitor whose checks
        // cannot be used, so no blank sector is skipped): the application is
        // gone, only the boot loader answers, and it answers the wake text.
        // Upgraded, but on a monitor that cannot check its flash: status 5.
        CPolicyCase{"EraseRefusedAfterPartOfTheApplication", "--refuse 0x95:3:1 --monitor-checks refuses-flash", "", 5,
                    "Retry with options 0x123\n", true, UPGRADED},
        // A bit the chip left at 1 in the application's header, with every
        // flash check turned off: only the receiver's own report after the
        // upgrade shows that it has no valid application.
        CPolicyCase{"NotConfirmedByTheReceiver", "--weak-bit 1", "--verify none --no-retry", 1,
                    "Not confirmed: the receiver reports application v0.00 where the package carries v1.82", false,
                    "\"application_valid\": false"},
        // A monitor that accepts every sum: upgraded, but never as a plain success.
        CPolicyCase{"UnverifiedOnAMonitorThatAcceptsAnySum", "--monitor-checks accepts-any", "", 5,
                    "GPS firmware upgraded, but the flash could not be verified on this receiver", false, UPGRADED},
        // The boot loader never gives its identity to the first run, which
        // reached it by the command line: the retry tries the wake text.
        CPolicyCase{"BootLoaderNeverIdentified", "--refuse 0x8E:1:1", "--options 0x73", 0,
                    "Retry with options 0x163 (the device-family check is skipped", true, UPGRADED}),
    [](const ::testing::TestParamInfo<CPolicyCase>& info) { return std::string(info.param.pszName); });

TEST(UpgradeCommand, ReceiverThatNeverAnswersEndsInFailureWithAReason)
{
    CReceiverProcess receiver("--mode boot --no-boot");
    const COutput out = RunTool("upgrade --no-retry --port " + receiver.Port() + " --package " + kSample);
    EXPECT_EQ(out.status, 1) << out.text;
    EXPECT_NE(out.text.find("Failed to upgrade GPS firmware\n"), std::string::npos) << out.text;
    EXPECT_NE(out.text.find("Connect to receiver"), std::string::npos) << out.text;
}

TEST(PortsCommand, ListsNineComPortsAndHonoursOverrides)
{
    setenv("TRAILMARK_COM3", "/dev/pts/trailmark-test", 1);
    const COutput out = RunTool("ports");
    unsetenv("TRAILMARK_COM3");
    EXPECT_EQ(out.status, 0);
    for (int n = 1; n <= 9; ++n)
        EXPECT_NE(out.text.find("COM" + std::to_string(n) + ":"), std::string::npos) << out.text;
    EXPECT_NE(out.text.find("/dev/pts/trailmark-test"), std::string::npos) << out.text;
}

}  // namespace
