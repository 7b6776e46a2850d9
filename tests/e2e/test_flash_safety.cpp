// Flash work that leaves the receiver whole, against the virtual receiver:
// the boot loader's region is written only from a RAM copy read back and
// found right, left alone when it already holds the package's boot loader,
// and read back after programming; the read-back reply's two layouts are
// learned by the probe; and a flash command whose answer is lost is asked
// again instead of ending the run halfway.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/UpgradeHarness.h"

using namespace harness;

namespace {

constexpr uint32_t BOOT_ADDRESS = 0x01000000;
constexpr uint32_t APP_ADDRESS = 0x01020000;
constexpr uint32_t APP_PROGRAMS = 96;  // the sample's application in 4096-byte pieces

enum class EBootAfter { Package, Untouched };

struct CBootCase {
    const char* pszName;
    std::function<void(CReceiverConfig&)> setUp;
    int32_t nFlashCheck;
    int32_t nResult;
    const char* pszSaid;  // a text line the run must show (its start)
    EBootAfter eBoot;
};

void PrintTo(const CBootCase& c, std::ostream* os)
{
    *os << c.pszName;
}

class BootGuard : public ::testing::TestWithParam<CBootCase> {};

TEST_P(BootGuard, WritesTheBootLoaderOnlyFromWhatWasProven)
{
    const CBootCase& c = GetParam();
    CReceiverConfig config;
    c.setUp(config);
    CReceiverUnderTest receiver(config);
    std::string error;
    ASSERT_TRUE(receiver.Start(error)) << error;
    std::vector<uint8_t> oldBoot;
    ASSERT_TRUE(receiver.Receiver().ReadMemory(BOOT_ADDRESS, 0xC000, oldBoot));

    CRecorder recorder;
    const CRunResult run = RunUpgrade(receiver, recorder, 0x163, SamplePath(), 120, c.nFlashCheck);
    ASSERT_TRUE(run.bFinished);
    EXPECT_EQ(run.nResult, c.nResult) << ResultCodeName(run.nResult) << ": " << run.strReason;
    bool said = false;
    for (const CLoaderNotification& n : recorder.Items())
        said = said || (n.nCode == HLN_TEXT && n.strText.rfind(c.pszSaid, 0) == 0);
    EXPECT_TRUE(said) << "no line starting \"" << c.pszSaid << "\"";

    const std::vector<uint8_t> boot = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/boot.bin");
    std::vector<uint8_t> flash;
    if (c.eBoot == EBootAfter::Package) {
        ASSERT_TRUE(receiver.Receiver().ReadMemory(BOOT_ADDRESS, static_cast<uint32_t>(boot.size()), flash));
        EXPECT_TRUE(flash == boot) << "the boot region holds the package's boot loader";
        const std::vector<uint8_t> app = ReadFile(std::string(TRAILMARK_BINARY_DIR) + "/app.bin");
        ASSERT_TRUE(receiver.Receiver().ReadMemory(APP_ADDRESS, static_cast<uint32_t>(app.size()), flash));
        EXPECT_TRUE(flash == app);
    } else {
        ASSERT_TRUE(receiver.Receiver().ReadMemory(BOOT_ADDRESS, 0xC000, flash));
        EXPECT_TRUE(flash == oldBoot) << "not one byte of the old boot loader was erased";
    }
    EXPECT_FALSE(receiver.Receiver().IsBricked()) << receiver.Receiver().BrickedReason();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BootGuard,
    ::testing::Values(
        // Two bit flips that cancel in every sum the line and the monitor
        // make: the RAM copy read back shows them, the piece goes again.
        CBootCase{"RamCopyDamagedOnce", [](CReceiverConfig& c) { c.m_eDamageBootRam = RXD_ONCE; }, FLASH_CHECK_SUM,
                  HLE_NONE, "Boot loader: its copy in RAM differs from the package", EBootAfter::Package},
        // Damaged every time it is sent: the run fails before the first
        // boot sector is erased, and the old boot loader stays whole.
        CBootCase{"RamCopyDamagedAlways", [](CReceiverConfig& c) { c.m_eDamageBootRam = RXD_ALWAYS; },
                  FLASH_CHECK_SUM, HLE_PREPARE_FAILED, "Boot loader: its copy in the receiver's RAM still differs",
                  EBootAfter::Untouched},
        // A bit the chip left at 1, and one whose loss a disturbed neighbour
        // hides from the byte sum: the boot region is erased and programmed
        // again from the proven copy.
        CBootCase{"WeakBitInBootLoader", [](CReceiverConfig& c) { c.m_nWeakBitProgram = APP_PROGRAMS + 3; },
                  FLASH_CHECK_SUM, HLE_NONE, "Boot loader: the flash does not hold what was sent",
                  EBootAfter::Package},
        CBootCase{"DisturbedPairInBootLoader", [](CReceiverConfig& c) { c.m_nDisturbProgram = APP_PROGRAMS + 5; },
                  FLASH_CHECK_SUM, HLE_NONE, "Boot loader: the flash does not hold what was sent",
                  EBootAfter::Package},
        // A receiver that already runs the package's boot loader is not
        // written at all.
        CBootCase{"AlreadyHeld",
                  [](CReceiverConfig& c) { c.m_strBootFile = std::string(TRAILMARK_BINARY_DIR) + "/boot.bin"; },
                  FLASH_CHECK_SUM, HLE_NONE, "Boot loader: the receiver already holds this one", EBootAfter::Package},
        // A monitor whose read-back answers with a 32-bit length: the probe
        // learns it, blank sectors are skipped (the "Erase:" line comes only
        // from a trusted probe) and the read-back check works.
        CBootCase{"MirrorReadReply", [](CReceiverConfig& c) { c.m_eReadReply = RXRB_MIRROR; },
                  FLASH_CHECK_READ_BACK, HLE_NONE, "Boot loader confirmed", EBootAfter::Package},
        CBootCase{"MirrorReadReplySkipsBlankSectors", [](CReceiverConfig& c) { c.m_eReadReply = RXRB_MIRROR; },
                  FLASH_CHECK_SUM, HLE_NONE, "Erase: ", EBootAfter::Package}),
    [](const ::testing::TestParamInfo<CBootCase>& info) { return std::string(info.param.pszName); });

struct CLostCase {
    const char* pszName;
    const char* pszRule;  // as --lose-answer takes it
    const char* pszSaid;  // a line the run must show, or empty
};

void PrintTo(const CLostCase& c, std::ostream* os)
{
    *os << c.pszName;
}

class LostAnswer : public ::testing::TestWithParam<CLostCase> {};

// Catches an erase, program or verify whose acknowledgement was lost ending
// the run with the flash half written, and an expansion repeated in place
// over the stream it already overwrote.
TEST_P(LostAnswer, TheCommandIsAskedAgainAndTheRunEndsUpgraded)
{
    CReceiverConfig config;
    CRefusalRule rule;
    std::string error;
    ASSERT_TRUE(ParseRefusalRule(GetParam().pszRule, rule, error)) << error;
    config.m_LostAnswers.push_back(rule);
    CReceiverUnderTest receiver(config);
    ASSERT_TRUE(receiver.Start(error)) << error;
    CRecorder recorder;
    const CRunResult run = RunUpgrade(receiver, recorder, 0x163);
    ASSERT_TRUE(run.bFinished);
    EXPECT_EQ(run.nResult, HLE_NONE) << run.strReason;
    if (*GetParam().pszSaid != '\0') {
        bool said = false;
        for (const CLoaderNotification& n : recorder.Items())
            said = said || (n.nCode == HLN_TEXT && n.strText.rfind(GetParam().pszSaid, 0) == 0);
        EXPECT_TRUE(said) << GetParam().pszSaid;
    }
    const std::string report = receiver.Receiver().ReportJson();
    EXPECT_NE(report.find("\"lost_answers\": 1,"), std::string::npos) << report;
    for (const auto& [address, file] : {std::pair{APP_ADDRESS, "/app.bin"}, std::pair{BOOT_ADDRESS, "/boot.bin"}}) {
        const std::vector<uint8_t> image = ReadFile(std::string(TRAILMARK_BINARY_DIR) + file);
        std::vector<uint8_t> flash;
        ASSERT_TRUE(receiver.Receiver().ReadMemory(address, static_cast<uint32_t>(image.size()), flash));
        EXPECT_TRUE(flash == image) << file;
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, LostAnswer,
                         ::testing::Values(CLostCase{"Erase", "0x95:1", ""}, CLostCase{"Program", "0x96:10", ""},
                                           CLostCase{"BootProgram", "0x96:97", ""},
                                           CLostCase{"Verify", "0x97:2", ""},
                                           CLostCase{"Expand", "0x98:1", "Expand: no answer"}),
                         [](const ::testing::TestParamInfo<CLostCase>& info) { return std::string(info.param.pszName); });

}  // namespace
