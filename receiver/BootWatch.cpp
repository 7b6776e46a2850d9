#include "receiver/BootWatch.h"

#include "receiver/ReceiverMemory.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

namespace {
const uint8_t BOOT_RECORD_MAGIC[4] = {0xAD, 0x10, 0x07, 0xB0};
constexpr size_t BOOT_RECORD_SIZE = 16;
// A host proves a handful of ranges per upgrade; a bound keeps a careless
// one from growing the list without end.
constexpr size_t PROOFS_KEPT = 64;

bool Overlap(uint32_t a, uint32_t aLength, uint32_t b, uint32_t bLength)
{
    const uint64_t aEnd = uint64_t(a) + aLength, bEnd = uint64_t(b) + bLength;
    return a < bEnd && b < aEnd;
}
}  // namespace

bool FindBootRecord(const uint8_t* data, size_t length, size_t& offset)
{
    const uint8_t* end = data + length;
    const uint8_t* at = std::search(data, end, BOOT_RECORD_MAGIC, BOOT_RECORD_MAGIC + 4);
    if (at == end)
        return false;
    offset = static_cast<size_t>(at - data);
    return true;
}

bool FindCompensatingPair(const uint8_t* data, size_t length, size_t record, CRxBitPair& pair)
{
    const size_t recordEnd = std::min(length, record + BOOT_RECORD_SIZE);
    auto outside = [&](size_t i) { return i < record || i >= recordEnd; };
    // Bits that some byte after position i (outside the record) has at 1,
    // built from the end so the search stays linear.
    std::vector<uint8_t> onesAfter(length + 1, 0);
    for (size_t i = length; i-- > 0;)
        onesAfter[i] = static_cast<uint8_t>(onesAfter[i + 1] | (outside(i) ? data[i] : 0));
    // The bytes right after the record first: in a staged image they are
    // image bytes, where a header in front of the image may not be.
    for (size_t n = 0; n < length; ++n) {
        const size_t i = recordEnd + n < length ? recordEnd + n : n - (length - recordEnd);
        const uint8_t usable = static_cast<uint8_t>(~data[i] & onesAfter[i + 1]);
        if (!outside(i) || usable == 0)
            continue;
        const int bit = std::countr_zero(usable);
        for (size_t j = i + 1; j < length; ++j) {
            if (outside(j) && (data[j] >> bit & 1)) {
                pair.m_nRaise = i;
                pair.m_nLower = j;
                pair.m_nBit = bit;
                return true;
            }
        }
    }
    return false;
}

void CBootWatch::Start(const CReceiverMemory& memory, bool whole)
{
    m_nRamBase = memory.Board().m_nRamBase;
    m_LastWhole.clear();
    if (whole) {
        m_LastWhole.resize(RXM_BOOT_SIZE);
        memory.Read(RXM_BOOT_START, m_LastWhole.data(), RXM_BOOT_SIZE);
    }
    Forget();
    m_IntendedRam.clear();
}

void CBootWatch::Prove(uint32_t address, uint32_t length)
{
    if (length == 0)
        return;
    Unprove(address, length);
    if (m_Proofs.size() >= PROOFS_KEPT)
        m_Proofs.erase(m_Proofs.begin());
    m_Proofs.push_back({address, length});
}

void CBootWatch::Unprove(uint32_t address, uint32_t length)
{
    m_Proofs.erase(std::remove_if(m_Proofs.begin(), m_Proofs.end(),
                                  [&](const CProof& p) {
                                      return Overlap(p.m_nAddress, p.m_nLength, address, length);
                                  }),
                   m_Proofs.end());
}

void CBootWatch::OnHostWrite(uint32_t address, const uint8_t* data, uint32_t length)
{
    Unprove(address, length);
    // The copy is only kept once a damage made RAM differ from it; the
    // caller has checked that the range lies in RAM.
    if (!m_IntendedRam.empty() && length)
        std::memcpy(m_IntendedRam.data() + (address - m_nRamBase), data, length);
}

bool CBootWatch::Damage(CReceiverMemory& memory, uint32_t address, uint32_t length)
{
    uint8_t* block = memory.RamPointer(address, length);
    size_t record = 0;
    CRxBitPair pair;
    if (!block || memory.Area(address, length) != RXA_RAM || !FindBootRecord(block, length, record) ||
        !FindCompensatingPair(block, length, record, pair))
        return false;
    if (m_IntendedRam.empty())
        m_IntendedRam = memory.Ram();
    block[pair.m_nRaise] = static_cast<uint8_t>(block[pair.m_nRaise] | (1u << pair.m_nBit));
    block[pair.m_nLower] = static_cast<uint8_t>(block[pair.m_nLower] & ~(1u << pair.m_nBit));
    return true;
}

void CBootWatch::OnVerified(const CReceiverMemory& memory, uint32_t address, uint32_t length)
{
    if (memory.Area(address, length) == RXA_RAM)
        Prove(address, length);
}

