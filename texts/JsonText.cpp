#include "texts/JsonText.h"

#include <cstdint>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at `i`, 0 when the bytes there are not one.
size_t Utf8SequenceLength(const std::string& text, size_t i)
{
    uint8_t lead = static_cast<uint8_t>(text[i]);
    size_t extra = (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 9;
    if (extra == 9 || lead == 0xC0 || lead == 0xC1 || lead > 0xF4 || i + extra >= text.size())
        return 0;
    uint32_t cp = lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
        uint8_t next = static_cast<uint8_t>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (next & 0x3F);
    }
    static const uint32_t UTF8_MINIMUM[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < UTF8_MINIMUM[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return extra + 1;
}

}  // namespace

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        if (c >= 0x80) {
            size_t n = Utf8SequenceLength(text, i);
            if (n == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, n);
                i += n;
            }
            continue;
        }
        ++i;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}
