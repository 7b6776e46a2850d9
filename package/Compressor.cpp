// The compressor: escape choice, match finder, optimal parse and emission.
//
// The parse is a shortest path over input positions where an edge is one
// token and its weight the token's size in bytes. Positions are visited in
// order; when position j is reached every edge into it from a literal or a
// copy has been relaxed already, and the two run tokens (a literal run and a
// repeated byte, each up to 255 bytes) are folded in with sliding-window
// minima, so their 255 possible lengths cost O(1) per position.
#include "package/Compressor.h"

#include <algorithm>
#include <array>
#include <numeric>

namespace {

constexpr size_t COMPRESS_ESCAPE_COUNT = 6;
constexpr uint32_t COMPRESS_MAX_COUNT = 255;  // count field of the run and copy tokens
constexpr uint32_t COMPRESS_MIN_MATCH = 3;
// A match this long is taken without parsing the positions it covers: long
// repeats and runs then cost O(1) per byte, at a negligible loss of ratio.
constexpr uint32_t COMPRESS_NICE_MATCH = 96;
constexpr int COMPRESS_CHAIN_DEPTH = 48;
constexpr int COMPRESS_NEAR_DEPTH = 16;  // 3-byte candidates within 255 bytes
// Hash table size: about one slot per input byte, between these bounds, so
// that small inputs do not pay for clearing a large table.
constexpr int COMPRESS_HASH_BITS_MIN = 8;
constexpr int COMPRESS_HASH_BITS_MAX = 16;
constexpr uint32_t COMPRESS_UNREACHED = 0xFFFFFFFF;
// Positions are kept as signed 32-bit numbers.
constexpr size_t COMPRESS_MAX_INPUT = 0x7FFFFFFF;

// Token kinds of the parse.
enum : uint8_t { STEP_LITERAL, STEP_LITERAL_RUN, STEP_REPEAT, STEP_COPY };

// How the parse reached a position: the token that ends there.
struct CStep {
    uint32_t m_nDistance = 0;
    uint8_t m_nKind = STEP_LITERAL;
    uint8_t m_nLength = 1;
};

struct CMatch {
    uint32_t m_nLength;
    uint32_t m_nDistance;
};

// The six least frequent byte values, ties by value: E0 to E5 in that order.
std::array<uint8_t, COMPRESS_ESCAPE_COUNT> ChooseEscapes(const uint8_t* data, size_t length)
{
    std::array<uint64_t, 256> counts{};
    for (size_t i = 0; i < length; ++i)
        ++counts[data[i]];
    std::array<uint16_t, 256> values{};
    std::iota(values.begin(), values.end(), 0);
    std::stable_sort(values.begin(), values.end(),
                     [&counts](uint16_t a, uint16_t b) { return counts[a] < counts[b]; });
    std::array<uint8_t, COMPRESS_ESCAPE_COUNT> escapes{};
    for (size_t k = 0; k < COMPRESS_ESCAPE_COUNT; ++k)
        escapes[k] = static_cast<uint8_t>(values[k]);
    return escapes;
}

// Size of the far copy token by distance.
uint32_t CopyNCost(uint64_t distance)
{
    if (distance <= 251)
        return 3;
    if (distance <= 255)
        return 4;
    if (distance <= 0xFFFF)
        return 5;
    if (distance <= 0xFFFFFF)
        return 6;
    return 7;
}

// Size of the cheapest token that copies `length` bytes from `distance`.
uint32_t CopyCost(uint32_t length, uint64_t distance)
{
    if ((length == 3 || length == 4) && distance <= 255)
        return 2;
    if (length == 4 && distance <= 0xFFFF)
        return 3;
    return CopyNCost(distance);
}

// Hash chains over 4-byte prefixes, newest position first, plus short chains
// over 3-byte prefixes walked only 255 bytes back: 3-byte copies pay only at
// such distances, and long 3-byte chains would walk many candidates that
// never reach 4 bytes.
// For one position it lists matches of strictly growing length at the
// nearest distance that reaches each length, which is all an optimal parse
// needs since a token never gets cheaper with distance.
class CMatchFinder {
public:
    CMatchFinder(const uint8_t* data, size_t length)
        : m_pData(data), m_nLength(length), m_nShift(32 - HashBits(length)),
          m_Head(size_t{1} << HashBits(length), -1), m_Head3(size_t{1} << HashBits(length), -1),
          m_Prev(length, -1), m_Prev3(length, -1)
    {
    }

