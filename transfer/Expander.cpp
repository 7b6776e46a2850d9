// The expander for compressed section data.
//
// The loop decodes one token per turn. Token kinds come from a 256-entry table
// built from the six escapes, so a plain literal costs one table look-up. The
// output cursor counts in 64 bits: a hostile stream of 4 GiB of long copies
// cannot wrap it, and the count returned saturates instead.
#include "transfer/Expander.h"

#include <algorithm>
#include <cstring>

#include "package/ByteOrder.h"

namespace {

enum : uint8_t {
    TOKEN_LITERAL = 0,
    TOKEN_LITERAL_RUN,  // E0
    TOKEN_REPEAT,       // E1
    TOKEN_COPY3,        // E2
    TOKEN_COPY4,        // E3
    TOKEN_COPY4_FAR,    // E4
    TOKEN_COPY_N,       // E5
};

constexpr uint32_t EXPAND_ESCAPE_COUNT = 6;
constexpr uint64_t EXPAND_COUNT_LIMIT = 0xFFFFFFFFu;

// Where the expanded bytes go. Bytes past the capacity are only counted.
struct CExpandOutput {
    uint8_t* m_pOut;
    uint64_t m_nCapacity;
    uint64_t m_nPos;

    void Fill(uint8_t value, uint32_t count)
    {
        if (m_nPos < m_nCapacity) {
            const uint64_t nStop = std::min<uint64_t>(m_nPos + count, m_nCapacity);
            std::memset(m_pOut + m_nPos, value, static_cast<size_t>(nStop - m_nPos));
        }
        m_nPos += count;
    }

    void Put(const uint8_t* source, uint32_t count)
    {
        if (m_nPos < m_nCapacity) {
            const uint64_t nStop = std::min<uint64_t>(m_nPos + count, m_nCapacity);
            std::memcpy(m_pOut + m_nPos, source, static_cast<size_t>(nStop - m_nPos));
        }
        m_nPos += count;
    }

    void Copy(uint64_t distance, uint32_t count)
    {
        if (distance != 0 && distance <= m_nPos && m_nPos + count <= m_nCapacity) {
            // The common case: source and target inside the output. Byte by
            // byte on purpose: a distance below the count repeats a pattern.
            uint8_t* pTarget = m_pOut + m_nPos;
            const uint8_t* pSource = pTarget - distance;
            for (uint32_t k = 0; k < count; ++k)
                pTarget[k] = pSource[k];
            m_nPos += count;
            return;
        }
        CopyChecked(distance, count);
    }

    // A copy that ends past the capacity or reaches before the first byte.
    // A byte with no valid source is written as 0. Every source lies before
    // its target, so a target below the capacity has its source below it too
    // and no read leaves the output.
    void CopyChecked(uint64_t distance, uint32_t count)
    {
        const uint64_t nEnd = m_nPos + count;
        for (; m_nPos < nEnd && m_nPos < m_nCapacity; ++m_nPos) {
            const bool bValid = distance != 0 && distance <= m_nPos;
            m_pOut[m_nPos] = bValid ? m_pOut[m_nPos - distance] : 0;
        }
        m_nPos = nEnd;
    }
};

// The token kind of every first byte, from the stream's six escapes.
void BuildTokenKinds(const uint8_t* stream, uint8_t (&kinds)[256])
{
    // The escapes are tested in the order E1, E0, E2, E3, E4, E5 and the
    // first match decides; filling the table in reverse order gives the same
    // result when a stream repeats an escape value.
    std::memset(kinds, TOKEN_LITERAL, sizeof kinds);
    kinds[stream[5]] = TOKEN_COPY_N;
    kinds[stream[4]] = TOKEN_COPY4_FAR;
    kinds[stream[3]] = TOKEN_COPY4;
    kinds[stream[2]] = TOKEN_COPY3;
    kinds[stream[0]] = TOKEN_LITERAL_RUN;
    kinds[stream[1]] = TOKEN_REPEAT;
}

// The running figures of MeasureExpansion.
struct CLeadTracker {
    uint64_t m_nLength;       // stream length
    uint64_t m_nProduced = 0;
    int64_t m_nLead = 0;

