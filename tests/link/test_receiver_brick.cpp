// The virtual receiver's boot loader as the hardware treats it: when the
// flash monitor ends or power goes, a boot region that holds neither the old
// boot loader nor the complete new one leaves the receiver dead for good. And
// the fault that damages the staged boot image in RAM where no sum sees it.
#include "receiver/ReceiverFirmware.h"
#include "tests/link/test_receiver_host.h"

#include <gtest/gtest.h>

#include <bit>

namespace {

constexpr uint32_t RAM = 0x00400000;          // board 7: 2 MiB
constexpr uint32_t STAGE = RAM + 0x10000;     // the new boot image, as programmed
constexpr uint32_t PACKED = RAM + 0x40000;    // its compressed section, when it is staged so
constexpr uint32_t BOOT = 0x01000000;
constexpr uint32_t SECTOR = 0x2000;           // the AT49BV16X4's boot sectors
constexpr uint32_t PIECE = 4096;
constexpr uint16_t OLD_BOOT = 120;
constexpr uint16_t NEW_BOOT = 130;

CReceiverConfig BrickConfig()
{
    CReceiverConfig config;
    config.m_eStart = RXS_BOOT_LOADER;
    config.m_nAnnounceMs = 50;
    config.m_nPorts = 2;
    config.m_nPowerOffMs = 100;
    return config;
}

uint32_t Sum(const std::vector<uint8_t>& bytes, size_t from = 0, size_t count = SIZE_MAX)
{
    uint32_t s = 0;
    for (size_t i = from; i < bytes.size() && i - from < count; ++i)
        s += bytes[i];
    return s;
}

// The image as a compressed section the receiver expands: its 16-byte
// prefix, the six escapes and literal runs of up to 255 bytes.
std::vector<uint8_t> Packed(const std::vector<uint8_t>& image)
{
    std::vector<uint8_t> stream{0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5};
    for (size_t at = 0; at < image.size(); at += 255) {
        const size_t n = std::min<size_t>(255, image.size() - at);
        stream.push_back(0xF0);
        stream.push_back(static_cast<uint8_t>(n));
        stream.insert(stream.end(), image.begin() + static_cast<long>(at),
                      image.begin() + static_cast<long>(at + n));
    }
    std::vector<uint8_t> section(16, 0);
    RxPutLe32(&section[0], static_cast<uint32_t>(stream.size()));
    RxPutLe32(&section[4], static_cast<uint32_t>(image.size()));
    section.insert(section.end(), stream.begin(), stream.end());
    return section;
}

struct CBootRig : CReceiverRig {
    explicit CBootRig(const CReceiverConfig& config) : CReceiverRig(config)
    {
        m_bMonitor = m_bStarted && StartMonitor(*m_pHost, 1, 0x20000);
    }
    int Cmd(uint8_t code, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0, int ms = 1000)
    {
        m_pHost->Command(0xA2, code, a, b, c);
        return m_pHost->WaitAck(0xA3, ms);
    }
    bool Upload(uint32_t address, const std::vector<uint8_t>& bytes, size_t from = 0,
                size_t to = SIZE_MAX)
    {
        for (size_t at = from; at < bytes.size() && at < to; at += 1024) {
            const size_t n = std::min<size_t>(1024, bytes.size() - at);
            m_pHost->Data(0xA4, address + static_cast<uint32_t>(at),
                          std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                               bytes.begin() + static_cast<long>(at + n)));
            if (m_pHost->WaitAck(0xA3) != 1)
                return false;
        }
        return true;
    }
    std::vector<uint8_t> ReadBack(uint32_t address, uint32_t length)
    {
        m_pHost->Command(0xA2, 0x94, address, length);
        std::vector<uint8_t> p;
        if (!m_pHost->WaitPacket(0xA4, p, 1000) || p.size() != 7 + length)
            return {};
        return std::vector<uint8_t>(p.begin() + 7, p.end());
    }
    bool m_bMonitor = false;
};

struct CBrickCase {
    const char* name;
    bool damage;     // --damage-boot-ram once
    bool compressed; // staged as a compressed section and expanded (0x98)
    bool resend;     // the host sends the image's first block again after the upload
    bool verify;     // the host proves the staged bytes (0x97)
    int erased;      // boot sectors erased
    int pieces;      // 4096-byte program commands from the staged image (4: the whole of it)
    uint8_t leave;   // how the monitor ends: 0x92, 0x93, 0x9A, or 0 for a power loss
    bool bricked;
    uint16_t bootAfter;  // the boot loader's version when it answers again
};

