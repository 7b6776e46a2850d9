// Packet parser, packet encoder and interval timer.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "link/Packet.h"
#include "link/PerfTimer.h"

namespace {

using Bytes = std::vector<uint8_t>;

const ReplyLimit kTable[] = {{0xA3, 1}, {0xA5, 38}, {0xA4, 1280}, {0x20, 0}};

// The test's own encoder, independent of EncodePacket.
Bytes Wire(uint8_t id, const Bytes& payload)
{
    // Sized once and filled in place: an insert after the four header bytes
    // fails the Release build (GCC 12 at -O3 sees a copy past them,
    // -Warray-bounds).
    const size_t end = 4 + payload.size();
    Bytes out(end + 3);
    out[0] = 0x01;
    out[1] = id;
    out[2] = static_cast<uint8_t>(payload.size() >> 8);
    out[3] = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), out.begin() + 4);
    unsigned sum = 0;
    for (size_t i = 1; i < end; ++i)
        sum += out[i];
    out[end] = static_cast<uint8_t>(sum >> 8);
    out[end + 1] = static_cast<uint8_t>(sum);
    out[end + 2] = 0x04;
    return out;
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Seen {
    int nId;
    Bytes payload;
    bool operator==(const Seen&) const = default;
};

std::vector<Seen> Drain(CPacketParser& parser)
{
    std::vector<Seen> out;
    CPacket packet;
    while (parser.PopPacket(packet))
        out.push_back({packet.m_nId, packet.m_Data});
    return out;
}

std::vector<Seen> ParseWhole(const Bytes& wire)
{
    CPacketParser parser;
    parser.SetReplyTable(kTable, 4);
    parser.Parse(wire.data(), static_cast<unsigned>(wire.size()));
    return Drain(parser);
}

Bytes WithByte(Bytes wire, size_t index, uint8_t value)
{
    wire.at(index) = value;
    return wire;
}

struct ParseRow {
    const char* pszName;
    Bytes wire;
    std::vector<Seen> expected;
};

TEST(PacketParser, Vectors)
{
    const Bytes good = Wire(0xA3, {1});
    const Bytes ffs(1280, 0xFF);
    const ParseRow rows[] = {
        {"zero-length packet", {0x01, 0x20, 0x00, 0x00, 0x00, 0x20, 0x04}, {{0x20, {}}}},
        {"two in one call, in order", Join({Wire(0xA5, Bytes(38, 7)), good}), {{0xA5, Bytes(38, 7)}, {0xA3, {1}}}},
        {"start and end bytes inside the payload", Wire(0xA5, {0x01, 0x04, 0x01, 0x04}),
         {{0xA5, {0x01, 0x04, 0x01, 0x04}}}},
        {"noise before the start", Join({{0x00, 0x04, 0xFF, 0x13}, good}), {{0xA3, {1}}}},
        {"unknown id, then good", Join({Wire(0x55, {1}), good}), {{0xA3, {1}}}},
        {"length above the id's maximum, then good", Join({Wire(0xA3, {1, 1}), good}), {{0xA3, {1}}}},
        {"checksum off by one, then good", Join({WithByte(good, 5, good[5] + 1), good}), {{0xA3, {1}}}},
        {"wrong end byte, then good", Join({WithByte(good, 7, 0x05), good}), {{0xA3, {1}}}},
        {"checksum beyond 16 bits", Wire(0xA4, ffs), {{0xA4, ffs}}},
        // A rejected id byte of 0x01 is consumed: it does not start a packet.
        {"rejected 0x01 id is not a start", Join({{0x01, 0x01}, {0xA3, 0x00, 0x01, 0x01, 0x00, 0xA5, 0x04}}), {}},
        {"truncated packet stays pending", Bytes(good.begin(), good.end() - 1), {}},
    };
    for (const ParseRow& row : rows)
        EXPECT_EQ(ParseWhole(row.wire), row.expected) << row.pszName;
}

