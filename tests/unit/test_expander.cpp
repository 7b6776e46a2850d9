// The expander: token meanings, escape precedence, the capacity cut, and
// corrupt streams that must never lead it outside the stream or the output.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "transfer/Expander.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes ESCAPES_F0 = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5};

Bytes WithEscapes(const Bytes& tokens, const Bytes& escapes = ESCAPES_F0)
{
    Bytes stream = escapes;
    stream.insert(stream.end(), tokens.begin(), tokens.end());
    return stream;
}

// Expands into an output of exactly `capacity` bytes on the heap, and the
// stream from an exact heap copy, so that the address sanitizer sees any
// access past either end.
Bytes Expand(const Bytes& stream, uint32_t capacity, uint32_t* pCount = nullptr)
{
    std::unique_ptr<uint8_t[]> pStream(new uint8_t[stream.size() + 1]);
    std::copy(stream.begin(), stream.end(), pStream.get());
    std::unique_ptr<uint8_t[]> pOut(new uint8_t[capacity + 1]);
    const uint32_t nCount = ExpandBuffer(pStream.get(), static_cast<uint32_t>(stream.size()), pOut.get(), capacity);
    if (pCount != nullptr)
        *pCount = nCount;
    return Bytes(pOut.get(), pOut.get() + std::min(nCount, capacity));
}

// A stream with every token kind, used as the base of the cut tests.
Bytes EveryTokenStream()
{
    return WithEscapes({0x41, 0x42,              // literals
                        0xF0, 0x03, 1, 2, 0xF3,  // literal run (an escape value inside)
                        0xF1, 0x7E, 0x05,        // repeated byte
                        0xF2, 0x04,              // copy 3
                        0xF3, 0x06,              // copy 4
                        0xF4, 0x00, 0x0A,        // copy 4, far
                        0xF5, 0x07, 0x02,        // copy n, distance in the selector
                        0xF5, 0x05, 0xFC, 0x09,              // one distance byte
                        0xF5, 0x03, 0xFD, 0x00, 0x0C,    // two
                        0xF5, 0x03, 0xFE, 0x00, 0x00, 0x01,  // three
                        0xF5, 0x02, 0xFF, 0x00, 0x00, 0x00, 0x02});  // four
}

}  // namespace

TEST(Expander, SmallStreamGivesLiteralThenRunThenCopy)
{
    uint32_t nCount = 0;
    const Bytes out = Expand(WithEscapes({0x41, 0xF1, 0x42, 0x03, 0xF2, 0x01}), 16, &nCount);
    EXPECT_EQ(nCount, 7u);
    EXPECT_EQ(out, (Bytes{0x41, 0x42, 0x42, 0x42, 0x42, 0x42, 0x42}));
}

// Catches wrong operand counts or byte order of the copy-n distance forms.
TEST(Expander, CopyNDistanceForms)
{
    struct Row {
        Bytes selector;
        uint32_t distance;
    };
    const Row rows[] = {
        {{0x05}, 5},         {{0xFB}, 251},       {{0xFC, 0xFF}, 255},
        {{0xFD, 0x01, 0x00}, 256}, {{0xFE, 0x00, 0x01, 0x2C}, 300},
        {{0xFF, 0x00, 0x00, 0x01, 0x01}, 257},
    };
    // 400 distinct-ish bytes in literal runs, then copy 4 bytes.
    Bytes head;
    Bytes prefix;
    for (int run = 0; run < 2; ++run) {
        head.insert(head.end(), {0xF0, 200});
        for (int k = 0; k < 200; ++k) {
            head.push_back(static_cast<uint8_t>(k * 7 + run * 3));
            prefix.push_back(static_cast<uint8_t>(k * 7 + run * 3));
        }
    }
    for (const Row& row : rows) {
        Bytes tokens = head;
        tokens.insert(tokens.end(), {0xF5, 0x04});
        tokens.insert(tokens.end(), row.selector.begin(), row.selector.end());
        const Bytes out = Expand(WithEscapes(tokens), 1000);
        ASSERT_EQ(out.size(), 404u) << "distance " << row.distance;
        const Bytes expected(prefix.end() - row.distance, prefix.end() - row.distance + 4);
        EXPECT_EQ(Bytes(out.begin() + 400, out.end()), expected) << "distance " << row.distance;
    }
}