// The steps of a case; with `lossAtEnd` the power goes in its last command,
// whose answer never comes.
bool RunSteps(CBootRig& rig, const CBrickCase& c, bool lossAtEnd)
{
    const std::vector<uint8_t> image = BuildBootImage(NEW_BOOT);
    if (c.pieces > 0 || c.verify) {
        const std::vector<uint8_t> staged = c.compressed ? Packed(image) : image;
        const uint32_t at = c.compressed ? PACKED : STAGE;
        if (!rig.Upload(at, staged) || (c.resend && !rig.Upload(at, staged, 0, 1024)))
            return false;
        if (c.verify && rig.Cmd(0x97, at, static_cast<uint32_t>(staged.size()), Sum(staged)) != 1)
            return false;
        if (c.compressed && rig.Cmd(0x98, PACKED, static_cast<uint32_t>(staged.size() - 16), STAGE) != 1)
            return false;
    }
    for (int k = 0; k < c.erased; ++k)
        if (rig.Cmd(0x95, BOOT + k * SECTOR) != 1)
            return false;
    for (int k = 0; k < c.pieces; ++k) {
        const bool last = lossAtEnd && k == c.pieces - 1;
        const int ack = rig.Cmd(0x96, STAGE + k * PIECE, PIECE, BOOT + k * PIECE, last ? 100 : 1000);
        if (ack != 1 && !last)
            return false;
    }
    return true;
}

class BootLoaderWholeness : public ::testing::TestWithParam<CBrickCase> {};

