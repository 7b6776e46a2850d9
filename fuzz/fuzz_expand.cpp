// Fuzz target for the expander and the compressor.
//
// The input is expanded as a stream into a small and a large output (the
// sanitizers catch any access outside either), with the cut-at-capacity
// contract checked against the large result, and the expansion's measure
// must count the same output; the strict expansion must stay inside an
// output of exactly its length and agree with it. The same input is then
// compressed, and its expansion must give it back exactly.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "package/Compressor.h"
#include "transfer/Expander.h"

namespace {

constexpr uint32_t FUZZ_SMALL_CAPACITY = 17;
constexpr uint32_t FUZZ_LARGE_CAPACITY = 1 << 16;

void CheckExpand(const uint8_t* data, size_t size)
{
    const uint32_t nLength = static_cast<uint32_t>(size);
    std::vector<uint8_t> stream(data, data + size);  // exact size: overreads show
    std::vector<uint8_t> small(FUZZ_SMALL_CAPACITY);
    std::vector<uint8_t> large(FUZZ_LARGE_CAPACITY);
    const uint32_t nSmall = ExpandBuffer(stream.data(), nLength, small.data(), FUZZ_SMALL_CAPACITY);
    const uint32_t nLarge = ExpandBuffer(stream.data(), nLength, large.data(), FUZZ_LARGE_CAPACITY);
    // The count never depends on the capacity, and the small output is the
    // start of the large one.
    if (nSmall != nLarge)
        std::abort();
    const uint32_t nCompare = nSmall < FUZZ_SMALL_CAPACITY ? nSmall : FUZZ_SMALL_CAPACITY;
    if (std::memcmp(small.data(), large.data(), nCompare) != 0)
        std::abort();
    // The layout check walks the stream by the same token rules.
    if (MeasureExpansion(stream.data(), nLength).m_nProduced != nLarge)
        std::abort();
    // The strict expansion stays inside an output of exactly the length it
    // is given, and a stream it passes gives what the forgiving one gives.
    std::string reason;
    std::vector<uint8_t> exact(FUZZ_SMALL_CAPACITY);
    if (ExpandStrict(stream.data(), nLength, exact.data(), FUZZ_SMALL_CAPACITY, reason) &&
        (nLarge != FUZZ_SMALL_CAPACITY || exact != small))
        std::abort();
    if (nLarge <= FUZZ_LARGE_CAPACITY) {
        exact.resize(nLarge);
        if (ExpandStrict(stream.data(), nLength, exact.data(), nLarge, reason) &&
            std::memcmp(exact.data(), large.data(), nLarge) != 0)
            std::abort();
    }
}

void CheckRoundTrip(const uint8_t* data, size_t size)
{
    const std::vector<uint8_t> stream = CompressStream(data, size);
    std::vector<uint8_t> out(size + 1);
    const uint32_t nCount = ExpandBuffer(stream.data(), static_cast<uint32_t>(stream.size()), out.data(),
                                         static_cast<uint32_t>(out.size()));
    if (nCount != size || (size != 0 && std::memcmp(out.data(), data, size) != 0))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    CheckExpand(data, size);
    CheckRoundTrip(data, size);
    return 0;
}