    // `count` output bytes written once `consumed` stream bytes have been
    // read. Output byte P lands at (first output + P); the first unread
    // stream byte lies at (first stream byte + consumed): the lead must keep
    // the last of them below it. Once the whole stream is read, output may
    // go anywhere.
    void Written(uint64_t consumed, uint32_t count)
    {
        if (count != 0 && consumed < m_nLength)
            m_nLead = std::max<int64_t>(m_nLead, static_cast<int64_t>(m_nProduced + count) - static_cast<int64_t>(consumed));
        m_nProduced += count;
    }
    // A literal run of `count` bytes whose first byte is stream byte
    // `first`: byte k is written right after stream byte first + k is read.
    void Run(uint64_t first, uint32_t count)
    {
        if (count != 0 && first + 1 < m_nLength)
            m_nLead = std::max<int64_t>(m_nLead, static_cast<int64_t>(m_nProduced) - static_cast<int64_t>(first));
        m_nProduced += count;
    }
};

}  // namespace

CExpansionMeasure MeasureExpansion(const uint8_t* stream, uint32_t streamLength)
{
    CExpansionMeasure measure;
    if (stream == nullptr || streamLength <= EXPAND_ESCAPE_COUNT)
        return measure;
    uint8_t kinds[256];
    BuildTokenKinds(stream, kinds);
    CLeadTracker track{streamLength};
    const uint8_t* p = stream + EXPAND_ESCAPE_COUNT;
    const uint8_t* const pEnd = stream + streamLength;
    auto at = [stream](const uint8_t* q) { return static_cast<uint64_t>(q - stream); };
    // The same token rules as ExpandBuffer: a token cut short ends the stream.
    while (p < pEnd) {
        const uint8_t c = *p++;
        const size_t nLeft = static_cast<size_t>(pEnd - p);
        const uint8_t kind = kinds[c];
        if (kind == TOKEN_LITERAL) {
            track.Written(at(p), 1);
        } else if (kind == TOKEN_REPEAT || kind == TOKEN_COPY4_FAR) {
            if (nLeft < 2)
                break;
            p += 2;
            track.Written(at(p), kind == TOKEN_REPEAT ? p[-1] : 4);
        } else if (kind == TOKEN_LITERAL_RUN) {
            if (nLeft < 1 || nLeft - 1 < p[0])
                break;
            const uint32_t nCount = *p++;
            track.Run(at(p), nCount);
            p += nCount;
        } else if (kind == TOKEN_COPY3 || kind == TOKEN_COPY4) {
            if (nLeft < 1)
                break;
            p += 1;
            track.Written(at(p), kind == TOKEN_COPY3 ? 3 : 4);
        } else {  // TOKEN_COPY_N: count, selector, 0 to 4 distance bytes
            if (nLeft < 2)
                break;
            const uint32_t nCount = p[0];
            const size_t nBytes = p[1] >= 252 ? p[1] - 251u : 0;
            if (nLeft - 2 < nBytes)
                break;
            p += 2 + nBytes;
            track.Written(at(p), nCount);
        }
    }
    measure.m_nProduced = static_cast<uint32_t>(std::min(track.m_nProduced, EXPAND_COUNT_LIMIT));
    measure.m_nLead = static_cast<uint32_t>(std::min<int64_t>(track.m_nLead, EXPAND_COUNT_LIMIT));
    return measure;
}

