// An upgrade cut off at any point is finished by running the tool again.
//
// `trailmark upgrade` is killed (SIGKILL: nothing of its own runs) at each
// point of the road, from the connection through the monitor and data
// uploads, the erase and programming of each section, to the final
// connection; the receiver is not switched off. A fresh run on the same
// receiver must then end upgraded, with the package in flash byte for byte
// and a receiver that still answers: the flash monitor the first run left
// behind is found and either ended (its boot loader whole) or used to finish
// the upgrade. Catches a receiver stranded in its monitor at 115200 baud,
// where neither the wake text nor the command line reaches it, and a monitor
// ended while the boot loader is half written.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/TempFolder.h"
#include "tests/e2e/UpgradeHarness.h"

using namespace harness;

namespace {

constexpr uint32_t APP_ADDRESS = 0x01020000;
constexpr uint32_t BOOT_ADDRESS = 0x01000000;
const std::vector<uint8_t>& App()
{
    static const std::vector<uint8_t> image = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/app.bin");
    return image;
}

const std::vector<uint8_t>& Boot()
{
    static const std::vector<uint8_t> image = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/boot.bin");
    return image;
}

// What the test sees while the first run goes: the program's lines so far
// and the receiver.
struct CProgress {
    const std::vector<std::string>& lines;
    CVirtualReceiver& receiver;
    bool Said(const std::string& text) const
    {
        for (const std::string& line : lines)
            if (line.find(text) != std::string::npos)
                return true;
        return false;
    }
    int Count(const std::string& text) const
    {
        int n = 0;
        for (const std::string& line : lines)
            n += line.find(text) != std::string::npos;
        return n;
    }
    // The flash is looked at directly (the report would take the receiver's
    // lock for as long as it sums the whole flash).
    bool Erased(uint32_t address) const
    {
        std::vector<uint8_t> head;
        return receiver.ReadMemory(address, 64, head) && head == std::vector<uint8_t>(64, 0xFF);
    }
    // The 4096-byte piece `piece` of an image at `address` is programmed.
    bool Programmed(uint32_t address, const std::vector<uint8_t>& image, uint32_t piece) const
    {
        std::vector<uint8_t> flash;
        const uint32_t offset = piece * 4096 + 4000;
        return receiver.ReadMemory(address + offset, 64, flash) &&
               std::equal(flash.begin(), flash.end(), image.begin() + offset);
    }
};

struct CKillPoint {
    const char* pszName;
    std::function<bool(const CProgress&)> reached;
};

// Runs the program with its standard output on a pipe, and kills it with
// SIGKILL as soon as `reached` says so (checked at every line and every few
// milliseconds). Returns whether it was killed before it ended by itself.
bool RunAndKill(const std::vector<std::string>& args, CVirtualReceiver& receiver,
                const std::function<bool(const CProgress&)>& reached, std::vector<std::string>& lines)
{
    int out[2];
    if (pipe(out) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string pending;
    bool killed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 3) > 0) {
            char buffer[4096];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                lines.push_back(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
        if (!killed && (reached(CProgress{lines, receiver}) || std::chrono::steady_clock::now() > deadline)) {
            kill(child, SIGKILL);
            killed = true;
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return killed && WIFSIGNALED(status);
}

int RunToEnd(const std::vector<std::string>& args, std::string& text)
{
    std::string command;
    for (const std::string& a : args)
        command += "'" + a + "' ";
    FILE* pipe = popen((command + "2>&1").c_str(), "r");
    if (pipe == nullptr)
        return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    const int raw = pclose(pipe);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

class InterruptedUpgrade : public ::testing::TestWithParam<CKillPoint> {};

void PrintTo(const CKillPoint& point, std::ostream* os)
{
    *os << point.pszName;
}

TEST_P(InterruptedUpgrade, RunningTheToolAgainFinishesIt)
{
    const std::string state = MakeTempFolder("trailmark_state");
    ASSERT_FALSE(state.empty());
    setenv("TRAILMARK_STATE_DIR", state.c_str(), 1);
    CReceiverConfig config;
    // Flash work slowed enough for the test to stop the program inside it.
    config.m_nSlowFlashMs = 15;
    CVirtualReceiver receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    const std::vector<std::string> args = {std::string(TRAILMARK_BINARY_DIR) + "/tools/trailmark", "upgrade",
                                           "--port", receiver.SlavePaths()[0], "--package", SamplePath()};

    std::vector<std::string> lines;
    ASSERT_TRUE(RunAndKill(args, receiver, GetParam().reached, lines)) << "the first run ended by itself";

    std::string text;
    const int status = RunToEnd(args, text);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("Successfully upgraded GPS firmware"), std::string::npos) << text;
    const std::vector<uint8_t>& app = App();
    const std::vector<uint8_t>& boot = Boot();
    std::vector<uint8_t> flash;
    ASSERT_TRUE(receiver.ReadMemory(APP_ADDRESS, static_cast<uint32_t>(app.size()), flash));
    EXPECT_TRUE(flash == app) << "application region";
    ASSERT_TRUE(receiver.ReadMemory(BOOT_ADDRESS, static_cast<uint32_t>(boot.size()), flash));
    EXPECT_TRUE(flash == boot) << "boot region";
    const std::string report = receiver.ReportJson();
    EXPECT_EQ(report.find("\"bricked\": true"), std::string::npos) << report;
    receiver.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(state, ignored);
}

INSTANTIATE_TEST_SUITE_P(
    KillPoints, InterruptedUpgrade,
    ::testing::Values(
        CKillPoint{"AfterConnect", [](const CProgress& p) { return p.Said("Upload monitor"); }},
        CKillPoint{"MonitorUpload", [](const CProgress& p) { return p.Said("Monitor: v"); }},
        CKillPoint{"DataUpload", [](const CProgress& p) { return p.Said("Using secondary port") ||
                                                                 p.Said("Not using secondary port"); }},
        CKillPoint{"PrepareApplication", [](const CProgress& p) { return p.Erased(APP_ADDRESS); }},
        CKillPoint{"ProgramApplication", [](const CProgress& p) { return p.Programmed(APP_ADDRESS, App(), 40); }},
        CKillPoint{"PrepareBootLoader", [](const CProgress& p) { return p.Erased(BOOT_ADDRESS); }},
        CKillPoint{"ProgramBootLoader", [](const CProgress& p) { return p.Programmed(BOOT_ADDRESS, Boot(), 4); }},
        CKillPoint{"AfterBootLoaderConfirmed", [](const CProgress& p) { return p.Said("Boot loader confirmed"); }},
        CKillPoint{"FinalConnect", [](const CProgress& p) { return p.Count("Connect to receiver") >= 2; }}),
    [](const ::testing::TestParamInfo<CKillPoint>& info) { return std::string(info.param.pszName); });

}  // namespace
