// The compressor: every input must come back exactly through the expander,
// and the parse must actually use the cheap tokens.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "package/Compressor.h"
#include "transfer/Expander.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A fixed-seed generator of our own, so inputs are the same everywhere.
class CTestRandom {
public:
    explicit CTestRandom(uint64_t seed) : m_nState(seed) {}
    uint64_t Next()
    {
        uint64_t z = (m_nState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

private:
    uint64_t m_nState;
};

Bytes RandomBytes(size_t length, uint64_t seed)
{
    CTestRandom random(seed);
    Bytes data(length);
    for (auto& byte : data)
        byte = static_cast<uint8_t>(random.Next());
    return data;
}

// 32-bit words from a few templates with varying fields: repeats at many
// distances, like processor code.
Bytes CodeLike(size_t length, uint64_t seed)
{
    CTestRandom random(seed);
    static const uint32_t templates[] = {0xE59F0000, 0xE3A00000, 0xEB000000, 0xE1A00000, 0xE8BD8000, 0xE92D4000};
    Bytes data;
    while (data.size() < length) {
        uint32_t word = templates[random.Next() % 6] | static_cast<uint32_t>(random.Next() % 64) << (random.Next() % 3 * 4);
        for (int k = 0; k < 4; ++k)
            data.push_back(static_cast<uint8_t>(word >> (8 * k)));
    }
    data.resize(length);
    return data;
}

Bytes RoundTrip(const Bytes& input, Bytes* pStream = nullptr)
{
    const Bytes stream = CompressStream(input.data(), input.size());
    if (pStream != nullptr)
        *pStream = stream;
    Bytes out(input.size() + 1);
    const uint32_t nCount = ExpandBuffer(stream.data(), static_cast<uint32_t>(stream.size()), out.data(), static_cast<uint32_t>(out.size()));
    out.resize(std::min<size_t>(nCount, out.size()));
    return out;
}

}  // namespace

// Catches any token the compressor writes differently from how the expander
// reads it, and escape values leaking out as literals.
TEST(Compressor, RoundTripsEveryKindOfInput)
{
    Bytes allValues;
    for (int rep = 0; rep < 40; ++rep)
        for (int v = 0; v < 256; ++v)
            allValues.push_back(static_cast<uint8_t>(rep % 2 ? 255 - v : v));
    Bytes escapeHeavy;  // six values rarer than the rest but still frequent
    CTestRandom random(7);
    for (int k = 0; k < 20000; ++k)
        escapeHeavy.push_back(static_cast<uint8_t>(random.Next() % 5 ? 0x10 + random.Next() % 4 : random.Next() % 16));
    Bytes longRun(100000, 0x00);
    longRun.insert(longRun.end(), 700, 0x5A);
    Bytes farRepeat = RandomBytes(70000, 3);  // a repeat at a distance above 65535
    farRepeat.insert(farRepeat.end(), farRepeat.begin() + 100, farRepeat.begin() + 2000);

    const std::pair<std::string, Bytes> rows[] = {
        {"empty", {}},
        {"one byte", {0x00}},
        {"one 0xFF", {0xFF}},
        {"two equal", {0x41, 0x41}},
        {"long runs", longRun},
        {"all 256 values", allValues},
        {"escape-heavy", escapeHeavy},
        {"random", RandomBytes(50000, 1)},
        {"code-like", CodeLike(65536, 2)},
        {"far repeat", farRepeat},
    };
    for (const auto& [name, input] : rows)
        EXPECT_EQ(RoundTrip(input), input) << name;
    // Random sizes; few distinct values give matches and runs, many escapes.
    for (int k = 0; k < 60; ++k) {
        Bytes input(random.Next() % 3000);
        const unsigned nValues = 1 + random.Next() % 256;
        for (auto& byte : input)
            byte = static_cast<uint8_t>(random.Next() % nValues);
        EXPECT_EQ(RoundTrip(input), input) << "length " << input.size() << " values " << nValues;
    }
}

TEST(Compressor, EmptyInputIsSixEscapes)
{
    const Bytes stream = CompressStream(nullptr, 0);
    // With no bytes at all every count ties, so the lowest values are chosen.
    EXPECT_EQ(stream, (Bytes{0, 1, 2, 3, 4, 5}));
}

// Catches a poor escape choice: the six least frequent values, ties by value.
TEST(Compressor, EscapesAreTheLeastFrequentValues)
{
    Bytes input;
    for (int v = 0; v < 256; ++v)
        input.insert(input.end(), v == 0x30 || v == 0x31 ? 1 : 3 + v % 2, static_cast<uint8_t>(v));
    const Bytes stream = CompressStream(input.data(), input.size());
    ASSERT_GE(stream.size(), 6u);
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 6), (Bytes{0x30, 0x31, 0x00, 0x02, 0x04, 0x06}));
}

