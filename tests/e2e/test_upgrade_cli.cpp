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
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

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

std::string TempPath(const char* name)
{
    return "/tmp/trailmark_cli_" + std::to_string(getpid()) + "_" + name;
}

// `trailmark receiver` in the background, with its ports file.
class CReceiverProcess {
public:
    explicit CReceiverProcess(const std::string& options)
        : m_strPorts(TempPath("ports")), m_strReport(TempPath("report.json"))
    {
        unlink(m_strPorts.c_str());
        unlink(m_strReport.c_str());
        m_nPid = fork();
        if (m_nPid == 0) {
            const std::string command = "exec " + kTool + " receiver " + options + " --ports-file " + m_strPorts +
                                        " --report " + m_strReport + " >/dev/null";
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && Port().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~CReceiverProcess() { Stop(); }
    std::string Port() const
    {
        std::ifstream in(m_strPorts);
        std::string line;
        std::getline(in, line);
        return line;
    }
    // Ends it as a service bench would (SIGTERM) and returns its report.
    std::string Stop()
    {
        if (m_nPid > 0) {
            kill(m_nPid, SIGTERM);
            waitpid(m_nPid, nullptr, 0);
            m_nPid = -1;
        }
        std::ifstream in(m_strReport);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    pid_t m_nPid = -1;
    std::string m_strPorts;
    std::string m_strReport;
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

TEST(UpgradeCommand, JsonGivesOneEventALineEndingWithTheResult)
{
    CReceiverProcess receiver("");
    const COutput out = RunTool("upgrade --json --port " + receiver.Port() + " --package " + kSample);
    EXPECT_EQ(out.status, 0) << out.text;
    std::istringstream lines(out.text);
    std::string line, last;
    int events = 0;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.rfind("{\"event\":\"", 0), 0u) << line;
        ++events;
        last = line;
    }
    EXPECT_GT(events, 50);
    EXPECT_NE(last.find("\"event\":\"result\""), std::string::npos) << last;
    EXPECT_NE(last.find("\"success\":true"), std::string::npos) << last;
}

TEST(UpgradeCommand, FailuresHaveTheirOwnExitStatus)
{
    const COutput missingPort = RunTool("upgrade --port /dev/trailmark-no-such-port --package " + kSample);
    EXPECT_EQ(missingPort.status, 3) << missingPort.text;
    EXPECT_NE(missingPort.text.find("trailmark-no-such-port"), std::string::npos) << missingPort.text;

    const COutput badPackage = RunTool("upgrade --port /dev/null --package /nonexistent/firmware.q");
    EXPECT_EQ(badPackage.status, 4) << badPackage.text;

    const COutput usage = RunTool("upgrade --options zebra");
    EXPECT_EQ(usage.status, 2) << usage.text;
}

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
