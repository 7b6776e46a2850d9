// The expander for compressed section data.
//
// A compressed section holds a 16-byte prefix (stream length, expanded length,
// eight bytes not read) and then a byte-oriented stream: six escape bytes
// chosen per stream, followed by literal bytes and escape tokens (literal run,
// repeated byte, copies from a distance back in the output). The receiver
// expands the section itself; the host expands a copy only to read the
// embedded version, and the tools to unpack and check packages.
//
// Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t COMPRESSED_PREFIX_SIZE = 16;

// Expands `streamLength` bytes of stream into `output` (room for `capacity`
// bytes) and returns the number of bytes the stream produces, which may be
// more than the capacity: bytes past it are counted and dropped. Never reads
// outside the stream nor writes outside the output, whatever the stream
// holds: a token cut short by the end of the stream ends the expansion, and a
// copy from distance 0 or from before the start of the output produces zero
// bytes in its place. The count saturates at 0xFFFFFFFF.
uint32_t ExpandBuffer(const uint8_t* stream, uint32_t streamLength, uint8_t* output,
                      uint32_t capacity);

// The expansion a package must pass before any receiver sees it: the stream
// must produce exactly `expandedLength` bytes into `output` (room for that
// many) and end exactly at `streamLength`. A token cut short by the end of
// the stream, a copy from distance 0 or from before the first output byte,
// and output past or short of `expandedLength` are errors; the reason names
// the stream byte where the token starts. ExpandBuffer above forgives all of
// these, as the receiver's monitor does, and so cannot tell a damaged stream
// from a good one.
bool ExpandStrict(const uint8_t* stream, uint32_t streamLength, uint8_t* output, uint32_t expandedLength,
                  std::string& reason);

// The two lengths of a compressed section's prefix; false when the section is
// shorter than the prefix or the stream length runs past the section.
struct CCompressedPrefix {
    uint32_t streamLength = 0;
    uint32_t expandedLength = 0;
};
bool ReadCompressedPrefix(const uint8_t* data, uint32_t length, CCompressedPrefix& prefix);

// How an expansion in place meets its own input. The receiver's monitor
// expands a staged section into RAM below it while it still reads the stream
// from RAM: it reads each token whole before writing the token's output, and
// copies a literal run byte by byte as it reads it. An output byte written
// over a stream byte not yet read spoils the rest of the expansion.
struct CExpansionMeasure {
    uint32_t m_nProduced = 0;  // bytes the stream writes (saturates at 0xFFFFFFFF)
    // The least number of bytes by which the stream's first byte must lie
    // above the first output byte so that no output byte ever lands on a
    // stream byte still to be read; 0 when the output may start anywhere.
    uint32_t m_nLead = 0;
};
CExpansionMeasure MeasureExpansion(const uint8_t* stream, uint32_t streamLength);
