#include "tools/trailmark/JsonWriter.h"

#include <cmath>
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

void CJsonWriter::Prefix(const char* key)
{
    if (!m_bFirstStack.empty()) {
        if (!m_bFirstStack.back())
            m_strText += ",";
        m_bFirstStack.back() = false;
    }
    if (key) {
        m_strText += JsonString(key);
        m_strText += ":";
    }
}

void CJsonWriter::BeginObject(const char* key)
{
    Prefix(key);
    m_strText += "{";
    m_bFirstStack.push_back(true);
}

void CJsonWriter::EndObject()
{
    m_strText += "}";
    if (!m_bFirstStack.empty())
        m_bFirstStack.pop_back();
}

void CJsonWriter::BeginArray(const char* key)
{
    Prefix(key);
    m_strText += "[";
    m_bFirstStack.push_back(true);
}

void CJsonWriter::EndArray()
{
    m_strText += "]";
    if (!m_bFirstStack.empty())
        m_bFirstStack.pop_back();
}

void CJsonWriter::String(const char* key, const std::string& value)
{
    Prefix(key);
    m_strText += JsonString(value);
}

void CJsonWriter::Number(const char* key, uint64_t value)
{
    Prefix(key);
    m_strText += std::to_string(value);
}

void CJsonWriter::Signed(const char* key, int64_t value)
{
    Prefix(key);
    m_strText += std::to_string(value);
}

void CJsonWriter::Real(const char* key, double value)
{
    Prefix(key);
    if (!std::isfinite(value)) {
        m_strText += "null";
        return;
    }
    // Formed by hand: printf's decimal point follows the C locale settings.
    double scaled = std::fabs(value) * 1000.0 + 0.5;
    if (scaled >= 9e18) {
        m_strText += "null";
        return;
    }
    uint64_t thousandths = static_cast<uint64_t>(scaled);
    char text[48];
    std::snprintf(text, sizeof text, "%s%llu.%03llu", value < 0 ? "-" : "",
                  static_cast<unsigned long long>(thousandths / 1000),
                  static_cast<unsigned long long>(thousandths % 1000));
    m_strText += text;
}

void CJsonWriter::Bool(const char* key, bool value)
{
    Prefix(key);
    m_strText += value ? "true" : "false";
}

void CJsonWriter::Null(const char* key)
{
    Prefix(key);
    m_strText += "null";
}