// Catches a receiver that comes back with a boot loader it no longer holds
// whole (erased, half programmed, programmed from damaged RAM, cut off by a
// power loss), and one that bricks although the old boot loader or the whole
// new one is in place (also found by the weaker rule for an unproven range,
// or through an expansion, or after the host mended a damaged block).
TEST_P(BootLoaderWholeness, BricksOnlyWithoutAWholeBootLoader)
{
    const CBrickCase& c = GetParam();
    CReceiverConfig config = BrickConfig();
    if (c.damage)
        config.m_eDamageBootRam = RXD_ONCE;
    if (c.leave == 0) {
        // Count the bytes the steps send, then lose power at that count.
        CBootRig measure(config);
        ASSERT_TRUE(measure.m_bMonitor);
        ASSERT_TRUE(RunSteps(measure, c, false));
        config.m_nPowerLossAfter = ReportNumber(measure.m_Receiver.ReportJson(), "bytes_in");
    }
    CBootRig rig(config);
    ASSERT_TRUE(rig.m_bMonitor);
    ASSERT_TRUE(RunSteps(rig, c, c.leave == 0));
    if (c.leave != 0) {
        ASSERT_EQ(rig.Cmd(c.leave), 1);
    }

    EXPECT_EQ(rig.m_Receiver.IsBricked(), c.bricked) << rig.m_Receiver.BrickedReason();
    const std::string report = rig.m_Receiver.ReportJson();
    EXPECT_NE(report.find(c.bricked ? "\"bricked\": true" : "\"bricked_reason\": null"), std::string::npos);
    const char* region = c.bricked ? "broken" : c.bootAfter == OLD_BOOT ? "old" : "new";
    EXPECT_NE(report.find(std::string("\"boot_region\": \"") + region + "\"}\n  ]"), std::string::npos)
        << "the last judgment of the boot region";
    CRawHost& host = *rig.m_pHost;
    host.ResetReader();
    if (c.bricked) {
        char event[48];
        std::snprintf(event, sizeof event, "left the flash monitor (0x%02X) with ", c.leave);
        EXPECT_EQ(rig.m_Receiver.BrickedReason().rfind(c.leave ? event : "lost power with ", 0), 0u)
            << rig.m_Receiver.BrickedReason();
        CRawHost second(rig.m_Receiver.SlavePaths()[1]);
        host.Command(0x12, 0x8E);
        second.Command(0xA2, 0x90);
        EXPECT_TRUE(host.ReadFor(400).empty());
        EXPECT_TRUE(second.ReadFor(50).empty());
        return;
    }
    std::vector<uint8_t> announce;
    ASSERT_TRUE(host.WaitPacket(0x11, announce, 2000));
    EXPECT_EQ(RxGetLe32(&announce[0]), c.bootAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Receiver, BootLoaderWholeness,
    ::testing::Values(
        //        name                         dmg    comp   resend verify er pc leave bricked boot
        CBrickCase{"Untouched",                false, false, false, false, 0, 0, 0x92, false, OLD_BOOT},
        CBrickCase{"ErasedNotReprogrammed",    false, false, false, false, 1, 0, 0x92, true, 0},
        CBrickCase{"ErasedLeftToApplication",  false, false, false, false, 1, 0, 0x9A, true, 0},
        CBrickCase{"CompleteNewImage",         false, false, false, true, 2, 4, 0x92, false, NEW_BOOT},
        CBrickCase{"HalfNewImage",             false, false, false, true, 2, 2, 0x92, true, 0},
        CBrickCase{"UnprovenCompleteImage",    false, false, false, false, 2, 4, 0x92, false, NEW_BOOT},
        CBrickCase{"ExpandedCompleteImage",    false, true, false, true, 2, 4, 0x92, false, NEW_BOOT},
        CBrickCase{"PowerLossMidway",          false, false, false, true, 2, 2, 0, true, 0},
        CBrickCase{"PowerLossAfterNewImage",   false, false, false, true, 2, 4, 0, false, NEW_BOOT},
        CBrickCase{"DamagedImageProgrammed",   true, false, false, true, 2, 4, 0x92, true, 0},
        CBrickCase{"DamagedStreamExpanded",    true, true, false, true, 2, 4, 0x92, true, 0},
        CBrickCase{"DamagedBlockSentAgain",    true, false, true, true, 2, 4, 0x92, false, NEW_BOOT}),
    [](const ::testing::TestParamInfo<CBrickCase>& info) { return std::string(info.param.name); });

// Catches damage that a byte sum notices, that is not two opposite flips of
// one bit, that hits blocks without the boot version record, or that repeats
// under `once` (or stops under `always`).
TEST(ReceiverBootRamDamage, FlipsOneBitBothWaysOnlyInTheBootRecordBlock)
{
    const std::vector<uint8_t> image = BuildBootImage(NEW_BOOT);
    const std::vector<uint8_t> first(image.begin(), image.begin() + 1024);  // holds the record
    const std::vector<uint8_t> second(image.begin() + 1024, image.begin() + 2048);
    for (EBootRamDamage mode : {RXD_ONCE, RXD_ALWAYS}) {
        CReceiverConfig config = BrickConfig();
        config.m_eDamageBootRam = mode;
        CBootRig rig(config);
        ASSERT_TRUE(rig.m_bMonitor);
        ASSERT_TRUE(rig.Upload(STAGE, image, 0, 2048));
        const std::vector<uint8_t> held = rig.ReadBack(STAGE, 1024);
        ASSERT_EQ(held.size(), 1024u);
        std::vector<size_t> changed;
        for (size_t i = 0; i < held.size(); ++i)
            if (held[i] != first[i])
                changed.push_back(i);
        ASSERT_EQ(changed.size(), 2u);
        const uint8_t up = held[changed[0]] ^ first[changed[0]], down = held[changed[1]] ^ first[changed[1]];
        EXPECT_EQ(up, down);
        EXPECT_EQ(std::popcount(up), 1);
        EXPECT_TRUE(held[changed[0]] & up) << "the earlier byte gains the bit";
        EXPECT_GE(changed[0], 0x50u) << "the version record itself is left alone";
        EXPECT_EQ(rig.Cmd(0x97, STAGE, 1024, Sum(first)), 1);
        EXPECT_EQ(rig.Cmd(0x97, STAGE, 2048, Sum(image, 0, 2048)), 1);
        EXPECT_EQ(rig.ReadBack(STAGE + 1024, 1024), second);

        ASSERT_TRUE(rig.Upload(STAGE, image, 0, 1024));
        EXPECT_EQ(rig.ReadBack(STAGE, 1024) == first, mode == RXD_ONCE);
        EXPECT_EQ(ReportNumber(rig.m_Receiver.ReportJson(), "ram_damages"), mode == RXD_ONCE ? 1 : 2);
    }
}

}  // namespace
