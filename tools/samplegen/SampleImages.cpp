#include "tools/samplegen/SampleImages.h"

#include <cmath>
#include <cstring>
#include <string>

#include "package/FirmwareFile.h"

namespace {

// splitmix64: a fixed, portable sequence (std::random distributions differ
// between standard libraries, which would make the sample differ by build).
class CSampleRandom {
public:
    explicit CSampleRandom(uint64_t seed) : m_nState(seed) {}

    uint64_t Next()
    {
        uint64_t z = (m_nState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. bound-1
    uint32_t Below(uint32_t bound) { return static_cast<uint32_t>(Next() % bound); }
    // Small values far more often than large ones, as in real operands.
    uint32_t Skewed(uint32_t bound)
    {
        uint32_t a = Below(bound), b = Below(bound);
        return a < b ? a : b;
    }

private:
    uint64_t m_nState;
};

const char* const SAMPLE_WORDS[] = {
    "satellite", "signal", "fix", "lost", "acquired", "position", "altitude", "track",
    "waypoint", "route", "battery", "low", "memory", "full", "error", "warning", "invalid",
    "receiver", "antenna", "external", "power", "clock", "time", "date", "zone", "datum",
    "map", "grid", "north", "south", "east", "west", "heading", "speed", "distance",
    "bearing", "compass", "calibrate", "sensor", "pressure", "temperature", "backlight",
    "contrast", "display", "serial", "port", "baud", "rate", "data", "transfer", "complete",
    "failed", "checksum", "flash", "write", "erase", "sector", "upgrade", "version", "boot",
    "loader", "please", "wait", "press", "enter", "cancel", "select", "menu", "page", "setup",
    "units", "metric", "statute", "nautical", "feet", "meters", "miles", "track", "log",
    "cleared", "saved", "delete", "all", "points", "yes", "no", "on", "off", "auto", "manual",
    "search", "sky", "elevation", "accuracy", "estimated", "average", "trip", "odometer",
    "reset", "alarm", "proximity", "arrival", "sunrise", "sunset", "moon", "phase", "tide",
    "hunting", "fishing", "almanac", "ephemeris", "channel", "mode", "simulator", "demo"};
constexpr uint32_t SAMPLE_WORD_COUNT = sizeof SAMPLE_WORDS / sizeof SAMPLE_WORDS[0];

class CImageBuilder {
public:
    CImageBuilder(size_t size, uint32_t baseAddress, uint64_t seed)
        : m_Image(size, 0), m_nBase(baseAddress), m_Random(seed)
    {
    }

    size_t Position() const { return m_nPos; }
    size_t Room() const { return m_Image.size() - m_nPos; }
    std::vector<uint8_t>& Image() { return m_Image; }

    void Byte(uint8_t value)
    {
        if (m_nPos < m_Image.size())
            m_Image[m_nPos++] = value;
    }
    void Half(uint16_t value)
    {
        Byte(static_cast<uint8_t>(value));
        Byte(static_cast<uint8_t>(value >> 8));
    }
    void Word(uint32_t value)
    {
        Half(static_cast<uint16_t>(value));
        Half(static_cast<uint16_t>(value >> 16));
    }
    void Align(size_t unit, uint8_t fill)
    {
        while (m_nPos % unit != 0 && m_nPos < m_Image.size())
            Byte(fill);
    }
    void Fill(size_t count, uint8_t value)
    {
        for (size_t i = 0; i < count; ++i)
            Byte(value);
    }

    // One function: prologue, a body of instruction words from a few
    // templates, epilogue, then its literal pool.
    void Function()
    {
        Align(4, 0);
        uint32_t start = Address();
        uint32_t saved = 0x10u << m_Random.Below(4);  // r4 .. r7 and below
        uint32_t mask = (saved * 2 - 1) & 0x0FF0;
        Word(0xE92D4000 | mask);  // push {r4-rN, lr}
        uint32_t length = 6 + m_Random.Skewed(48);
        uint32_t pool = 1 + m_Random.Below(5);
        for (uint32_t i = 0; i < length; ++i)
            Instruction(start, pool, length - i);
        Word(0xE8BD8000 | mask);  // pop {r4-rN, pc}
        for (uint32_t i = 0; i < pool; ++i)
            Word(Literal());
        m_Functions.push_back(start);
    }

    // NUL-terminated English-like messages, word aligned.
    void Message()
    {
        uint32_t words = 2 + m_Random.Skewed(7);
        std::string text;
        for (uint32_t w = 0; w < words; ++w) {
            std::string word = SAMPLE_WORDS[m_Random.Skewed(SAMPLE_WORD_COUNT)];
            if (w == 0)
                word[0] = static_cast<char>(word[0] - 'a' + 'A');
            text += (w ? " " : "") + word;
        }
        static const char* const SAMPLE_ENDINGS[] = {"", "", "", ".", ": %d", " %s", "...", "!", " (%u)"};
        text += SAMPLE_ENDINGS[m_Random.Below(9)];
        for (char c : text)
            Byte(static_cast<uint8_t>(c));
        Byte(0);
        Align(4, 0);
    }

    uint32_t Address() const { return m_nBase + static_cast<uint32_t>(m_nPos); }

    void Tables()
    {
        Align(4, 0);
        for (int i = 0; i < 1024; ++i)  // sine, Q15
            Half(static_cast<uint16_t>(
                static_cast<int16_t>(std::lround(32767.0 * std::sin(i * 6.283185307179586 / 1024)))));
        for (uint32_t n = 0; n < 256; ++n) {  // CRC-32, reflected
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            Word(c);
        }
        for (uint32_t n = 0; n < 256; ++n) {  // CRC-16/CCITT
            uint16_t c = static_cast<uint16_t>(n << 8);
            for (int k = 0; k < 8; ++k)
                c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
            Half(c);
        }
        for (int g = 0; g < 96 * 8; ++g)  // a small bitmap font
            Byte(static_cast<uint8_t>(m_Random.Below(4) == 0 ? 0 : m_Random.Next() & 0x7E));
    }

private:
    uint32_t Reg() { return m_Random.Skewed(8); }

    void Instruction(uint32_t start, uint32_t pool, uint32_t left)
    {
        uint32_t rd = Reg(), rn = Reg(), rm = Reg();
        uint32_t imm = m_Random.Skewed(64);
        switch (m_Random.Below(12)) {
        case 0: Word(0xE3A00000 | rd << 12 | imm); break;             // mov rd, #imm
        case 1: Word(0xE1A00000 | rd << 12 | rm); break;              // mov rd, rm
        case 2: Word(0xE2800000 | rn << 16 | rd << 12 | imm); break;  // add rd, rn, #imm
        case 3: Word(0xE0800000 | rn << 16 | rd << 12 | rm); break;   // add rd, rn, rm
        case 4: Word(0xE3500000 | rn << 16 | imm); break;             // cmp rn, #imm
        case 5:                                                        // ldr rd, [rn, #imm]
        case 6: Word(0xE5900000 | rn << 16 | rd << 12 | (imm & ~3u)); break;
        case 7: Word(0xE5800000 | rn << 16 | rd << 12 | (imm & ~3u)); break;  // str
        case 8: {  // ldr rd, [pc, #literal]
            uint32_t slot = m_Random.Below(pool);
            Word(0xE59F0000 | rd << 12 | ((left + slot) * 4 - 4));
            break;
        }
        case 9: {  // bl to an earlier function
            uint32_t target = m_Functions.empty()
                                  ? start
                                  : m_Functions[m_Functions.size() - 1 -
                                                m_Random.Skewed(static_cast<uint32_t>(
                                                    m_Functions.size()))];
            Word(0xEB000000 | (((target - Address() - 8) >> 2) & 0x00FFFFFF));
            break;
        }
        case 10: {  // conditional branch a few words on
            static const uint32_t BRANCH_CONDITIONS[] = {0x0A000000, 0x1A000000, 0xEA000000, 0xBA000000};
            Word(BRANCH_CONDITIONS[m_Random.Below(4)] | m_Random.Below(left < 8 ? left : 8));
            break;
        }
        default: Word(0xE0400000 | rn << 16 | rd << 12 | rm); break;  // sub rd, rn, rm
        }
    }

    uint32_t Literal()
    {
        switch (m_Random.Below(4)) {
        case 0: return m_nBase + (m_Random.Below(static_cast<uint32_t>(m_Image.size())) & ~3u);
        case 1: return 0x05000000 + (m_Random.Skewed(0x4000) << 2);  // RAM variables
        case 2: return 0xFFFFF000 + (m_Random.Skewed(64) << 2);     // peripheral registers
        default: return m_Random.Skewed(100000);
        }
    }

    std::vector<uint8_t> m_Image;
    size_t m_nPos = 0;
    uint32_t m_nBase;
    CSampleRandom m_Random;
    std::vector<uint32_t> m_Functions;
};

// Code up to `codeEnd`, then messages up to `textEnd`, then the tables.
void FillBody(CImageBuilder& builder, size_t codeEnd, size_t textEnd, bool tables)
{
    while (builder.Position() + 512 < codeEnd)
        builder.Function();
    builder.Fill(codeEnd - builder.Position(), 0);
    while (builder.Position() + 128 < textEnd)
        builder.Message();
    builder.Fill(textEnd - builder.Position(), 0);
    if (tables)
        builder.Tables();
}

void PutLe16(std::vector<uint8_t>& image, size_t at, uint16_t value)
{
    image[at] = static_cast<uint8_t>(value);
    image[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(std::vector<uint8_t>& image, size_t at, uint32_t value)
{
    PutLe16(image, at, static_cast<uint16_t>(value));
    PutLe16(image, at + 2, static_cast<uint16_t>(value >> 16));
}

}  // namespace

std::vector<uint8_t> MakeSampleApplication()
{
    CImageBuilder builder(SAMPLE_APP_SIZE, SAMPLE_APP_ADDRESS, 0x5A3C0182);
    builder.Fill(APP_HEADER_SIZE, 0);
    FillBody(builder, 300 * 1024, 350 * 1024, true);
    std::vector<uint8_t> image = builder.Image();  // the rest stays zero padding

    PutLe32(image, 0, APP_IMAGE_MAGIC);
    PutLe16(image, 8, SAMPLE_PRODUCT_CODE);
    PutLe16(image, 10, SAMPLE_VERSION);
    PutLe16(image, 16, SAMPLE_YEAR);
    image[18] = SAMPLE_MONTH;
    image[19] = SAMPLE_DAY;
    PutLe32(image, 20, SAMPLE_TIME_OF_DAY);
    return image;
}

std::vector<uint8_t> MakeSampleBoot()
{
    CImageBuilder builder(SAMPLE_BOOT_SIZE, SAMPLE_BOOT_ADDRESS, 0xB0070182);
    // Exception vectors: branches to handlers just past the version record.
    for (uint32_t v = 0; v < 8; ++v)
        builder.Word(0xEA000000 | (14 - v));
    builder.Fill(BOOT_RECORD_SIZE, 0);  // the record, filled in below
    FillBody(builder, 30 * 1024, 34 * 1024, false);
    std::vector<uint8_t> image = builder.Image();
    // Erased flash beyond the end of the code.
    std::memset(image.data() + builder.Position(), 0xFF, image.size() - builder.Position());

    size_t at = SAMPLE_BOOT_RECORD_OFFSET;
    PutLe32(image, at, BOOT_RECORD_MAGIC);
    PutLe32(image, at + 4, SAMPLE_VERSION);
    PutLe16(image, at + 8, SAMPLE_YEAR);
    image[at + 10] = SAMPLE_MONTH;
    image[at + 11] = SAMPLE_DAY;
    PutLe32(image, at + 12, SAMPLE_TIME_OF_DAY);
    return image;
}