CRamExpansion CBootWatch::Expand(CReceiverMemory& memory, uint32_t section, uint32_t streamLength,
                                 uint32_t destination)
{
    // What the expansion would have made of the bytes the host sent: the
    // same expansion over the copy of RAM as the host wrote it.
    CRamExpansion meant;
    const bool damaged = !m_IntendedRam.empty();
    if (damaged && memory.SwapRam(m_IntendedRam)) {
        meant = ExpandInRam(memory, section, streamLength, destination);
        memory.SwapRam(m_IntendedRam);
    }
    const CRamExpansion done = ExpandInRam(memory, section, streamLength, destination);
    if (!damaged)
        meant = done;
    Unprove(destination, std::max(done.m_nProduced, meant.m_nProduced));
    if (done.m_bOk && meant.m_bOk && memory.Area(destination, meant.m_nProduced) == RXA_RAM)
        Prove(destination, meant.m_nProduced);
    return done;
}

void CBootWatch::OnErase(uint32_t address, uint32_t size)
{
    if (!Overlap(address, size, RXM_BOOT_START, RXM_BOOT_SIZE) || m_bBootErased)
        return;
    // Whatever was programmed before the first erase is not part of the
    // new image.
    m_bBootErased = true;
    m_Programmed.clear();
    m_ProgrammedMask.clear();
}

void CBootWatch::OnProgram(const CReceiverMemory& memory, uint32_t source, const uint8_t* bytes,
                           uint32_t count, uint32_t target)
{
    if (target == RXM_BOOT_START) {
        // The latest program command to the region's start says which image
        // the host is writing.
        auto proof = std::find_if(m_Proofs.rbegin(), m_Proofs.rend(),
                                  [&](const CProof& p) { return p.m_nAddress == source; });
        m_bProvenImage = proof != m_Proofs.rend();
        m_ProvenImage.clear();
        if (m_bProvenImage)
            m_ProvenImage = Intended(memory, proof->m_nAddress, proof->m_nLength);
    }
    if (!Overlap(target, count, RXM_BOOT_START, RXM_BOOT_SIZE))
        return;
    if (m_Programmed.empty()) {
        m_Programmed.assign(RXM_BOOT_SIZE, 0xFF);
        m_ProgrammedMask.assign(RXM_BOOT_SIZE, 0);
    }
    const uint32_t from = std::max(target, RXM_BOOT_START);
    const uint64_t to = std::min<uint64_t>(uint64_t(target) + count, uint64_t(RXM_BOOT_START) + RXM_BOOT_SIZE);
    for (uint64_t a = from; a < to; ++a) {
        m_Programmed[a - RXM_BOOT_START] = bytes[a - target];
        m_ProgrammedMask[a - RXM_BOOT_START] = 1;
    }
}

std::vector<uint8_t> CBootWatch::Intended(const CReceiverMemory& memory, uint32_t address,
                                          uint32_t length) const
{
    std::vector<uint8_t> bytes(length);
    if (m_IntendedRam.empty())
        memory.Read(address, bytes.data(), length);
    else
        std::memcpy(bytes.data(), m_IntendedRam.data() + (address - m_nRamBase), length);
    return bytes;
}

// The weaker rule, for a host that programs the boot region from a range it
// never proved: its image is taken to be what the program commands wrote,
// from the region's start up to the first byte none of them wrote. It cannot
// tell a host that meant to write more from one that is done.
std::vector<uint8_t> CBootWatch::FallbackImage() const
{
    size_t n = 0;
    while (n < m_ProgrammedMask.size() && m_ProgrammedMask[n])
        ++n;
    return std::vector<uint8_t>(m_Programmed.begin(), m_Programmed.begin() + static_cast<long>(n));
}

EBootVerdict CBootWatch::Judge(const CReceiverMemory& memory, std::string& why)
{
    const std::vector<uint8_t> image = m_bProvenImage ? m_ProvenImage : FallbackImage();
    Forget();
    // The first offset at which the boot region differs from `bytes`;
    // bytes.size() when it holds them all.
    auto firstDifference = [&](const std::vector<uint8_t>& bytes) {
        std::vector<uint8_t> held(bytes.size());
        if (!memory.Read(RXM_BOOT_START, held.data(), static_cast<uint32_t>(held.size())))
            return size_t(0);
        return static_cast<size_t>(
            std::mismatch(bytes.begin(), bytes.end(), held.begin()).first - bytes.begin());
    };
    if (!m_LastWhole.empty() && firstDifference(m_LastWhole) == m_LastWhole.size())
        return RXB_OLD;
    if (!image.empty()) {
        const size_t at = firstDifference(image);
        if (at == image.size()) {
            m_LastWhole = image;
            return RXB_NEW;
        }
        char detail[128];
        std::snprintf(detail, sizeof detail, " (it differs from the new one's %zu bytes at offset 0x%zX)",
                      image.size(), at);
        why = std::string(m_LastWhole.empty() ? "a boot region that holds no complete boot loader"
                                              : "a boot region that holds neither the old nor a complete new boot loader") +
              detail;
        return RXB_BROKEN;
    }
    why = m_LastWhole.empty() ? "a boot region that holds no boot loader"
                              : "a boot region that holds neither the old nor a complete new boot loader "
                                "(no new one was programmed)";
    return RXB_BROKEN;
}

void CBootWatch::Forget()
{
    m_Proofs.clear();
    m_bProvenImage = false;
    m_ProvenImage.clear();
    m_bBootErased = false;
    m_Programmed.clear();
    m_ProgrammedMask.clear();
}

void CBootWatch::OnRamLost()
{
    Forget();
    m_IntendedRam.clear();
}