uint32_t ExpandBuffer(const uint8_t* stream, uint32_t streamLength, uint8_t* output,
                      uint32_t capacity)
{
    if (stream == nullptr || streamLength <= EXPAND_ESCAPE_COUNT)
        return 0;
    uint8_t kinds[256];
    BuildTokenKinds(stream, kinds);

    CExpandOutput out{output, output != nullptr ? capacity : 0u, 0};
    const uint8_t* p = stream + EXPAND_ESCAPE_COUNT;
    const uint8_t* const pEnd = stream + streamLength;
    // A token whose operands run past the end of the stream ends the
    // expansion (p = pEnd) without producing anything.
    while (p < pEnd) {
        const uint8_t c = *p++;
        const size_t nLeft = static_cast<size_t>(pEnd - p);
        switch (kinds[c]) {
        case TOKEN_LITERAL:
            if (out.m_nPos < out.m_nCapacity)
                out.m_pOut[out.m_nPos] = c;
            ++out.m_nPos;
            break;
        case TOKEN_REPEAT:
            if (nLeft < 2) {
                p = pEnd;
                break;
            }
            out.Fill(p[0], p[1]);
            p += 2;
            break;
        case TOKEN_LITERAL_RUN:
            if (nLeft < 1 || nLeft - 1 < p[0]) {
                p = pEnd;
                break;
            }
            out.Put(p + 1, p[0]);
            p += 1 + p[0];
            break;
        case TOKEN_COPY3:
        case TOKEN_COPY4:
            if (nLeft < 1) {
                p = pEnd;
                break;
            }
            out.Copy(p[0], kinds[c] == TOKEN_COPY3 ? 3 : 4);
            p += 1;
            break;
        case TOKEN_COPY4_FAR:
            if (nLeft < 2) {
                p = pEnd;
                break;
            }
            out.Copy(static_cast<uint32_t>(p[0]) << 8 | p[1], 4);
            p += 2;
            break;
        default: {  // TOKEN_COPY_N
            // Selector 0-251 is the distance itself; 252-255 say that 1 to 4
            // big-endian distance bytes follow.
            if (nLeft < 2) {
                p = pEnd;
                break;
            }
            const uint32_t nCount = p[0];
            const uint8_t nSelector = p[1];
            p += 2;
            uint64_t nDistance = nSelector;
            if (nSelector >= 252) {
                const size_t nBytes = nSelector - 251u;
                if (nLeft - 2 < nBytes) {
                    p = pEnd;
                    break;
                }
                nDistance = 0;
                for (size_t k = 0; k < nBytes; ++k)
                    nDistance = nDistance << 8 | *p++;
            }
            out.Copy(nDistance, nCount);
            break;
        }
        }
    }
    return static_cast<uint32_t>(std::min(out.m_nPos, EXPAND_COUNT_LIMIT));
}

bool ReadCompressedPrefix(const uint8_t* data, uint32_t length, CCompressedPrefix& prefix)
{
    if (data == nullptr || length < COMPRESSED_PREFIX_SIZE)
        return false;
    const uint32_t nStream = GetLe32(data);
    if (nStream > length - COMPRESSED_PREFIX_SIZE)
        return false;
    prefix.streamLength = nStream;
    prefix.expandedLength = GetLe32(data + 4);
    return true;
}

