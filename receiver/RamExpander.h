// The flash monitor's expander: expands a compressed section that lies in the
// receiver's RAM into RAM, in place in the one RAM array and front to back.
//
// The stream is read from RAM byte by byte as the expansion goes, and every
// output byte is written to RAM at once, so an expansion whose output runs
// over its own unread input (or over later staged data) reads back what it
// has just written and produces the garbage real hardware would. Copies read
// whatever RAM holds at the source address, also before the output's start.
// The expansion fails (and stops) only when it would read or write outside
// RAM or a token is cut short by the end of the stream.
//
// Called by the flash monitor on the receiver's loop thread.
#pragma once

#include <cstdint>

class CReceiverMemory;

struct CRamExpansion {
    bool m_bOk = false;
    uint32_t m_nProduced = 0;  // bytes written to RAM
};

// `section` is the RAM address of the staged section (its 16-byte prefix);
// the stream of `streamLength` bytes starts 16 bytes after it and is
// expanded to `destination`.
CRamExpansion ExpandInRam(CReceiverMemory& memory, uint32_t section, uint32_t streamLength,
                          uint32_t destination);
