// The default upgrade on every flash monitor a receiver may carry: each way
// of laying out the read-back answer, each largest read, a monitor that
// reads only flash and one that reads nothing back, over one port and two.
// Each must end upgraded (with no read-back: upgraded but not verified),
// with the package in flash byte for byte, the receiver out of its monitor,
// and no mode change over a boot region that held neither boot loader
// whole. An upgrade killed while the boot loader is programmed is finished
// by a fresh run. Catches a host that asks
// reads the answer cannot carry, takes a failed read for a difference, or
// keeps the receiver in its monitor for ever.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/TempFolder.h"
#include "tests/e2e/KillRun.h"
#include "tests/e2e/UpgradeHarness.h"

using namespace harness;

namespace {

constexpr uint32_t APP_ADDRESS = 0x01020000;
constexpr uint32_t BOOT_ADDRESS = 0x01000000;

struct CVariant {
    const char* pszName;
    EReadReply eLayout;
    uint32_t nMaxRead;
    EMonitorReads eReads;
    bool bTwoPorts;
    int nStatus;  // of the default upgrade: 0 upgraded, 5 upgraded but not verified
};

void PrintTo(const CVariant& variant, std::ostream* os)
{
    *os << variant.pszName;
}

class MonitorVariant : public ::testing::TestWithParam<CVariant> {
protected:
    void SetUp() override
    {
        m_strState = MakeTempFolder("trailmark_state");
        ASSERT_FALSE(m_strState.empty());
        setenv("TRAILMARK_STATE_DIR", m_strState.c_str(), 1);
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_strState, ignored);
    }
    CReceiverConfig Config() const
    {
        CReceiverConfig config;
        config.m_eReadReply = GetParam().eLayout;
        config.m_nMaxRead = GetParam().nMaxRead;
        config.m_eMonitorReads = GetParam().eReads;
        config.m_nPorts = GetParam().bTwoPorts ? 2 : 1;
        return config;
    }
    std::vector<std::string> Args(const CVirtualReceiver& receiver) const
    {
        const std::vector<std::string> ports = receiver.SlavePaths();
        std::vector<std::string> args = {std::string(TRAILMARK_BINARY_DIR) + "/tools/trailmark", "upgrade", "--port",
                                         ports[0], "--package", SamplePath()};
        if (GetParam().bTwoPorts)
            args.insert(args.end(), {"--secondary-port", ports[1], "--options", "0x121"});
        return args;
    }
    // The upgraded receiver: the package in flash, out of its monitor, and
    // never left over half a boot loader.
    void ExpectUpgraded(CVirtualReceiver& receiver, int status, const std::string& text) const
    {
        EXPECT_EQ(status, GetParam().nStatus) << text;
        const std::vector<uint8_t> app = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/app.bin");
        const std::vector<uint8_t> boot = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/boot.bin");
        std::vector<uint8_t> flash;
        ASSERT_TRUE(receiver.ReadMemory(APP_ADDRESS, static_cast<uint32_t>(app.size()), flash));
        EXPECT_TRUE(flash == app) << "application region";
        ASSERT_TRUE(receiver.ReadMemory(BOOT_ADDRESS, static_cast<uint32_t>(boot.size()), flash));
        EXPECT_TRUE(flash == boot) << "boot region";
        const std::string report = receiver.ReportJson();
        EXPECT_EQ(report.find("\"mode\": \"flash monitor\""), std::string::npos) << report;
        EXPECT_EQ(report.find("\"boot_region\": \"broken\""), std::string::npos) << report;
        EXPECT_NE(report.find("\"bricked\": false"), std::string::npos) << report;
        EXPECT_NE(report.find("\"oversize_packets\": 0,"), std::string::npos) << report;
    }

    std::string m_strState;
};

TEST_P(MonitorVariant, TheDefaultUpgradeEndsUpgraded)
{
    CVirtualReceiver receiver(Config());
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    std::string text;
    const int status = RunToEnd(Args(receiver), text);
    ExpectUpgraded(receiver, status, text);
    // A read refused by the monitor is never taken for a difference: the
    // boot loader is written once.
    EXPECT_EQ(text.find("erasing and programming it again"), std::string::npos) << text;
    receiver.Stop();
}

// Without read-back the fresh run knows from its record that the boot
// loader's write was cut off, and finishes it through the monitor.
class KilledInTheBootLoader : public MonitorVariant {};

TEST_P(KilledInTheBootLoader, AFreshRunFinishesTheUpgrade)
{
    CReceiverConfig config = Config();
    // Flash work slowed enough for the test to stop the program inside it.
    config.m_nSlowFlashMs = 15;
    CVirtualReceiver receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    const std::vector<uint8_t> boot = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/boot.bin");
    std::vector<std::string> lines;
    ASSERT_TRUE(RunAndKill(Args(receiver), receiver,
                           [&](const CProgress& p) { return p.Programmed(BOOT_ADDRESS, boot, 4); }, lines))
        << "the first run ended by itself";
    std::string text;
    const int status = RunToEnd(Args(receiver), text);
    ExpectUpgraded(receiver, status, text);
    receiver.Stop();
}

const CVariant ROWS[] = {
    {"StatusLayout", RXRB_STATUS, 1024, RXMR_ANY, false, 0},
    {"MirrorLayout", RXRB_MIRROR, 1024, RXMR_ANY, false, 0},
    {"StatusReadsOf512", RXRB_STATUS, 512, RXMR_ANY, false, 0},
    {"MirrorReadsOf128", RXRB_MIRROR, 128, RXMR_ANY, false, 0},
    {"FlashOnly", RXRB_STATUS, 1024, RXMR_FLASH, false, 0},
    {"MirrorFlashOnlyReadsOf256", RXRB_MIRROR, 256, RXMR_FLASH, false, 0},
    {"NoReadBack", RXRB_STATUS, 1024, RXMR_NONE, false, 5},
    {"StatusTwoPorts", RXRB_STATUS, 1024, RXMR_ANY, true, 0},
    {"MirrorTwoPorts", RXRB_MIRROR, 1024, RXMR_ANY, true, 0},
    {"FlashOnlyTwoPorts", RXRB_MIRROR, 512, RXMR_FLASH, true, 0},
    {"NoReadBackTwoPorts", RXRB_MIRROR, 1024, RXMR_NONE, true, 5},
};

std::string RowName(const ::testing::TestParamInfo<CVariant>& info)
{
    return info.param.pszName;
}

INSTANTIATE_TEST_SUITE_P(Monitors, MonitorVariant, ::testing::ValuesIn(ROWS), RowName);
INSTANTIATE_TEST_SUITE_P(Monitors, KilledInTheBootLoader, ::testing::ValuesIn(ROWS), RowName);

}  // namespace
