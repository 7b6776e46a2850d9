// The phase plan and its progress arithmetic, and the code names the command
// line prints.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/LoaderCodes.h"
#include "engine/PhasePlan.h"

using namespace CHERFLoaderLib::LoaderCodes;

namespace {

using Sections = std::vector<std::unique_ptr<CFirmwareSection>>;
constexpr uint32_t PLAIN = SECTION_PLAIN | SECTION_APP;
constexpr uint32_t PACKED = SECTION_COMPRESSED | SECTION_APP;

// A section; a compressed one holds `length` bytes whose header gives `expanded`.
std::unique_ptr<CFirmwareSection> MakeSection(uint32_t flags, uint32_t length, uint32_t expanded) {
    auto pSection = std::make_unique<CFirmwareSection>(length, 0x01020000, 0, flags, 0);
    if ((flags & SECTION_COMPRESSED) != 0) {
        pSection->data = std::make_unique<uint8_t[]>(length);
        for (int i = 0; i < 4 && length >= 8; ++i) pSection->data[4 + i] = uint8_t(expanded >> (8 * i));
    }
    return pSection;
}

// One line per phase: name, end, weight, cancellable, section index or -.
std::string Describe(const CFlashPhaseMgr& plan, const Sections& sections) {
    std::string str;
    for (int i = 0; i < plan.GetPhaseCount(); ++i) {
        const CFlashPhase& phase = *plan.GetPhase(i);
        std::string strSection = "-";
        for (size_t s = 0; s < sections.size(); ++s) {
            if (phase.m_pSection == sections[s].get()) strSection = std::to_string(s);
        }
        str += std::string(phase.m_pszName) + " " + std::to_string(phase.m_nKind) + " " +
               std::to_string(int64_t(phase.m_dEnd)) + " " + std::to_string(int(phase.m_dWeight)) +
               " " + std::to_string(phase.m_bCancellable) + " " + strSection + "\n";
        EXPECT_EQ(phase.m_dStart, 0.0);
        EXPECT_EQ(phase.m_dValue, 0.0);
    }
    return str;
}

// Catches phases out of order, a missing or surplus expand phase, verify
// phases mixed in with the flash-changing ones, and wrong ends, weights,
// cancellable flags or section links.
TEST(PhasePlanShape, PlansForSectionMixes) {
    struct Row {
        std::vector<uint32_t> flags;
        const char* plan;
    } rows[] = {
        {{PACKED},
         "Connect to receiver 0 1 1 1 -\nUpload monitor 1 100 5 1 -\nUpload data 2 12 20 1 -\n"
         "Verify data 3 1 1 1 0\nExpand data 4 1 1 0 0\nPrepare flash 5 100 5 0 0\n"
         "Program flash 6 8192 6 0 0\nConnect to receiver 7 1 1 0 -\n"},
        {{PLAIN, PACKED, SECTION_BOOT},
         "Connect to receiver 0 1 1 1 -\nUpload monitor 1 100 5 1 -\nUpload data 2 12 20 1 -\n"
         "Verify data 3 1 1 1 0\nVerify data 3 1 1 1 1\nVerify data 3 1 1 1 2\n"
         "Prepare flash 5 100 5 0 0\nProgram flash 6 4096 6 0 0\n"
         "Expand data 4 1 1 0 1\nPrepare flash 5 100 5 0 1\nProgram flash 6 8192 6 0 1\n"
         "Prepare flash 5 100 5 0 2\nProgram flash 6 0 6 0 2\nConnect to receiver 7 1 1 0 -\n"},
        {{},
         "Connect to receiver 0 1 1 1 -\nUpload monitor 1 100 5 1 -\nUpload data 2 12 20 1 -\n"
         "Connect to receiver 7 1 1 0 -\n"},
    };
    for (const Row& row : rows) {
        Sections sections;
        for (uint32_t flags : row.flags) sections.push_back(MakeSection(flags, 4096, 8192));
        CFlashPhaseMgr plan;
        AppendPlanPhases(plan, sections, 12);
        EXPECT_EQ(Describe(plan, sections), row.plan);
    }
}

// Catches the wrong header word, a big-endian read, and reading the header of
// a compressed section whose data is missing or too short.
TEST(PhasePlanShape, BytesToProgram) {
    EXPECT_EQ(GetBytesToProgram(*MakeSection(PACKED, 64, 0x00A1B2C3)), 0x00A1B2C3u);
    EXPECT_EQ(GetBytesToProgram(*MakeSection(PACKED, 7, 99)), 0u);
    auto pUnloaded = MakeSection(PACKED, 64, 99);
    pUnloaded->data.reset();
    EXPECT_EQ(GetBytesToProgram(*pUnloaded), 0u);
    EXPECT_EQ(GetBytesToProgram(*MakeSection(PLAIN, 5000, 0)), 5000u);
    EXPECT_EQ(GetBytesToProgram(*MakeSection(SECTION_BOOT, 5000, 0)), 0u);
}

// Weights 1, 5, 20, 1, 1, 5, 6, 1 (sum 40), made ready to run.
CFlashPhaseMgr ExamplePlan(uint32_t nBlocks, uint32_t nExpanded, Sections& sections) {
    sections.push_back(MakeSection(PACKED, 64, nExpanded));
    CFlashPhaseMgr plan;
    AppendPlanPhases(plan, sections, nBlocks);
    plan.Reset();
    return plan;
}

// Catches weights not normalised, completed weight not summed, rounding that
// truncates instead of rounding half up, and values outside the range
// escaping 0..100.
TEST(PhaseProgress, PercentagesFollowWeightsAndClamp) {
    Sections sections;
    CFlashPhaseMgr plan = ExamplePlan(10, 100, sections);
    ASSERT_TRUE(plan.Advance());  // "Upload monitor", 0..100
    struct Row {
        double value;
        int32_t overall, phase;
    } monitorRows[] = {{250, 15, 100}, {-3, 3, 0}}, dataRows[] = {{5, 40, 50}, {0, 15, 0}, {0.25, 16, 3}};
    for (const Row& row : monitorRows) {
        const CProgressPercent percent = plan.UpdateProgress(row.value);
        EXPECT_EQ(percent.nOverall, row.overall) << row.value;
        EXPECT_EQ(percent.nPhase, row.phase) << row.value;
    }
    ASSERT_TRUE(plan.Advance());  // "Upload data", 0..10 blocks
    for (const Row& row : dataRows) {
        const CProgressPercent percent = plan.UpdateProgress(row.value);
        EXPECT_EQ(percent.nOverall, row.overall) << row.value;
        EXPECT_EQ(percent.nPhase, row.phase) << row.value;
    }
}

// Catches a 0/0 share turned into an integer (undefined, in practice a huge
// negative percentage) for a phase with nothing to do, and a NaN report
// poisoning the phase's value.
TEST(PhaseProgress, EmptyPhasesReportFullAndNaNIsIgnored) {
    Sections sections;
    CFlashPhaseMgr plan = ExamplePlan(0, 0, sections);  // no blocks, nothing to program
    ASSERT_TRUE(plan.Advance());
    ASSERT_TRUE(plan.Advance());
    CProgressPercent percent = plan.UpdateProgress(0);
    EXPECT_EQ(percent.nPhase, 100);
    EXPECT_EQ(percent.nOverall, 65);  // (1 + 5 + 20) / 40
    while (plan.GetCurrentPhase()->m_nKind != PHASE_PROGRAM_FLASH) ASSERT_TRUE(plan.Advance());
    EXPECT_EQ(plan.UpdateProgress(0).nPhase, 100);
    ASSERT_TRUE(plan.Advance());  // final connect, 0..1
    plan.UpdateProgress(0.25);
    EXPECT_EQ(plan.UpdateProgress(std::nan("")).nPhase, 25);
    EXPECT_EQ(plan.GetCurrentPhase()->m_dValue, 0.25);
}

// Catches an overall figure that misses 100 at the end, Advance running past
// the plan, and weights that cannot be normalised pushing figures outside
// 0..100.
TEST(PhaseProgress, OverallRunsToHundredAndStops) {
    Sections sections;
    CFlashPhaseMgr plan = ExamplePlan(7, 3000, sections);
    int32_t nLast = -1;
    do {
        const CProgressPercent percent = plan.UpdateProgress(plan.GetCurrentPhase()->m_dEnd);
        EXPECT_EQ(percent.nPhase, 100);
        EXPECT_GE(percent.nOverall, nLast);
        nLast = percent.nOverall;
    } while (plan.Advance());
    EXPECT_EQ(nLast, 100);
    EXPECT_EQ(plan.GetCurrentPhase(), nullptr);
    EXPECT_FALSE(plan.Advance());
    EXPECT_EQ(plan.UpdateProgress(1).nOverall, 0);

    CFlashPhaseMgr zero;
    EXPECT_FALSE(zero.Advance());
    zero.AddPhase("a", 0, 1, 0, PHASE_CONNECT, 1, nullptr);
    zero.AddPhase("b", 0, 1, -4, PHASE_RECONNECT, 0, nullptr);
    zero.Reset();
    EXPECT_EQ(zero.UpdateProgress(1).nOverall, 50);
    ASSERT_TRUE(zero.Advance());
    EXPECT_EQ(zero.UpdateProgress(1).nOverall, 100);
}

// Catches a name table shifted by one (HLE_ has a gap at 2) and lookups
// outside the tables.
TEST(LoaderCodeNames, NamesMatchNumbers) {
    EXPECT_STREQ(ResultCodeName(HLE_PORT_NOT_OPEN), "HLE_PORT_NOT_OPEN");
    EXPECT_STREQ(ResultCodeName(HLE_CANCELLED), "HLE_CANCELLED");
    EXPECT_STREQ(ResultCodeName(HLE_PACKAGE_REFUSED), "HLE_PACKAGE_REFUSED");
    EXPECT_STREQ(ResultCodeName(HLE_NOT_CONFIRMED), "HLE_NOT_CONFIRMED");
    EXPECT_STREQ(NotificationName(HLN_NO_CANCEL), "HLN_NO_CANCEL");
    EXPECT_STREQ(PhaseKindName(PHASE_RECONNECT), "PHASE_RECONNECT");
    for (int code : {-1, 2, 14}) EXPECT_STREQ(ResultCodeName(code), "UNKNOWN") << code;
    EXPECT_STREQ(NotificationName(HLN_COUNT), "UNKNOWN");
    EXPECT_STREQ(PhaseKindName(std::numeric_limits<int>::min()), "UNKNOWN");
}

}  // namespace
