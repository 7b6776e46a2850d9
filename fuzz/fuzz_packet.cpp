// Feeds arbitrary bytes to packet parsers configured with the monitor's and
// the boot loader's reply tables, in chunks whose sizes come from the input,
// and the same bytes as an information text to ParseInfoReply. Nothing from
// the wire may crash, overrun or leave a packet longer than its table allows.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "link/Packet.h"
#include "link/ReceiverTextLink.h"

namespace {

const ReplyLimit kMonitorTable[] = {{0xA1, 5}, {0xA3, 1}, {0xA5, 38}, {0xA6, 20},
                                    {0xA4, 1031}, {0xA8, 64}, {0xA9, 1}};
const ReplyLimit kBootTable[] = {{0x11, 5}, {0x13, 1}, {0x15, 38}, {0x16, 72},
                                 {0x17, 24}, {0x19, 4}, {0x18, 1}};

void Check(CPacketParser& parser, const ReplyLimit* table, int count)
{
    CPacket packet;
    while (parser.PopPacket(packet)) {
        bool bAllowed = false;
        for (int i = 0; i < count; ++i) {
            if (table[i].nId == packet.m_nId && static_cast<uint32_t>(packet.m_nLength) <= table[i].nMaxLength)
                bAllowed = true;
        }
        if (!bAllowed || packet.m_Data.size() != static_cast<size_t>(packet.m_nLength))
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CPacketParser monitor, boot;
    monitor.SetReplyTable(kMonitorTable, 7);
    boot.SetReplyTable(kBootTable, 7);
    // The first byte picks the chunk size, so packets split across reads.
    size_t chunk = size > 0 ? (data[0] % 64) + 1 : 1;
    for (size_t pos = 0; pos < size; pos += chunk) {
        unsigned n = static_cast<unsigned>(size - pos < chunk ? size - pos : chunk);
        monitor.Parse(data + pos, n);
        boot.Parse(data + pos, n);
        if (data[pos] == 0xEE)
            boot.Reset();
    }
    Check(monitor, kMonitorTable, 7);
    Check(boot, kBootTable, 7);

    std::string text(reinterpret_cast<const char*>(data), size);
    CReceiverPortInfo info;
    ParseInfoReply(text.c_str(), info);
    if (info.m_szProduct[sizeof(info.m_szProduct) - 1] != '\0')
        std::abort();
    return 0;
}
