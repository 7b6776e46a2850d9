// A service bench's tray: `trailmark upgrade` given four receivers' ports at
// once, one of which refuses every erase (so its retry fails as well). The other three must end with the
// package in flash byte for byte, the failing one must be named with its
// status, the exit status must be that failure's, and the run log must hold
// one whole line per receiver.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "tests/e2e/UpgradeHarness.h"

using namespace harness;

namespace {

constexpr uint32_t APP_ADDRESS = 0x01020000;
constexpr uint32_t BOOT_ADDRESS = 0x01000000;
constexpr int RECEIVERS = 4;
constexpr int FAILING = 2;

std::string RunTool(const std::string& arguments, int& status)
{
    const std::string tool = std::string(TRAILMARK_BINARY_DIR) + "/tools/trailmark";
    FILE* pipe = popen((tool + " " + arguments + " 2>&1").c_str(), "r");
    std::string text;
    if (pipe == nullptr)
        return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    const int raw = pclose(pipe);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return text;
}

bool FlashHolds(CVirtualReceiver& receiver, uint32_t address, const std::vector<uint8_t>& image)
{
    std::vector<uint8_t> flash;
    return receiver.ReadMemory(address, static_cast<uint32_t>(image.size()), flash) && flash == image;
}

TEST(ManyReceivers, FourAtOnceOneFailsTheOthersHoldThePackage)
{
    std::vector<std::unique_ptr<CVirtualReceiver>> receivers;
    std::string ports, failingPort;
    for (int i = 0; i < RECEIVERS; ++i) {
        CReceiverConfig config;
        config.m_strSerial = "TRAY" + std::to_string(i);
        if (i == FAILING) {
            CRefusalRule everyErase;
            std::string error;
            ASSERT_TRUE(ParseRefusalRule("0x95:1:1000", everyErase, error)) << error;
            config.m_Refusals.push_back(everyErase);
        }
        receivers.push_back(std::make_unique<CVirtualReceiver>(config));
        std::string error;
        ASSERT_TRUE(receivers.back()->Start(error)) << error;
        const std::string port = receivers.back()->SlavePaths()[0];
        ports += " --port " + port;
        if (i == FAILING)
            failingPort = port;
    }
    const std::string log = "/tmp/trailmark_tray_" + std::to_string(getpid()) + ".log";
    unlink(log.c_str());

    int status = -1;
    const std::string out = RunTool("upgrade" + ports + " --log " + log + " --package " + SamplePath(), status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("3 of 4 receivers upgraded; not upgraded: " + failingPort + " (status 1)"), std::string::npos)
        << out;
    // Plain output tells the receivers' lines apart by their ports.
    EXPECT_NE(out.find("[" + failingPort + "] Failed to upgrade GPS firmware"), std::string::npos) << out;

    const std::vector<uint8_t> app = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/app.bin");
    const std::vector<uint8_t> boot = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/boot.bin");
    for (int i = 0; i < RECEIVERS; ++i) {
        SCOPED_TRACE(i);
        const bool holds = FlashHolds(*receivers[i], APP_ADDRESS, app) && FlashHolds(*receivers[i], BOOT_ADDRESS, boot);
        EXPECT_EQ(holds, i != FAILING);
        receivers[i]->Stop();
    }

    std::ifstream in(log);
    std::string line;
    int lines = 0, failed = 0;
    while (std::getline(in, line)) {
        ++lines;
        EXPECT_NE(line.find("\tserial=TRAY"), std::string::npos) << line;
        // The versions the receiver had before the first run, not the last.
        EXPECT_NE(line.find("\told=v1.75/"), std::string::npos) << line;
        if (line.find("\tresult=failed\tstatus=1\t") != std::string::npos) {
            ++failed;
            EXPECT_NE(line.find("port=" + failingPort + "\t"), std::string::npos) << line;
            EXPECT_NE(line.find("\treason="), std::string::npos) << line;
        }
    }
    EXPECT_EQ(lines, RECEIVERS);
    EXPECT_EQ(failed, 1);
    unlink(log.c_str());
}

}  // namespace
