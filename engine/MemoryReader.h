// Reading the receiver's memory back through its flash monitor (command
// 0x94, answer 0xA4) and comparing it with what it should hold.
//
// The answer carries at most MON_READ_REPLY_MAX (1031) bytes, laid out by the
// monitor in one of two ways: the address, a 16-bit length and a status byte
// (1) before the bytes, so at most 1024 bytes a read; or the address and a
// 32-bit length, so at most 1023. A monitor may answer less than that, and it
// refuses a read it cannot answer (a negative acknowledgement). The reader
// takes either layout until the probe has had an answer confirmed by the
// monitor's own sum check (FixLayout), then only that one; LearnLargestRead
// then finds the largest read this monitor answers, from the layout's most,
// halving on refusal. Every later read goes in pieces of that size; a piece
// refused later is tried once more at half the size before the read counts
// as refused, and the smaller piece is kept when that one is answered.
//
// Used by the session's checks on the worker thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/AnswerTimer.h"

class CQMonitorManager;

namespace CHERFLoaderLib {

class CMemoryReader {
public:
    enum class ERead { Read, Refused, Lost };
    enum class ELayout { Unknown, Status16, Length32 };
    // Memory compared piece by piece by CRC-32: Match, Differs (a piece read
    // back wrong every time), or could not be read (Refused, Lost); `where`
    // is the first piece that did not match.
    enum class ECompare { Match, Differs, Refused, Lost };

    // The smallest read the reader asks: a monitor that answers less is
    // taken as one that does not read back.
    static constexpr uint32_t MIN_PIECE = 128;

    // Called for every answer lost or damaged on the line, with what was
    // read ("read of 1024 bytes at 0x01000000").
    using LossSink = std::function<void(const std::string& what, const CAnswerLoss& loss)>;
    // `baud` gives the line's rate now (for the learnt waits).
    CMemoryReader(CQMonitorManager& monitor, std::function<uint32_t()> baud, LossSink onLoss);

    // Back to a monitor not yet probed: layout and piece unknown.
    void Forget();
    // One read of `length` bytes (at most one answer's worth).
    ERead ReadPiece(uint32_t address, uint32_t length, std::vector<uint8_t>& bytes);
    // Takes the layout of the last answer as this monitor's for the rest of
    // the run.
    void FixLayout() { m_eLayout = m_eLastLayout; }
    // Finds the largest read the monitor answers at `address`, from the
    // layout's most down to `floor` (a read already answered), and uses it
    // from then on. Returns it.
    uint32_t LearnLargestRead(uint32_t address, uint32_t floor);
    ECompare Compare(uint32_t address, const std::vector<uint8_t>& expected, uint32_t& where,
                     const std::function<void(uint32_t done)>& progress = nullptr);

    ELayout Layout() const { return m_eLayout; }
    uint32_t Piece() const { return m_nPiece; }
    // Reads answered and refused so far in the run, for the trace.
    uint32_t Reads() const { return m_nReads; }
    uint32_t Refusals() const { return m_nRefusals; }
    // "address, length (16 bits), status" or "address, length (32 bits)".
    static const char* LayoutName(ELayout layout);
    // The most one answer carries in `layout`.
    static uint32_t LayoutMost(ELayout layout);

private:
    // One piece, answered or refused; a refusal is tried once at half the
    // piece before it counts.
    ERead ReadSized(uint32_t address, uint32_t length, std::vector<uint8_t>& bytes);
    // The layout an answer to a read of `length` at `address` shows; Unknown
    // when it is not such an answer.
    static ELayout LayoutOf(const std::vector<uint8_t>& payload, uint32_t address, uint32_t length);

    CQMonitorManager& m_Monitor;
    std::function<uint32_t()> m_Baud;
    LossSink m_OnLoss;
    CAnswerTimer m_Timer{1000};
    ELayout m_eLayout = ELayout::Unknown;
    ELayout m_eLastLayout = ELayout::Unknown;
    uint32_t m_nPiece = MIN_PIECE;
    uint32_t m_nReads = 0;
    uint32_t m_nRefusals = 0;
};

}  // namespace CHERFLoaderLib
