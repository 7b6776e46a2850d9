// The compressor that makes streams in the expander's format.
//
// It picks the six escape bytes per stream (the least frequent byte values,
// so that few literals need escaping) and parses the input for the smallest
// output the token set allows: an optimal parse over the token costs with
// matches from a hash-chain match finder, distances up to 32 bits.
// Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The stream alone: six escape bytes and the tokens. Empty (never a valid
// stream) when the input is 2 GiB or longer.
std::vector<uint8_t> CompressStream(const uint8_t* data, size_t length);

// A whole compressed section: the 16-byte prefix (stream length, expanded
// length, eight zero bytes) followed by the stream. Empty when the input is
// too long for the stream.
std::vector<uint8_t> CompressSection(const uint8_t* data, size_t length);