    // Matches for position i, which must not be inserted yet.
    void Find(size_t i, std::vector<CMatch>& matches) const
    {
        matches.clear();
        if (m_nLength - i < COMPRESS_MIN_MATCH)
            return;
        const uint32_t nMax = static_cast<uint32_t>(std::min<size_t>(COMPRESS_MAX_COUNT, m_nLength - i));
        if (nMax >= 4)
            FindChained(i, nMax, matches);
        const uint32_t nNear = FindNear3(i);
        if (nNear != 0 && (matches.empty() || matches.front().m_nDistance > nNear))
            matches.insert(matches.begin(), {3, nNear});
    }

    void Insert(size_t i)
    {
        if (m_nLength - i < COMPRESS_MIN_MATCH)
            return;
        const uint32_t nHash3 = Hash3(m_pData + i);
        m_Prev3[i] = m_Head3[nHash3];
        m_Head3[nHash3] = static_cast<int32_t>(i);
        if (m_nLength - i < 4)
            return;
        const uint32_t nHash = Hash4(m_pData + i);
        m_Prev[i] = m_Head[nHash];
        m_Head[nHash] = static_cast<int32_t>(i);
    }

private:
    // The nearest distance up to 255 at which the 3 bytes at i occur, 0 when
    // none. The short chain steps over other prefixes sharing the slot.
    uint32_t FindNear3(size_t i) const
    {
        int32_t nCandidate = m_Head3[Hash3(m_pData + i)];
        for (int nDepth = 0; nCandidate >= 0 && nDepth < COMPRESS_NEAR_DEPTH; ++nDepth) {
            const size_t nDistance = i - static_cast<size_t>(nCandidate);
            if (nDistance > 255)
                break;
            if (std::equal(m_pData + i, m_pData + i + 3, m_pData + nCandidate))
                return static_cast<uint32_t>(nDistance);
            nCandidate = m_Prev3[static_cast<size_t>(nCandidate)];
        }
        return 0;
    }

    void FindChained(size_t i, uint32_t nMax, std::vector<CMatch>& matches) const
    {
        const uint8_t* pHere = m_pData + i;
        uint32_t nBest = 3;
        int32_t nCandidate = m_Head[Hash4(pHere)];
        for (int nDepth = 0; nCandidate >= 0 && nDepth < COMPRESS_CHAIN_DEPTH; ++nDepth) {
            const uint8_t* pThere = m_pData + nCandidate;
            // nBest < nMax here, so both bytes lie inside the input.
            if (pThere[nBest] == pHere[nBest]) {
                uint32_t nLen = 0;
                while (nLen < nMax && pThere[nLen] == pHere[nLen])
                    ++nLen;
                if (nLen > nBest) {
                    nBest = nLen;
                    matches.push_back({nLen, static_cast<uint32_t>(i - static_cast<size_t>(nCandidate))});
                    if (nLen >= nMax)
                        break;
                }
            }
            nCandidate = m_Prev[static_cast<size_t>(nCandidate)];
        }
    }

    static int HashBits(size_t length)
    {
        int nBits = COMPRESS_HASH_BITS_MIN;
        while (nBits < COMPRESS_HASH_BITS_MAX && (size_t{1} << nBits) < length)
            ++nBits;
        return nBits;
    }

    uint32_t Hash3(const uint8_t* p) const
    {
        const uint32_t nKey = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
        return (nKey * 2654435761u) >> m_nShift;
    }

    uint32_t Hash4(const uint8_t* p) const
    {
        const uint32_t nKey = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
                              static_cast<uint32_t>(p[2]) << 8 | p[3];
        return (nKey * 2654435761u) >> m_nShift;
    }

    const uint8_t* m_pData;
    size_t m_nLength;
    int m_nShift;
    std::vector<int32_t> m_Head;
    std::vector<int32_t> m_Head3;
    std::vector<int32_t> m_Prev;
    std::vector<int32_t> m_Prev3;
};

// Minimum of a key over the last up to 255 positions, as a monotonic queue of
// positions whose keys increase from front to back. Entries older than the
// window leave at the next Best, so a small ring holds every live entry.
class CWindowMin {
public:
    void Reset() { m_nFront = m_nBack; }

