#include "tools/trailmark/OutputStream.h"

#include <cstdarg>

#include "platform/Console.h"

void COutputStream::Print(const char* format, ...)
{
    if (!IsOpen())
        return;
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length > 0) {
        const size_t at = m_strPending.size();
        m_strPending.resize(at + static_cast<size_t>(length) + 1);
        std::vsnprintf(m_strPending.data() + at, static_cast<size_t>(length) + 1, format, again);
        m_strPending.resize(at + static_cast<size_t>(length));
    }
    va_end(again);
}

void COutputStream::Write(const std::string& text)
{
    if (IsOpen())
        m_strPending += text;
}

bool COutputStream::Flush()
{
    std::string text;
    text.swap(m_strPending);
    return platform::WriteOutput(m_pStream, text);
}

bool COutputStream::IsOpen() const
{
    return platform::IsOutputOpen(m_pStream);
}