namespace {

// One token of a stream as the strict expansion reads it.
struct CStrictToken {
    enum EAction { PUT, FILL, COPY } m_eAction = PUT;
    uint32_t m_nCount = 0;              // output bytes it writes
    const uint8_t* m_pSource = nullptr; // PUT: the literal bytes
    uint8_t m_nValue = 0;               // FILL: the byte repeated
    uint64_t m_nDistance = 0;           // COPY: how far back the source lies
};

// Reads the token at `p` (its first byte, of kind `kind`) and advances `p`
// past it; false when its operands run past `pEnd`.
bool ReadStrictToken(uint8_t kind, const uint8_t*& p, const uint8_t* pEnd, CStrictToken& token)
{
    const uint8_t* const pFirst = p++;
    const size_t nLeft = static_cast<size_t>(pEnd - p);
    switch (kind) {
    case TOKEN_LITERAL:
        token = {CStrictToken::PUT, 1, pFirst, 0, 0};
        return true;
    case TOKEN_LITERAL_RUN:
        if (nLeft < 1 || nLeft - 1 < p[0])
            return false;
        token = {CStrictToken::PUT, p[0], p + 1, 0, 0};
        p += 1 + p[0];
        return true;
    case TOKEN_REPEAT:
        if (nLeft < 2)
            return false;
        token = {CStrictToken::FILL, p[1], nullptr, p[0], 0};
        p += 2;
        return true;
    case TOKEN_COPY3:
    case TOKEN_COPY4:
        if (nLeft < 1)
            return false;
        token = {CStrictToken::COPY, kind == TOKEN_COPY3 ? 3u : 4u, nullptr, 0, p[0]};
        p += 1;
        return true;
    case TOKEN_COPY4_FAR:
        if (nLeft < 2)
            return false;
        token = {CStrictToken::COPY, 4, nullptr, 0, static_cast<uint64_t>(p[0]) << 8 | p[1]};
        p += 2;
        return true;
    default: {  // TOKEN_COPY_N: count, selector, 0 to 4 distance bytes
        if (nLeft < 2)
            return false;
        const size_t nBytes = p[1] >= 252 ? p[1] - 251u : 0;
        if (nLeft - 2 < nBytes)
            return false;
        token = {CStrictToken::COPY, p[0], nullptr, 0, nBytes == 0 ? p[1] : 0u};
        for (size_t k = 0; k < nBytes; ++k)
            token.m_nDistance = token.m_nDistance << 8 | p[2 + k];
        p += 2 + nBytes;
        return true;
    }
    }
}

}  // namespace

bool ExpandStrict(const uint8_t* stream, uint32_t streamLength, uint8_t* output, uint32_t expandedLength,
                  std::string& reason)
{
    if (stream == nullptr || streamLength < EXPAND_ESCAPE_COUNT) {
        reason = "the stream is shorter than its six escape bytes";
        return false;
    }
    uint8_t kinds[256];
    BuildTokenKinds(stream, kinds);
    const uint8_t* p = stream + EXPAND_ESCAPE_COUNT;
    const uint8_t* const pEnd = stream + streamLength;
    uint64_t nPos = 0;
    while (p < pEnd) {
        const std::string at = " at stream byte " + std::to_string(p - stream);
        CStrictToken token;
        if (!ReadStrictToken(kinds[*p], p, pEnd, token)) {
            reason = "the token" + at + " is cut short by the end of the stream (" + std::to_string(streamLength) +
                     " bytes)";
            return false;
        }
        if (nPos + token.m_nCount > expandedLength) {
            reason = "the token" + at + " writes past the " + std::to_string(expandedLength) +
                     " bytes the prefix gives";
            return false;
        }
        if (token.m_eAction == CStrictToken::COPY && (token.m_nDistance == 0 || token.m_nDistance > nPos)) {
            reason = "the copy" + at + " reaches " + std::to_string(token.m_nDistance) + " bytes back from output byte " +
                     std::to_string(nPos) + (token.m_nDistance == 0 ? ", which is no source" : ", before the output's start");
            return false;
        }
        uint8_t* const pTarget = output + nPos;
        if (token.m_eAction == CStrictToken::PUT)
            std::memcpy(pTarget, token.m_pSource, token.m_nCount);
        else if (token.m_eAction == CStrictToken::FILL)
            std::memset(pTarget, token.m_nValue, token.m_nCount);
        else {  // byte by byte: a distance below the count repeats a pattern
            const uint8_t* const pSource = pTarget - token.m_nDistance;
            for (uint32_t k = 0; k < token.m_nCount; ++k)
                pTarget[k] = pSource[k];
        }
        nPos += token.m_nCount;
    }
    if (nPos != expandedLength) {
        reason = "the stream ends after " + std::to_string(nPos) + " bytes of output, the prefix gives " +
                 std::to_string(expandedLength);
        return false;
    }
    return true;
}