    void Push(int32_t position, int64_t key)
    {
        while (m_nBack > m_nFront && At(m_nBack - 1).m_nKey >= key)
            --m_nBack;
        At(m_nBack++) = {position, key};
    }

    // The best entry at or after `oldest`; false when there is none.
    bool Best(int64_t oldest, int32_t& position, int64_t& key)
    {
        while (m_nFront < m_nBack && At(m_nFront).m_nPosition < oldest)
            ++m_nFront;
        if (m_nFront == m_nBack)
            return false;
        position = At(m_nFront).m_nPosition;
        key = At(m_nFront).m_nKey;
        return true;
    }

private:
    struct CEntry {
        int32_t m_nPosition;
        int64_t m_nKey;
    };
    static constexpr size_t RING_SIZE = 512;  // > window + 1

    CEntry& At(size_t index) { return m_Ring[index % RING_SIZE]; }

    std::array<CEntry, RING_SIZE> m_Ring{};
    size_t m_nFront = 0;
    size_t m_nBack = 0;
};

// The optimal parse: for every position the token that reaches it cheapest.
class CParser {
public:
    CParser(const uint8_t* data, size_t length, const std::array<uint8_t, COMPRESS_ESCAPE_COUNT>& escapes)
        : m_pData(data), m_nLength(length), m_Cost(length + 1, COMPRESS_UNREACHED), m_Steps(length + 1),
          m_Finder(data, length)
    {
        for (uint8_t value : escapes)
            m_bEscape[value] = true;
    }

    // The tokens of the cheapest parse, first to last.
    std::vector<CStep> Run()
    {
        m_Cost[0] = 0;
        std::vector<CMatch> matches;
        size_t nSkipTo = 0;
        for (size_t j = 0; j <= m_nLength; ++j) {
            // Every position keeps an incoming literal run from j - 1, so
            // each one is reached even inside a skipped stretch.
            if (j > 0)
                RelaxRuns(j);
            if (j == m_nLength)
                break;
            if (j < nSkipTo) {
                m_Finder.Insert(j);
                continue;
            }
            if (!m_bEscape[m_pData[j]])
                Relax(j, 1, 1, {0, STEP_LITERAL, 1});
            m_Finder.Find(j, matches);
            m_Finder.Insert(j);
            RelaxCopies(j, matches);
            if (!matches.empty() && matches.back().m_nLength >= COMPRESS_NICE_MATCH)
                nSkipTo = j + matches.back().m_nLength;
        }
        std::vector<CStep> steps;
        for (size_t j = m_nLength; j > 0; j -= m_Steps[j].m_nLength)
            steps.push_back(m_Steps[j]);
        std::reverse(steps.begin(), steps.end());
        return steps;
    }

private:
    void Relax(size_t from, size_t length, uint32_t cost, CStep step)
    {
        const uint32_t nCost = m_Cost[from] + cost;
        if (nCost < m_Cost[from + length]) {
            m_Cost[from + length] = nCost;
            m_Steps[from + length] = step;
        }
    }

    // Literal runs and repeated bytes that end at j, from any start up to
    // 255 bytes back (a repeat only within a run of equal bytes).
    void RelaxRuns(size_t j)
    {
        const size_t i = j - 1;
        const int64_t nOldest = static_cast<int64_t>(j) - COMPRESS_MAX_COUNT;
        m_LiteralRuns.Push(static_cast<int32_t>(i), static_cast<int64_t>(m_Cost[i]) - static_cast<int64_t>(i));
        if (i == 0 || m_pData[i] != m_pData[i - 1])
            m_Repeats.Reset();
        m_Repeats.Push(static_cast<int32_t>(i), m_Cost[i]);
        int32_t nStart = 0;
        int64_t nKey = 0;
        if (m_LiteralRuns.Best(nOldest, nStart, nKey)) {
            const int64_t nCost = nKey + static_cast<int64_t>(j) + 2;
            if (nCost < m_Cost[j]) {
                m_Cost[j] = static_cast<uint32_t>(nCost);
                m_Steps[j] = {0, STEP_LITERAL_RUN, static_cast<uint8_t>(j - static_cast<size_t>(nStart))};
            }
        }
        if (m_Repeats.Best(nOldest, nStart, nKey) && nKey + 3 < m_Cost[j]) {
            m_Cost[j] = static_cast<uint32_t>(nKey + 3);
            m_Steps[j] = {0, STEP_REPEAT, static_cast<uint8_t>(j - static_cast<size_t>(nStart))};
        }
    }

