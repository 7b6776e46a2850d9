// The maker's monitor programs from a folder: a usable file is sent and named,
// a file that cannot work is refused before any port is opened, and
// `trailmark info --monitor-dir` says the same of a folder.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include "tests/TempFolder.h"
#include "tests/e2e/UpgradeHarness.h"
#include "transfer/MonitorImages.h"

using namespace harness;

namespace {

void WriteBytes(const std::string& path, const uint8_t* data, size_t length)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
}

// The built-in XERF2 image (boards 4 to 10) as the maker's file, so that the
// virtual receiver, which runs only the images it knows, accepts it.
std::string FolderWithMonitor(const std::string& stem)
{
    const std::string folder = MakeTempFolder(stem);
    const CMonitorImage image = GetMonitorImage(1);
    WriteBytes(folder + "/XERF2.bin", image.pData, image.nLength);
    return folder;
}

int RunInfo(const std::string& folder, std::string& text)
{
    FILE* pipe = popen((std::string(TRAILMARK_BINARY_DIR) + "/tools/trailmark info --monitor-dir " + folder + " 2>&1").c_str(), "r");
    char buffer[4096];
    size_t n;
    while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    const int status = pipe ? pclose(pipe) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(MonitorFiles, AFileFromTheFolderIsSentAndNamed)
{
    const std::string folder = FolderWithMonitor("monitor_good");
    CReceiverConfig config;
    CReceiverUnderTest receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    CRecorder recorder;
    CHERFLoader loader;
    loader.Create(recorder.Sink(), 0x83E8);
    receiver.Attach(loader);
    loader.SetMonitorFolder(folder);
    ASSERT_EQ(loader.Start(SamplePath().c_str(), 0x163), START_OK) << loader.GetStartError();
    ASSERT_TRUE(recorder.WaitFinished(120));
    EXPECT_EQ(loader.GetResult(), HLE_NONE) << loader.GetRunReport().strError;
    loader.Destroy();
    bool named = false;
    for (const CLoaderNotification& n : recorder.Items())
        named = named || (n.nCode == HLN_TEXT && n.strText.find("Monitor file: ") == 0 &&
                          n.strText.find("XERF2.bin") != std::string::npos);
    EXPECT_TRUE(named);

    std::string text;
    EXPECT_EQ(RunInfo(folder, text), 0) << text;
    EXPECT_NE(text.find("XERF2.bin (boards 4 to 10): usable, 21820 bytes, Monitor: v0.31"), std::string::npos) << text;
}

struct CBadFolder {
    const char* name;
    void (*make)(const std::string& folder);
    const char* reason;  // part of the start error
};

class BadMonitorFolder : public ::testing::TestWithParam<CBadFolder> {};

// Refused at Start, before any port is opened: the port here does not exist.
TEST_P(BadMonitorFolder, IsRefusedBeforeAnyPortIsOpened)
{
    const std::string folder = MakeTempFolder(GetParam().name);
    GetParam().make(folder);
    CHERFLoader loader;
    CRecorder recorder;
    loader.Create(recorder.Sink(), 0x83E8);
    loader.SetPorts(CPortId::Device("/dev/no-such-port"));
    loader.SetMonitorFolder(folder);
    EXPECT_EQ(loader.Start(SamplePath().c_str(), 0x163), START_PACKAGE_FAILED);
    EXPECT_NE(loader.GetStartError().find(GetParam().reason), std::string::npos) << loader.GetStartError();
    loader.Destroy();
    std::string text;
    EXPECT_NE(RunInfo(folder, text), 0) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Folders, BadMonitorFolder,
    ::testing::Values(
        CBadFolder{"NoFiles", [](const std::string&) {}, "XERF"},
        CBadFolder{"BadMagic",
                   [](const std::string& f) {
                       std::vector<uint8_t> bytes(21820, 0);
                       WriteBytes(f + "/XERF2.bin", bytes.data(), bytes.size());
                   },
                   "XERF2.bin"},
        CBadFolder{"TooLongForTheMonitorArea",
                   [](const std::string& f) {
                       const CMonitorImage image = GetMonitorImage(1);
                       std::vector<uint8_t> bytes(image.pData, image.pData + image.nLength);
                       bytes.resize(0x20001, 0);
                       WriteBytes(f + "/XERF2.bin", bytes.data(), bytes.size());
                   },
                   "XERF2.bin"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