// Catches a parse that ignores the cheap tokens: runs, repeats and code must
// shrink well, and random data may grow only by the escapes' small overhead.
TEST(Compressor, SizesShowTheParseWorks)
{
    const Bytes zeros(384 * 1024, 0);
    EXPECT_LT(CompressStream(zeros.data(), zeros.size()).size(), zeros.size() / 80);
    const Bytes code = CodeLike(64 * 1024, 5);
    EXPECT_LT(CompressStream(code.data(), code.size()).size(), code.size() * 3 / 4);
    const Bytes noise = RandomBytes(64 * 1024, 6);
    EXPECT_LT(CompressStream(noise.data(), noise.size()).size(), noise.size() * 103 / 100);
}

namespace {

// Token sizes of the stream format, for copies of 3 bytes or more.
size_t CopySize(size_t length, size_t distance)
{
    if ((length == 3 || length == 4) && distance <= 255)
        return 2;
    if (length == 4 && distance <= 0xFFFF)
        return 3;
    return distance <= 251 ? 3 : distance <= 255 ? 4 : distance <= 0xFFFF ? 5 : 6;
}

// The smallest token sequence for `data` from `i` on, by exhaustive search
// over every token at every position (no escape values in the input).
size_t BestSize(const Bytes& data, size_t i, std::vector<size_t>& memo)
{
    if (i == data.size())
        return 0;
    if (memo[i] != SIZE_MAX)
        return memo[i];
    const size_t nLeft = data.size() - i;
    size_t nBest = 1 + BestSize(data, i + 1, memo);
    bool bRun = true;
    for (size_t n = 1; n <= std::min<size_t>(nLeft, 255); ++n) {
        nBest = std::min(nBest, 2 + n + BestSize(data, i + n, memo));
        bRun = bRun && data[i + n - 1] == data[i];
        if (bRun)
            nBest = std::min(nBest, 3 + BestSize(data, i + n, memo));
    }
    for (size_t d = 1; d <= i; ++d) {
        size_t nLen = 0;
        while (nLen < std::min<size_t>(nLeft, 255) && data[i + nLen] == data[i + nLen - d])
            ++nLen;
        for (size_t l = 3; l <= nLen; ++l)
            nBest = std::min(nBest, CopySize(l, d) + BestSize(data, i + l, memo));
    }
    return memo[i] = nBest;
}

}  // namespace

// Catches a parse that is not optimal (greedy choices, wrong token costs, a
// run or copy length left out): on small inputs the size must equal that of
// an exhaustive search.
TEST(Compressor, ParseIsOptimalOnSmallInputs)
{
    CTestRandom random(21);
    for (int k = 0; k < 300; ++k) {
        const size_t nLength = 1 + random.Next() % 48;
        const unsigned nLetters = 1 + random.Next() % 3;
        Bytes input(nLength);
        for (auto& byte : input)
            byte = static_cast<uint8_t>('a' + random.Next() % nLetters);
        std::vector<size_t> memo(nLength, SIZE_MAX);
        const size_t nOptimal = 6 + BestSize(input, 0, memo);
        EXPECT_EQ(CompressStream(input.data(), input.size()).size(), nOptimal)
            << std::string(input.begin(), input.end());
    }
}

TEST(Compressor, SectionPrefixHoldsBothLengths)
{
    const Bytes input = CodeLike(5000, 9);
    const Bytes section = CompressSection(input.data(), input.size());
    CCompressedPrefix prefix;
    ASSERT_TRUE(ReadCompressedPrefix(section.data(), static_cast<uint32_t>(section.size()), prefix));
    EXPECT_EQ(prefix.streamLength, section.size() - COMPRESSED_PREFIX_SIZE);
    EXPECT_EQ(prefix.expandedLength, input.size());
    EXPECT_EQ(Bytes(section.begin() + 8, section.begin() + 16), Bytes(8, 0));
    Bytes out(input.size());
    EXPECT_EQ(ExpandBuffer(section.data() + COMPRESSED_PREFIX_SIZE, prefix.streamLength, out.data(), prefix.expandedLength),
              input.size());
    EXPECT_EQ(out, input);
}