    void RelaxCopies(size_t j, const std::vector<CMatch>& matches)
    {
        uint32_t nLength = COMPRESS_MIN_MATCH;
        for (const CMatch& match : matches) {
            for (; nLength <= match.m_nLength; ++nLength)
                Relax(j, nLength, CopyCost(nLength, match.m_nDistance),
                      {match.m_nDistance, STEP_COPY, static_cast<uint8_t>(nLength)});
        }
    }

    const uint8_t* m_pData;
    size_t m_nLength;
    std::vector<uint32_t> m_Cost;
    std::vector<CStep> m_Steps;
    CMatchFinder m_Finder;
    CWindowMin m_LiteralRuns;
    CWindowMin m_Repeats;
    std::array<bool, 256> m_bEscape{};
};

void AppendCopy(std::vector<uint8_t>& out, const std::array<uint8_t, COMPRESS_ESCAPE_COUNT>& escapes,
                uint32_t length, uint32_t distance)
{
    if (length == 3 && distance <= 255) {
        out.insert(out.end(), {escapes[2], static_cast<uint8_t>(distance)});
    } else if (length == 4 && distance <= 255) {
        out.insert(out.end(), {escapes[3], static_cast<uint8_t>(distance)});
    } else if (length == 4 && distance <= 0xFFFF) {
        out.insert(out.end(), {escapes[4], static_cast<uint8_t>(distance >> 8), static_cast<uint8_t>(distance)});
    } else {
        out.insert(out.end(), {escapes[5], static_cast<uint8_t>(length)});
        // Selector: the distance itself up to 251, else 252 + (bytes - 1).
        int nBytes = distance <= 251 ? 0 : distance <= 0xFF ? 1 : distance <= 0xFFFF ? 2 : distance <= 0xFFFFFF ? 3 : 4;
        out.push_back(nBytes == 0 ? static_cast<uint8_t>(distance) : static_cast<uint8_t>(251 + nBytes));
        for (int k = nBytes - 1; k >= 0; --k)
            out.push_back(static_cast<uint8_t>(distance >> (8 * k)));
    }
}

void AppendLe32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int k = 0; k < 4; ++k)
        out.push_back(static_cast<uint8_t>(value >> (8 * k)));
}

}  // namespace

std::vector<uint8_t> CompressStream(const uint8_t* data, size_t length)
{
    if (data == nullptr)
        length = 0;
    if (length > COMPRESS_MAX_INPUT)
        return {};
    const std::array<uint8_t, COMPRESS_ESCAPE_COUNT> escapes = ChooseEscapes(data, length);
    std::vector<uint8_t> out(escapes.begin(), escapes.end());
    if (length == 0)
        return out;
    const std::vector<CStep> steps = CParser(data, length, escapes).Run();
    out.reserve(length + length / 32 + COMPRESS_ESCAPE_COUNT);
    size_t nPos = 0;
    for (const CStep& step : steps) {
        switch (step.m_nKind) {
        case STEP_LITERAL:
            out.push_back(data[nPos]);
            break;
        case STEP_LITERAL_RUN:
            out.insert(out.end(), {escapes[0], step.m_nLength});
            out.insert(out.end(), data + nPos, data + nPos + step.m_nLength);
            break;
        case STEP_REPEAT:
            out.insert(out.end(), {escapes[1], data[nPos], step.m_nLength});
            break;
        default:
            AppendCopy(out, escapes, step.m_nLength, step.m_nDistance);
            break;
        }
        nPos += step.m_nLength;
    }
    return out;
}

std::vector<uint8_t> CompressSection(const uint8_t* data, size_t length)
{
    std::vector<uint8_t> stream = CompressStream(data, length);
    if (stream.empty() || stream.size() > 0xFFFFFFFFu)
        return {};
    std::vector<uint8_t> section;
    section.reserve(16 + stream.size());
    AppendLe32(section, static_cast<uint32_t>(stream.size()));
    AppendLe32(section, static_cast<uint32_t>(length));
    section.insert(section.end(), 8, 0);
    section.insert(section.end(), stream.begin(), stream.end());
    return section;
}
