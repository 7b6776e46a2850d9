#include "engine/PhasePlan.h"

#include <cmath>

#include "package/ByteOrder.h"

using namespace CHERFLoaderLib::LoaderCodes;

CFlashPhase::CFlashPhase(const char* pszName, double dStart, double dEnd, double dWeight,
                         int32_t nKind, int32_t bCancellable, const CFirmwareSection* pSection)
    : m_pszName(pszName),
      m_pSection(pSection),
      m_nKind(nKind),
      m_bCancellable(bCancellable),
      m_dValue(dStart),
      m_dStart(dStart),
      m_dEnd(dEnd),
      m_dWeight(dWeight) {}

double CFlashPhase::SetValue(double dValue) {
    if (std::isnan(dValue)) return GetFraction();
    if (dValue < m_dStart) {
        m_dValue = m_dStart;
    } else if (dValue > m_dEnd) {
        m_dValue = m_dEnd;
    } else {
        m_dValue = dValue;
    }
    return GetFraction();
}

double CFlashPhase::GetFraction() const {
    // An empty range has no defined share; a phase with nothing to do is done.
    if (!(m_dEnd > m_dStart)) return 1.0;
    const double dFraction = (m_dValue - m_dStart) / (m_dEnd - m_dStart);
    if (!(dFraction > 0.0)) return 0.0;
    return dFraction < 1.0 ? dFraction : 1.0;
}

void CFlashPhaseMgr::AddPhase(const char* pszName, double dStart, double dEnd, double dWeight,
                              int32_t nKind, int32_t bCancellable, const CFirmwareSection* pSection) {
    m_Phases.emplace_back(pszName, dStart, dEnd, dWeight, nKind, bCancellable, pSection);
}

void CFlashPhaseMgr::Reset() {
    m_dCompletedWeight = 0.0;
    m_nCurrent = m_Phases.empty() ? -1 : 0;
    double dSum = 0.0;
    for (CFlashPhase& phase : m_Phases) {
        // A weight that is negative or not a number would push the overall
        // share outside 0..1; it counts as nothing.
        if (!(phase.m_dWeight > 0.0) || !std::isfinite(phase.m_dWeight)) phase.m_dWeight = 0.0;
        dSum += phase.m_dWeight;
    }
    const double dEqualShare = m_Phases.empty() ? 0.0 : 1.0 / static_cast<double>(m_Phases.size());
    for (CFlashPhase& phase : m_Phases) {
        phase.m_dWeight = dSum > 0.0 ? phase.m_dWeight / dSum : dEqualShare;
    }
}

CFlashPhase* CFlashPhaseMgr::GetCurrentPhase() {
    if (m_nCurrent < 0 || m_nCurrent >= GetPhaseCount()) return nullptr;
    return &m_Phases[static_cast<size_t>(m_nCurrent)];
}

bool CFlashPhaseMgr::Advance() {
    const CFlashPhase* pPhase = GetCurrentPhase();
    if (pPhase == nullptr) return false;
    m_dCompletedWeight += pPhase->m_dWeight;
    ++m_nCurrent;
    if (m_nCurrent >= GetPhaseCount()) {
        m_nCurrent = -1;
        return false;
    }
    return true;
}

double CFlashPhaseMgr::SetProgress(double dValue) {
    CFlashPhase* pPhase = GetCurrentPhase();
    return pPhase == nullptr ? 0.0 : pPhase->SetValue(dValue);
}

double CFlashPhaseMgr::GetPhaseFraction() const {
    if (m_nCurrent < 0 || m_nCurrent >= GetPhaseCount()) return 0.0;
    return m_Phases[static_cast<size_t>(m_nCurrent)].GetFraction();
}

double CFlashPhaseMgr::GetOverallFraction() const {
    if (m_nCurrent < 0 || m_nCurrent >= GetPhaseCount()) return 0.0;
    const CFlashPhase& phase = m_Phases[static_cast<size_t>(m_nCurrent)];
    return phase.GetFraction() * phase.m_dWeight + m_dCompletedWeight;
}

CProgressPercent CFlashPhaseMgr::UpdateProgress(double dValue) {
    SetProgress(dValue);
    CProgressPercent percent;
    percent.nOverall = ToPercent(GetOverallFraction());
    percent.nPhase = ToPercent(GetPhaseFraction());
    return percent;
}

const CFlashPhase* CFlashPhaseMgr::GetPhase(int index) const {
    if (index < 0 || index >= GetPhaseCount()) return nullptr;
    return &m_Phases[static_cast<size_t>(index)];
}

int32_t CFlashPhaseMgr::ToPercent(double dFraction) {
    // Sums of normalised weights can land a hair outside 0..1; a NaN must
    // never reach the integer conversion.
    if (!(dFraction > 0.0)) return 0;
    if (dFraction >= 1.0) return 100;
    return static_cast<int32_t>(dFraction * 100.0 + 0.5);
}

uint32_t GetBytesToProgram(const CFirmwareSection& section) {
    if ((section.flags & SECTION_COMPRESSED) != 0) {
        if (!section.data || section.length < 8) return 0;
        return GetLe32(section.data.get() + 4);
    }
    if ((section.flags & SECTION_PLAIN) != 0) return section.length;
    return 0;
}

void AppendPlanPhases(CFlashPhaseMgr& plan,
                      const std::vector<std::unique_ptr<CFirmwareSection>>& sections,
                      uint32_t nBlockCount) {
    plan.AddPhase(PHASE_NAME_CONNECT, 0, 1, 1, PHASE_CONNECT, 1, nullptr);
    plan.AddPhase(PHASE_NAME_UPLOAD_MONITOR, 0, 100, 5, PHASE_UPLOAD_MONITOR, 1, nullptr);
    plan.AddPhase(PHASE_NAME_UPLOAD_DATA, 0, static_cast<double>(nBlockCount), 20,
                  PHASE_UPLOAD_DATA, 1, nullptr);
    // Every section is verified in RAM before the first phase that changes
    // flash, so a bad upload stops the run while the old firmware is intact.
    for (const auto& pSection : sections) {
        if (!pSection) continue;
        plan.AddPhase(PHASE_NAME_VERIFY_DATA, 0, 1, 1, PHASE_VERIFY_DATA, 1, pSection.get());
    }
    for (const auto& pSection : sections) {
        if (!pSection) continue;
        if ((pSection->flags & SECTION_COMPRESSED) != 0) {
            plan.AddPhase(PHASE_NAME_EXPAND_DATA, 0, 1, 1, PHASE_EXPAND_DATA, 0, pSection.get());
        }
        plan.AddPhase(PHASE_NAME_PREPARE_FLASH, 0, 100, 5, PHASE_PREPARE_FLASH, 0, pSection.get());
        plan.AddPhase(PHASE_NAME_PROGRAM_FLASH, 0,
                      static_cast<double>(GetBytesToProgram(*pSection)), 6, PHASE_PROGRAM_FLASH, 0,
                      pSection.get());
    }
    plan.AddPhase(PHASE_NAME_CONNECT, 0, 1, 1, PHASE_RECONNECT, 0, nullptr);
}
