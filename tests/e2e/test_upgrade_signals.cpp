// `trailmark upgrade` when its session goes away under it: the reader of
// its output quits, its terminal hangs up, its standard error fills a disk.
// The program runs as a user would run it, against a virtual receiver in
// this process (unpaced, its flash slowed where a row needs time to act),
// and the receiver's flash says what the upgrade really did.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/UpgradeHarness.h"

using namespace harness;

namespace {

constexpr uint32_t APP_ADDRESS = 0x01020000;
constexpr uint32_t BOOT_ADDRESS = 0x01000000;
constexpr int RUN_LIMIT_S = 60;

enum EAction { NOTHING, CLOSE_OUTPUT, HANG_UP };

struct CSessionCase {
    const char* pszName;
    uint32_t nSlowFlashMs;  // so that the program flash lasts while the row acts
    uint32_t nLatencyMs;    // so that the data upload lasts while the row acts
    const char* pszStderr;
    const char* pszVerbose;
    const char* pszTrigger;  // the output line at which the row acts
    EAction eAction;
    int nStatus;
    bool bUpgraded;           // the flash holds the package; otherwise it is as it was
    const char* pszExpected;  // in the output the row could read to its end
};

struct CFlash {
    std::vector<uint8_t> app, boot;
    bool operator==(const CFlash&) const = default;
};

CFlash ReadFlash(CVirtualReceiver& receiver, size_t appSize, size_t bootSize)
{
    CFlash flash;
    receiver.ReadMemory(APP_ADDRESS, static_cast<uint32_t>(appSize), flash.app);
    receiver.ReadMemory(BOOT_ADDRESS, static_cast<uint32_t>(bootSize), flash.boot);
    return flash;
}

// Runs the program with its standard output on a pipe that this thread
// reads line by line; at the trigger line it closes the pipe or sends
// SIGHUP. Returns the exit status (-1 when a signal ended the program) and
// what it read.
int RunUpgradeProgram(const CSessionCase& c, const std::string& port, std::string& output)
{
    const std::string tool = std::string(TRAILMARK_BINARY_DIR) + "/tools/trailmark";
    std::vector<std::string> args = {tool, "upgrade", "--port", port, "--package", SamplePath(), "--no-retry"};
    if (*c.pszVerbose != '\0')
        args.push_back(c.pszVerbose);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -2;
    const pid_t pid = fork();
    if (pid == 0) {
        const int err = open(c.pszStderr, O_WRONLY);
        if (err < 0 || dup2(pipeFds[1], 1) < 0 || dup2(err, 2) < 0)
            _exit(127);
        close(pipeFds[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    int reader = pipeFds[0];
    std::string line;
    bool acted = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(RUN_LIMIT_S);
    while (reader >= 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd wait = {reader, POLLIN, 0};
        if (poll(&wait, 1, 200) <= 0)
            continue;
        char byte;
        if (read(reader, &byte, 1) != 1)
            break;
        output += byte;
        if (byte != '\n') {
            line += byte;
            continue;
        }
        if (!acted && c.eAction != NOTHING && line == c.pszTrigger) {
            acted = true;
            if (c.eAction == CLOSE_OUTPUT) {
                close(reader);
                reader = -1;
            } else {
                kill(pid, SIGHUP);
            }
        }
        line.clear();
    }
    if (reader >= 0)
        close(reader);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void PrintTo(const CSessionCase& c, std::ostream* os)
{
    *os << c.pszName;
}

class SessionEnd : public ::testing::TestWithParam<CSessionCase> {};

// Catches: a reader that quits (`| sed '/Program flash/q'`) or a terminal
// that hangs up killing the program between erase and program (SIGPIPE,
// SIGHUP: the receiver left without firmware), a hang-up that no longer
// cancels a run that has not yet touched the flash, and a trace on a full
// disk ending the upgrade or silencing standard output with it.
TEST_P(SessionEnd, TheUpgradeEndsAsItsExitStatusSays)
{
    const CSessionCase& c = GetParam();
    CReceiverConfig config;
    config.m_nSlowFlashMs = c.nSlowFlashMs;
    config.m_nLatencyMs = c.nLatencyMs;
    CVirtualReceiver receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    const std::vector<uint8_t> app = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/app.bin");
    const std::vector<uint8_t> boot = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/boot.bin");
    ASSERT_FALSE(app.empty());
    ASSERT_FALSE(boot.empty());
    const CFlash before = ReadFlash(receiver, app.size(), boot.size());

    std::string output;
    const int status = RunUpgradeProgram(c, receiver.SlavePaths()[0], output);
    EXPECT_EQ(status, c.nStatus) << output;
    const CFlash after = ReadFlash(receiver, app.size(), boot.size());
    receiver.Stop();
    if (c.bUpgraded) {
        EXPECT_TRUE(after.app == app) << "the application flash differs from app.bin";
        EXPECT_TRUE(after.boot == boot) << "the boot flash differs from boot.bin";
    } else {
        EXPECT_TRUE(after == before) << "the flash was touched";
    }
    EXPECT_NE(output.find(c.pszExpected), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(
    Reproductions, SessionEnd,
    ::testing::Values(
        CSessionCase{"ReaderQuitsAtProgramFlash", 10, 0, "/dev/null", "", "Program flash", CLOSE_OUTPUT, 0, true,
                     "Program flash\n"},
        CSessionCase{"HangUpDuringProgramFlash", 10, 0, "/dev/null", "", "Program flash", HANG_UP, 0, true,
                     "Cannot stop now: the receiver's flash is being written"},
        CSessionCase{"HangUpDuringDataUpload", 0, 3, "/dev/null", "", "Upload data", HANG_UP, 130, false,
                     "Interrupted: stopping the upgrade\n"},
        CSessionCase{"TraceOnAFullDisk", 0, 0, "/dev/full", "-v", "", NOTHING, 0, true,
                     "Successfully upgraded GPS firmware\n"}),
    [](const ::testing::TestParamInfo<CSessionCase>& info) { return std::string(info.param.pszName); });

}  // namespace
