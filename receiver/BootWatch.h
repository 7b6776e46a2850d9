// Whether the virtual receiver's boot loader is whole, the way the hardware
// decides it: a boot loader that is not whole never runs again, so a
// receiver left with one is dead for good.
//
// The watch keeps the boot region's contents as last known whole (at start
// the initial boot region when it holds a boot loader, else none). While the
// flash monitor runs it learns the image a host writes into the boot region:
//
// - RAM ranges the host proved: a verify (0x97) over RAM that passed, and
//   the output of an expansion (0x98). A data packet or an expansion that
//   writes over a proven range ends its proof.
// - A program command (0x96) to the boot region's start whose RAM source is
//   the start of a proven range makes that range, with its bytes as the
//   host's data packets wrote them, the new image.
// - Without such a command, the bytes program commands wrote into the boot
//   region since its first erase, contiguous from the region's start, are
//   the new image (see FallbackImage).
//
// When the monitor is left and when power is lost, the boot region must hold
// the last whole boot loader or the complete new image byte for byte (over
// its length); Judge says which, and the new one, when it is the one there,
// becomes the last whole one. What was learned is then forgotten.
//
// "As the host's data packets wrote them" differs from RAM only after the
// receiver damaged a staged boot image (--damage-boot-ram, Damage): from the
// first damage on, the watch keeps a copy of RAM as the host wrote it, and
// runs each expansion on that copy too.
//
// Owned by CReceiverCore; used by the flash monitor on the receiver's loop
// thread only.
#pragma once

#include "receiver/RamExpander.h"

#include <cstdint>
#include <string>
#include <vector>

class CReceiverMemory;

// What a judgment found in the boot region: the last whole boot loader, the
// complete new image (now the last whole one), or neither (bricked).
enum EBootVerdict { RXB_OLD, RXB_NEW, RXB_BROKEN };

// Two bytes of a data block whose bit `m_nBit` can be flipped both ways: 0
// to 1 in byte `m_nRaise`, 1 to 0 in the later byte `m_nLower`. Their sum,
// and every byte sum over both, stays the same.
struct CRxBitPair {
    size_t m_nRaise = 0;
    size_t m_nLower = 0;
    int m_nBit = 0;
};

// Where a data block holds the boot version record (AD 10 07 B0, the record's
// magic 0xB00710AD little-endian); false when it holds none.
bool FindBootRecord(const uint8_t* data, size_t length, size_t& offset);

// The pair the damage fault flips in a block whose boot version record
// starts at `record`. Taking the bytes after the record's 16 bytes in order,
// then those before it: the first byte that has a 0 bit which some later
// byte of the block (outside the record) has at 1; in it the lowest such
// bit; and the first later byte outside the record with that bit at 1.
// False when no byte pair allows it (a block of all 0x00 or all 0xFF).
bool FindCompensatingPair(const uint8_t* data, size_t length, size_t record, CRxBitPair& pair);

class CBootWatch {
public:
    // The boot region as it is now is the last whole boot loader (`whole`),
    // or the receiver starts without one.
    void Start(const CReceiverMemory& memory, bool whole);

    // A data packet wrote `data` to RAM at `address` (already in memory).
    void OnHostWrite(uint32_t address, const uint8_t* data, uint32_t length);
    // Damages the block just written at `address` if it carries the boot
    // version record; true when it did.
    bool Damage(CReceiverMemory& memory, uint32_t address, uint32_t length);
    // A verify over RAM passed.
    void OnVerified(const CReceiverMemory& memory, uint32_t address, uint32_t length);
    // Runs the monitor's expansion (ExpandInRam) and learns its output.
    CRamExpansion Expand(CReceiverMemory& memory, uint32_t section, uint32_t streamLength,
                         uint32_t destination);
    // An erased sector, and a program command that wrote `bytes` (as read
    // from the source) to `target`.
    void OnErase(uint32_t address, uint32_t size);
    void OnProgram(const CReceiverMemory& memory, uint32_t source, const uint8_t* bytes,
                   uint32_t count, uint32_t target);

    // Whether the boot region holds the last whole boot loader or the
    // complete new image; when neither, the reason, worded to follow
    // "with ". Forgets what was learned either way.
    EBootVerdict Judge(const CReceiverMemory& memory, std::string& why);
    // Power loss: RAM, and the copy of what the host wrote to it, are gone.
    void OnRamLost();

private:
    struct CProof {
        uint32_t m_nAddress;
        uint32_t m_nLength;
    };
    void Prove(uint32_t address, uint32_t length);
    void Unprove(uint32_t address, uint32_t length);
    std::vector<uint8_t> Intended(const CReceiverMemory& memory, uint32_t address,
                                  uint32_t length) const;
    std::vector<uint8_t> FallbackImage() const;
    void Forget();

    std::vector<uint8_t> m_LastWhole;  // empty: none known
    std::vector<CProof> m_Proofs;
    bool m_bProvenImage = false;
    std::vector<uint8_t> m_ProvenImage;
    bool m_bBootErased = false;           // a boot sector was erased since the last judgment
    std::vector<uint8_t> m_Programmed;    // what program commands asked for in the boot region
    std::vector<uint8_t> m_ProgrammedMask;
    std::vector<uint8_t> m_IntendedRam;   // RAM as the host wrote it; empty while RAM is that
    uint32_t m_nRamBase = 0;
};
