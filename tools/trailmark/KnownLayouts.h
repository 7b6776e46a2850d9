// A package against the receivers the tool knows without asking one: the
// built-in RAM layout of each board class and the built-in flash layout of
// each flash chip.
//
// `trailmark info` shows every verdict; `trailmark pack` refuses a package
// that no known flash chip can take and warns about the chips that cannot.
// Runs on the main thread; pure functions of the layout.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/LayoutCheck.h"

struct CKnownVerdict {
    std::string m_strName;     // "boards 0-1", "AT49BV16X4"
    uint32_t m_nRamBase = 0;   // board classes only
    uint32_t m_nRamSize = 0;
    bool m_bFits = false;
    std::string m_strReason;   // why not, when it does not fit
};

// One verdict per board class, in board order.
std::vector<CKnownVerdict> CheckKnownRam(const CPackageLayout& layout);
// One verdict per flash chip.
std::vector<CKnownVerdict> CheckKnownFlash(const CPackageLayout& layout);
