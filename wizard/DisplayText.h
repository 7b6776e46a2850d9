// A system text as the Qt wizard shows it: the texts of WizardTexts.h break
// their lines with "\r\n", which Qt's labels would show as two breaks, so the
// carriage returns are dropped. Used by the Qt pages; safe from any thread.
#pragma once

#include <QString>

namespace wizard {

inline QString ToDisplayText(const char* pszText)
{
    QString str = QString::fromUtf8(pszText);
    str.remove(QLatin1Char('\r'));
    return str;
}

}  // namespace wizard
