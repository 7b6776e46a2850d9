// The engine handle before and around Start: results without a session, a
// package that cannot be read, a port that cannot be opened. None of these
// may send a notification or report success.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/HERFLoader.h"

using namespace CHERFLoaderLib;

namespace {

const std::string kSample = std::string(TRAILMARK_BINARY_DIR) + "/Corvid_FW_v1.82-Boot.q";

struct CCountingSink {
    std::atomic<int> count{0};
    CNotifySink Sink()
    {
        return [this](const CLoaderNotification&) { ++count; };
    }
};

TEST(EngineStart, WithoutSessionEveryOperationRefuses)
{
    CHERFLoader loader;
    EXPECT_EQ(loader.GetResult(), HLE_NO_SESSION);
    EXPECT_EQ(loader.Start(kSample.c_str(), 0x163), 1);
    EXPECT_FALSE(loader.Cancel());
    loader.SetPortNumbers(1, 2, 3);
    loader.Destroy();
    EXPECT_EQ(loader.GetResult(), HLE_NO_SESSION);
}

TEST(EngineStart, UnreadablePackageReturnsTwoAndSendsNothing)
{
    CCountingSink sink;
    CHERFLoader loader;
    loader.Create(sink.Sink(), 0x83E8);
    EXPECT_EQ(loader.Start("/nonexistent/Corvid_FW_v1.82-Boot.q", 0x163), 2);
    EXPECT_NE(loader.GetStartError(), "");
    EXPECT_EQ(loader.GetResult(), HLE_NONE);
    loader.Destroy();
    EXPECT_EQ(sink.count, 0);
}

// Catches: a port given by its path named by a number the user never typed,
// and a refused Start whose report does not say so.
TEST(EngineStart, PortThatWillNotOpenReturnsThreeWithAReason)
{
    CCountingSink sink;
    CHERFLoader loader;
    loader.Create(sink.Sink(), 0x83E8);
    loader.SetPorts(CPortId::Device("/dev/trailmark-no-such-device"));
    EXPECT_EQ(loader.Start(kSample.c_str(), 0x163), 3);
    EXPECT_EQ(loader.GetStartError(), "/dev/trailmark-no-such-device: no such serial device");
    const CRunReport report = loader.GetRunReport();
    EXPECT_FALSE(report.bStarted);
    EXPECT_EQ(report.strError, loader.GetStartError());
    loader.Destroy();
    EXPECT_EQ(sink.count, 0);
}

// Catches a package without sections reaching the ports and ending as a
// "successful" upgrade that programs nothing.
TEST(EngineStart, PackageWithoutImageDataIsRefusedBeforeAnyPort)
{
    char folder[] = "/tmp/trailmark-empty-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/empty.q";
    std::vector<uint8_t> header{'Q', 'F', 'W', '2'};
    header.resize(76, 0);  // no name, section count 0, family 0
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(header.data()), 76);
    // A port that would fail to open: reaching it would make the result 3.
    CCountingSink sink;
    CHERFLoader loader;
    loader.Create(sink.Sink(), 0x83E8);
    loader.SetPorts(CPortId::Device("/dev/trailmark-no-such-device"));
    EXPECT_EQ(loader.Start(path.c_str(), 0x163), 2);
    EXPECT_NE(loader.GetStartError().find("no image data"), std::string::npos) << loader.GetStartError();
    loader.Destroy();
    EXPECT_EQ(sink.count, 0);
    std::filesystem::remove_all(folder);
}

TEST(EngineStart, FailedStartLeavesTheSessionIdle)
{
    CHERFLoader loader;
    loader.Create(nullptr, 0x83E8);
    EXPECT_EQ(loader.Start("/nonexistent.q", 0x163), 2);
    // A failed start leaves the session idle; a second Start may try again,
    // but Create on an existing session changes nothing.
    loader.Create(nullptr, 1);
    EXPECT_EQ(loader.Start("/nonexistent.q", 0x163), 2);
}

}  // namespace
