// FormatText: one of the wizard's formats (WizardTexts.h) with its values,
// for texts whose values may be of any length (the engine's phase names,
// reasons and retry texts, a package's name). No toolkit; used by the
// wizard's shared code, safe from any thread.
#pragma once

#include <cstdio>
#include <string>

namespace wizard {

template <typename... Args>
std::string FormatText(const char* pszFormat, Args... args)
{
    const int nLength = std::snprintf(nullptr, 0, pszFormat, args...);
    if (nLength <= 0)
        return std::string();
    std::string strText(static_cast<size_t>(nLength), '\0');
    std::snprintf(strText.data(), strText.size() + 1, pszFormat, args...);
    return strText;
}

}  // namespace wizard
