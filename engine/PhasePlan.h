// The phase plan of an upgrade run and its progress arithmetic.
//
// A run is a fixed list of phases built once from the package when the
// session starts (BuildPlan). The worker takes the phases in order and runs
// the operation of each phase's kind; the progress page shows, from the same
// plan, a percentage for the current phase and one for the whole run, where
// every phase counts with its own weight. This is plain data: nothing here
// touches a port or sends a notification, so the arithmetic is tested alone.
//
// Callers: the upgrade session (BuildPlan on the starting thread, Reset and
// Advance in the worker loop, UpdateProgress from the phases), and tools that
// want to show a plan without running it.
//
// Threading: not synchronised. The plan is built before the worker starts;
// afterwards, callers that may report progress at the same time (the two
// upload threads) must hold one lock around UpdateProgress and Advance.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/LoaderCodes.h"
#include "package/FirmwareFile.h"
#include "transfer/DataBuffer.h"
#include "transfer/StagedImage.h"

// Phase names shown to the user. Both connection phases share a name; their
// kinds tell them apart.
inline constexpr char PHASE_NAME_CONNECT[] = "Connect to receiver";
inline constexpr char PHASE_NAME_UPLOAD_MONITOR[] = "Upload monitor";
inline constexpr char PHASE_NAME_UPLOAD_DATA[] = "Upload data";
inline constexpr char PHASE_NAME_VERIFY_DATA[] = "Verify data";
inline constexpr char PHASE_NAME_EXPAND_DATA[] = "Expand data";
inline constexpr char PHASE_NAME_PREPARE_FLASH[] = "Prepare flash";
inline constexpr char PHASE_NAME_PROGRAM_FLASH[] = "Program flash";

class CFlashPhase {
public:
    CFlashPhase(const char* pszName, double dStart, double dEnd, double dWeight, int32_t nKind,
                int32_t bCancellable, const CFirmwareSection* pSection);
    virtual ~CFlashPhase() = default;
    CFlashPhase(const CFlashPhase&) = default;
    CFlashPhase& operator=(const CFlashPhase&) = default;

    // Stores the value clamped to start..end (a NaN keeps the earlier value)
    // and returns GetFraction.
    double SetValue(double dValue);
    // Share of the phase done, 0..1. A phase with nothing to do (its end not
    // above its start) counts as done: 1.
    double GetFraction() const;

    const char* m_pszName;          // constant text, not owned
    const CFirmwareSection* m_pSection;  // section of kinds 3 to 6; null otherwise; not owned
    int32_t m_nKind;                // PHASE_*
    int32_t m_bCancellable;         // 1: the run may still be cancelled during this phase
    double m_dValue;                // current progress value, within start..end
    double m_dStart;
    double m_dEnd;
    double m_dWeight;               // raw when added, a fraction of 1 after Reset
};

// The two percentages one progress report sends.
struct CProgressPercent {
    int32_t nOverall = 0;  // HLN_OVERALL_PERCENT payload, 0..100
    int32_t nPhase = 0;    // HLN_PHASE_PERCENT payload, 0..100
};

class CFlashPhaseMgr {
public:
    CFlashPhaseMgr() = default;
    virtual ~CFlashPhaseMgr() = default;

    void AddPhase(const char* pszName, double dStart, double dEnd, double dWeight, int32_t nKind,
                  int32_t bCancellable, const CFirmwareSection* pSection);
    // Normalises the weights to fractions of their sum (equal shares when the
    // sum is not positive), makes the first phase current and clears the
    // completed weight. With no phase, no phase becomes current.
    void Reset();
    // The current phase; null when there is none.
    CFlashPhase* GetCurrentPhase();
    // Completes the current phase and makes the next one current; false (and
    // no current phase) after the last, false and no change when none was.
    bool Advance();
    // SetValue on the current phase; 0.0 when there is none.
    double SetProgress(double dValue);
    double GetPhaseFraction() const;
    // Completed weight plus the current phase's share of its weight; 0.0
    // when there is no current phase.
    double GetOverallFraction() const;
    // SetProgress, then the two percentages the progress notifications carry.
    CProgressPercent UpdateProgress(double dValue);

    int GetPhaseCount() const { return static_cast<int>(m_Phases.size()); }
    // Phase i in running order; null when out of range.
    const CFlashPhase* GetPhase(int index) const;
    int GetCurrentIndex() const { return m_nCurrent; }

    // A fraction as a whole percentage: × 100 + 0.5, fraction dropped; kept
    // within 0..100 (a NaN gives 0).
    static int32_t ToPercent(double dFraction);

private:
    std::vector<CFlashPhase> m_Phases;
    int32_t m_nCurrent = -1;
    double m_dCompletedWeight = 0.0;
};

// Bytes the "Program flash" phase writes for a section: the expanded length
// (second word of the compressed-data header) for a compressed section, the
// length for a plain one, otherwise 0. A compressed section whose data is not
// loaded, or is shorter than the header word, counts 0.
uint32_t GetBytesToProgram(const CFirmwareSection& section);

// Appends the run's phases for these sections and this number of staged
// blocks: connect, upload monitor, upload data, one verify per section, then
// per section expand (compressed only), prepare and program, and the final
// connect. Null sections are skipped.
void AppendPlanPhases(CFlashPhaseMgr& plan,
                      const std::vector<std::unique_ptr<CFirmwareSection>>& sections,
                      uint32_t nBlockCount);

