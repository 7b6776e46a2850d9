#include "receiver/RamExpander.h"

#include "receiver/ReceiverMemory.h"

namespace {

// Reads the stream and writes the output through the memory map, one byte at
// a time, so that both see each other's changes.
class CRamStream {
public:
    CRamStream(CReceiverMemory& memory, uint32_t input, uint32_t length, uint32_t output)
        : m_Memory(memory), m_nInput(input), m_nEnd(input + length), m_nOutput(output)
    {
    }

    bool Next(uint8_t& byte)
    {
        if (m_nInput >= m_nEnd)
            return false;
        uint8_t* p = m_Memory.RamPointer(m_nInput++, 1);
        if (!p)
            return m_bFault = true, false;
        byte = *p;
        return true;
    }

    bool Put(uint8_t byte)
    {
        uint8_t* p = m_Memory.RamPointer(m_nOutput + m_nProduced, 1);
        if (!p)
            return m_bFault = true, false;
        *p = byte;
        ++m_nProduced;
        return true;
    }

    bool Copy(uint32_t distance, uint32_t count)
    {
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t from = m_nOutput + m_nProduced - distance;
            uint8_t* p = m_Memory.RamPointer(from, 1);
            if (!p)
                return m_bFault = true, false;
            if (!Put(*p))
                return false;
        }
        return true;
    }

    bool Done() const { return m_nInput >= m_nEnd; }
    bool Fault() const { return m_bFault; }
    uint32_t Produced() const { return m_nProduced; }

private:
    CReceiverMemory& m_Memory;
    uint32_t m_nInput;
    uint32_t m_nEnd;
    uint32_t m_nOutput;
    uint32_t m_nProduced = 0;
    bool m_bFault = false;
};

bool ReadBig(CRamStream& s, int bytes, uint32_t& value)
{
    value = 0;
    for (int i = 0; i < bytes; ++i) {
        uint8_t b;
        if (!s.Next(b))
            return false;
        value = (value << 8) | b;
    }
    return true;
}

// One token after its first byte `c`; false when it cannot be completed.
bool ExpandToken(CRamStream& s, const uint8_t* esc, uint8_t c)
{
    uint32_t a = 0, b = 0;
    if (c == esc[1]) {  // repeated byte: value, count
        if (!ReadBig(s, 1, a) || !ReadBig(s, 1, b))
            return false;
        for (uint32_t i = 0; i < b; ++i)
            if (!s.Put(static_cast<uint8_t>(a)))
                return false;
        return true;
    }
    if (c == esc[0]) {  // literal run: count, bytes
        if (!ReadBig(s, 1, a))
            return false;
        for (uint32_t i = 0; i < a; ++i) {
            uint8_t v;
            if (!s.Next(v) || !s.Put(v))
                return false;
        }
        return true;
    }
    if (c == esc[2] || c == esc[3])
        return ReadBig(s, 1, a) && s.Copy(a, c == esc[2] ? 3 : 4);
    if (c == esc[4])
        return ReadBig(s, 2, a) && s.Copy(a, 4);
    if (c == esc[5]) {  // count, selector, 0 to 4 distance bytes
        if (!ReadBig(s, 1, a) || !ReadBig(s, 1, b))
            return false;
        uint32_t distance = b;
        if (b >= 252 && !ReadBig(s, static_cast<int>(b - 251), distance))
            return false;
        return s.Copy(distance, a);
    }
    return s.Put(c);
}

}  // namespace

CRamExpansion ExpandInRam(CReceiverMemory& memory, uint32_t section, uint32_t streamLength,
                          uint32_t destination)
{
    CRamExpansion result;
    if (section > 0xFFFFFFFFu - 16 || !memory.RamPointer(section + 16, streamLength))
        return result;
    CRamStream s(memory, section + 16, streamLength, destination);
    uint8_t esc[6] = {};
    for (uint8_t& e : esc) {
        if (!s.Next(e)) {  // a stream of 6 bytes or less produces nothing
            result.m_bOk = !s.Fault();
            return result;
        }
    }
    bool ok = true;
    uint8_t c;
    while (ok && s.Next(c))
        ok = ExpandToken(s, esc, c);
    result.m_bOk = ok && !s.Fault();
    result.m_nProduced = s.Produced();
    return result;
}
