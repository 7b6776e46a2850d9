// The virtual receiver's report, as one JSON object: the ports, the mode it
// runs, the flash contents of each region (CRC-32 and byte sum), the
// versions it now reports, the upgrade record line, and the counts of
// packets, retries (data blocks sent again to an address already written in
// the same session), refusals and bytes dropped, corrupted or garbled, what
// shows whether the host kept to the packet tables (packets dropped for
// their length, oversize program commands, refused and largest read-backs),
// each judgment of the boot region, and whether the receiver is bricked and
// why.
//
// Pure functions; the caller holds whatever lock guards the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CReceiverCore;

// CRC-32 as zlib computes it (reflected, polynomial 0xEDB88320).
uint32_t ReceiverCrc32(const uint8_t* data, size_t length);

std::string BuildReceiverReport(const CReceiverCore& core, const std::vector<std::string>& ports);