// A packet split over any number of reads must come out as one fed whole.
TEST(PacketParser, ByteAtATimeEqualsWhole)
{
    Bytes wire = Join({{0x33}, Wire(0xA5, Bytes(38, 0x01)), Wire(0xA3, {0}), Wire(0x20, {})});
    CPacketParser parser;
    parser.SetReplyTable(kTable, 4);
    for (uint8_t byte : wire)
        parser.Parse(&byte, 1);
    EXPECT_EQ(parser.GetPacketCount(), 3);
    EXPECT_EQ(Drain(parser), ParseWhole(wire));
}

TEST(PacketParser, NoTableParsesNothing)
{
    CPacketParser parser;
    Bytes wire = Wire(0xA3, {1});
    EXPECT_FALSE(parser.Parse(wire.data(), static_cast<unsigned>(wire.size())));
    parser.SetReplyTable(kTable, 0);
    EXPECT_FALSE(parser.Parse(wire.data(), static_cast<unsigned>(wire.size())));
    EXPECT_EQ(parser.GetPacketCount(), 0);
    CPacket untouched(7, 1, wire.data());
    EXPECT_FALSE(parser.PopPacket(untouched));
    EXPECT_EQ(untouched.m_nId, 7);
}

TEST(PacketParser, ResetDropsPartialAndQueuedPackets)
{
    CPacketParser parser;
    parser.SetReplyTable(kTable, 4);
    Bytes first = Wire(0xA3, {1});
    Bytes partial = Wire(0xA5, Bytes(38, 9));
    parser.Parse(first.data(), static_cast<unsigned>(first.size()));
    parser.Parse(partial.data(), 20);
    parser.Reset();
    EXPECT_EQ(parser.GetPacketCount(), 0);
    // The rest of the interrupted packet must not complete anything.
    parser.Parse(partial.data() + 20, static_cast<unsigned>(partial.size() - 20));
    EXPECT_EQ(parser.GetPacketCount(), 0);
    parser.Parse(first.data(), static_cast<unsigned>(first.size()));
    EXPECT_EQ(parser.GetPacketCount(), 1);
}

// A table maximum above the payload buffer must not let a long packet write
// past it.
TEST(PacketParser, TableMaximumAboveBufferIsBounded)
{
    const ReplyLimit wide[] = {{0x30, 4000}};
    CPacketParser parser;
    parser.SetReplyTable(wide, 1);
    Bytes wire = Join({Wire(0x30, Bytes(1281, 0x11)), Wire(0x30, Bytes(1280, 0x22))});
    parser.Parse(wire.data(), static_cast<unsigned>(wire.size()));
    auto seen = Drain(parser);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].payload.size(), 1280u);
}

TEST(PacketEncoder, MatchesTheWireFormatAndRefusesOversize)
{
    Bytes payload{0x01, 0x04, 0xFF};
    EXPECT_EQ(EncodePacket(0xA2, payload.data(), payload.size()), Wire(0xA2, payload));
    EXPECT_EQ(EncodePacket(0x12, nullptr, 0), Wire(0x12, {}));
    Bytes big(0x10000);
    EXPECT_TRUE(EncodePacket(0x14, big.data(), big.size()).empty());
    EXPECT_TRUE(EncodePacket(0x14, nullptr, 3).empty());
    big.resize(0xFFFF, 0xFF);
    EXPECT_EQ(EncodePacket(0x14, big.data(), big.size()), Wire(0x14, big));
}

TEST(PerfTimer, AlwaysValidAndMonotonic)
{
    CPerfTimer timer;
    EXPECT_TRUE(timer.IsValid());
    EXPECT_EQ(timer.ElapsedSeconds(), 0.0L) << "not started";
    EXPECT_TRUE(timer.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    int ms = timer.ElapsedMs();
    EXPECT_GE(ms, 30);
    EXPECT_LT(ms, 1000);
    EXPECT_GE(timer.ElapsedSeconds(), 0.030L);
}

}  // namespace