// Catches a wrong test order when a stream repeats an escape value: the first
// match in the order E1, E0, E2, E3, E4, E5 must decide.
TEST(Expander, EscapePrecedence)
{
    struct Row {
        Bytes escapes;
        Bytes tokens;
        Bytes expected;
    };
    const Row rows[] = {
        {{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}, {0xAA, 0x41, 0x02}, {0x41, 0x41}},  // E1 first
        {{0xAA, 0xBB, 0xAA, 0xAA, 0xAA, 0xAA}, {0xAA, 0x01, 0x43}, {0x43}},        // E0 before copies
        {{0x01, 0x02, 0xAA, 0xAA, 0xAA, 0xAA}, {0x41, 0xAA, 0x01}, {0x41, 0x41, 0x41, 0x41}},  // E2
        {{0x01, 0x02, 0x03, 0xAA, 0xAA, 0xAA}, {0x41, 0xAA, 0x01}, {0x41, 0x41, 0x41, 0x41, 0x41}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Expand(WithEscapes(row.tokens, row.escapes), 64), row.expected);
}

TEST(Expander, ZeroCountsAndShortStreamsProduceNothing)
{
    EXPECT_EQ(Expand(WithEscapes({0xF1, 0x41, 0x00, 0xF0, 0x00, 0x42}), 8), Bytes{0x42});
    uint32_t nCount = 99;
    Expand(ESCAPES_F0, 8, &nCount);
    EXPECT_EQ(nCount, 0u);
    EXPECT_EQ(ExpandBuffer(ESCAPES_F0.data(), 3, nullptr, 0), 0u);
    EXPECT_EQ(ExpandBuffer(nullptr, 100, nullptr, 0), 0u);
}

// Catches writes past the capacity and a count that stops at the capacity.
TEST(Expander, CapacityCutStoresPrefixAndCountsAll)
{
    const Bytes stream = EveryTokenStream();
    uint32_t nFull = 0;
    const Bytes full = Expand(stream, 4096, &nFull);
    ASSERT_EQ(full.size(), nFull);
    for (uint32_t capacity = 0; capacity <= nFull; ++capacity) {
        Bytes out(capacity + 8, 0xCC);
        const uint32_t nCount = ExpandBuffer(stream.data(), static_cast<uint32_t>(stream.size()), out.data(), capacity);
        EXPECT_EQ(nCount, nFull);
        EXPECT_TRUE(std::equal(full.begin(), full.begin() + capacity, out.begin())) << capacity;
        EXPECT_EQ(Bytes(out.begin() + capacity, out.end()), Bytes(8, 0xCC)) << capacity;
    }
    EXPECT_EQ(ExpandBuffer(stream.data(), static_cast<uint32_t>(stream.size()), nullptr, 100), nFull);
}

// Catches reads past the end of a stream cut inside a token: every cut gives
// a prefix of the full output.
TEST(Expander, EveryCutOfAValidStreamStaysInBounds)
{
    const Bytes stream = EveryTokenStream();
    uint32_t nFull = 0;
    const Bytes full = Expand(stream, 4096, &nFull);
    for (size_t cut = 0; cut < stream.size(); ++cut) {
        uint32_t nCount = 0;
        const Bytes out = Expand(Bytes(stream.begin(), stream.begin() + cut), nFull, &nCount);
        EXPECT_LE(nCount, nFull) << cut;
        EXPECT_TRUE(std::equal(out.begin(), out.end(), full.begin())) << cut;
    }
}

// Catches reads before the output for copies from distance 0 or from before
// the first byte: such bytes come out as 0 and are still counted.
TEST(Expander, CopiesWithoutSourceGiveZeros)
{
    struct Row {
        Bytes tokens;
        Bytes expected;
    };
    const Row rows[] = {
        {{0xF2, 0x00}, {0, 0, 0}},
        {{0x41, 0xF3, 0x05}, {0x41, 0, 0, 0, 0}},
        {{0x41, 0xF4, 0xFF, 0xFF}, {0x41, 0, 0, 0, 0}},
        {{0x41, 0x42, 0xF5, 0x06, 0x03}, {0x41, 0x42, 0, 0x41, 0x42, 0, 0x41, 0x42}},
        {{0x41, 0xF5, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0x41, 0, 0}},
    };
    for (const Row& row : rows) {
        uint32_t nCount = 0;
        EXPECT_EQ(Expand(WithEscapes(row.tokens), 64, &nCount), row.expected);
        EXPECT_EQ(nCount, row.expected.size());
    }
}

// Catches a count that wraps at 4 GiB: a stream producing more saturates.
TEST(Expander, CountSaturates)
{
    Bytes stream = ESCAPES_F0;
    const size_t nTokens = 0xFFFFFFFFull / 255 + 2;
    stream.reserve(stream.size() + nTokens * 3);
    for (size_t k = 0; k < nTokens; ++k)
        stream.insert(stream.end(), {0xF1, 0x00, 0xFF});
    uint8_t out[4] = {};
    EXPECT_EQ(ExpandBuffer(stream.data(), static_cast<uint32_t>(stream.size()), out, 4), 0xFFFFFFFFu);
}

// Catches trusting the prefix: a stream length past the section (also one
// that would wrap when added to the prefix size) or a cut prefix is refused.
TEST(Expander, CompressedPrefix)
{
    Bytes section = {4, 0, 0, 0, 0x10, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c', 'd'};
    CCompressedPrefix prefix;
    ASSERT_TRUE(ReadCompressedPrefix(section.data(), 20, prefix));
    EXPECT_EQ(prefix.streamLength, 4u);
    EXPECT_EQ(prefix.expandedLength, 0x2010u);
    EXPECT_FALSE(ReadCompressedPrefix(section.data(), 19, prefix));
    EXPECT_FALSE(ReadCompressedPrefix(section.data(), 15, prefix));
    EXPECT_FALSE(ReadCompressedPrefix(nullptr, 100, prefix));
    section[0] = section[1] = section[2] = section[3] = 0xFF;
    EXPECT_FALSE(ReadCompressedPrefix(section.data(), 20, prefix));
}
