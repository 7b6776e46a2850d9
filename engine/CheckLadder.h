// Which checks each section gets, by what this receiver's flash monitor has
// shown it can do. The run learns that once (the probe, before the first
// erase) and the flash checks follow this one table; a check that cannot be
// made falls to the next rung down, said once, and never below the sum the
// monitor checks in RAM before anything is written (phase "Verify data").
//
//  rung          what the monitor showed          blank     application      boot loader           boot loader          a difference shown
//                                                 sectors   section          before its erase      after programming    after programming
//  ------------  -------------------------------  --------  ---------------  --------------------  -------------------  ---------------------------
//  read-back     reads flash and RAM (0x94), and  not       byte sum, or     its RAM copy read     flash read back,     app: the sector again from its
//                its sums (0x97) agree with what  erased    read back by     back, CRC-32          CRC-32               RAM copy (read back first);
//                it reads                                   CRC-32 (*)                                                  boot: again from the RAM copy
//  flash reads   reads flash, refuses RAM reads   not       as above         (its sum in RAM,      flash read back,     uploaded again (sum in RAM
//                                                 erased                     as uploaded)          CRC-32               checked), then programmed again
//  sums only     reads nothing back; its sums     erased    byte sum         (its sum in RAM)      byte sum             uploaded again, programmed again
//                refuse a wrong one (**)
//  none          no sum over flash to rely on     erased    none             (its sum in RAM)      none                 -
//
//  (*) --verify auto: the sum on a clean line, the read-back once the line
//      lost or damaged anything; --verify read-back: always the read-back;
//      --verify sum: the sum; --verify none: nothing. The boot loader gets
//      its rung's checks whatever --verify says.
//  (**) proved on the flash itself: a sector just erased reads as blank by
//      its sum and a sum one off is refused.
// A run on the first two rungs that made every check it wanted ends
// upgraded; on the last two (or when a check fell short) it ends "upgraded,
// but the flash could not be verified". Only a difference shown by a check
// that worked rewrites flash: a read that fails is read again (in a smaller
// piece), then checked by the next rung. The receiver stays in its monitor
// only while its boot region's write was cut off, or a check that worked
// shows it differs from the package.
//
// Plain values; the session (worker thread) holds one CMonitorProof per run.
#pragma once

#include <cstdint>

namespace CHERFLoaderLib {

enum class ECheckRung { ReadBack, FlashReads, SumsOnly, None };

struct CCheckRule {
    ECheckRung eRung;
    const char* pszName;
    bool bSkipBlank;      // sectors the monitor shows blank are left unerased
    bool bReadFlash;      // programmed flash may be read back and compared by CRC-32
    bool bReadRam;        // the boot loader's RAM copy is read back before its erase
    bool bSumFlash;       // programmed flash is checked by the monitor's byte sum
    bool bVerified;       // a run that made its checks here ends verified
};

inline constexpr CCheckRule CHECK_LADDER[] = {
    {ECheckRung::ReadBack, "read-back", true, true, true, true, true},
    {ECheckRung::FlashReads, "flash reads", true, true, false, true, true},
    {ECheckRung::SumsOnly, "sums only", false, false, false, true, false},
    {ECheckRung::None, "none", false, false, false, false, false},
};

inline const CCheckRule& CheckRule(ECheckRung rung)
{
    return CHECK_LADDER[static_cast<int>(rung)];
}

// What the monitor of this run has shown, each fact unknown until it was
// tried: the probe tries flash reads and sums at once, RAM reads when the
// boot loader's copy is first read, and (without flash reads) the sums over
// flash at the first sector erased.
enum class EShown { Unknown, Yes, No };

struct CMonitorProof {
    bool bProbed = false;
    EShown eFlashReads = EShown::Unknown;
    EShown eRamReads = EShown::Unknown;
    EShown eFlashSums = EShown::Unknown;

    ECheckRung Rung() const
    {
        if (eFlashReads == EShown::Yes)
            return eRamReads == EShown::No ? ECheckRung::FlashReads : ECheckRung::ReadBack;
        return eFlashSums == EShown::No ? ECheckRung::None : ECheckRung::SumsOnly;
    }
    const CCheckRule& Rule() const { return CheckRule(Rung()); }
};

}  // namespace CHERFLoaderLib
