#include "tools/trailmark/JsonWriter.h"

#include <cmath>
#include <cstdio>

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
