#include "wizard/PortChoice.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "wizard/TextFormat.h"
#include "wizard/WizardTexts.h"

int32_t g_nComPort = 1;

namespace wizard {

using CHERFLoaderLib::CPortEntry;

bool ParseComPortText(const std::string& str, int32_t& nPort)
{
    // "COM", a decimal number and a colon, as the entries are written; parsed
    // with from_chars so an over-long number is refused instead of
    // overflowing.
    constexpr std::string_view PREFIX = "COM";
    if (str.size() <= PREFIX.size() || str.compare(0, PREFIX.size(), PREFIX) != 0)
        return false;
    const char* pBegin = str.data() + PREFIX.size();
    const char* pEnd = str.data() + str.size();
    int32_t nNumber = 0;
    const auto [pNext, err] = std::from_chars(pBegin, pEnd, nNumber);
    if (err != std::errc() || pNext == pEnd || *pNext != ':' || nNumber < 1)
        return false;
    nPort = nNumber;
    return true;
}

std::string PortEntryText(int nNumber, const std::string& strWhat, bool bMissing)
{
    char szName[32];
    std::snprintf(szName, sizeof szName, WIZ_TEXT_PORT_FORMAT, nNumber);
    if (strWhat.empty())
        return std::string(szName) + "  " + WIZ_TEXT_NO_DEVICE;
    if (!bMissing)
        return std::string(szName) + "  " + strWhat;
    return std::string(szName) + "  " + FormatText(WIZ_TEXT_MISSING_FORMAT, strWhat.c_str());
}

bool IsChoosable(const CPortEntry& entry)
{
    return !entry.strDevice.empty() && !entry.bMissing;
}

int ChoiceIndex(const std::vector<CPortEntry>& entries, int32_t nPort)
{
    int nFirst = -1;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!IsChoosable(entries[i]))
            continue;
        if (entries[i].nNumber == nPort)
            return static_cast<int>(i);
        if (nFirst < 0)
            nFirst = static_cast<int>(i);
    }
    return nFirst;
}

std::string SelectedPortText(const std::vector<CPortEntry>& entries, int nIndex)
{
    if (nIndex < 0 || static_cast<size_t>(nIndex) >= entries.size())
        return ChoiceIndex(entries, 0) < 0 ? WIZ_TEXT_NO_PORTS : "";
    const CPortEntry& entry = entries[static_cast<size_t>(nIndex)];
    if (IsChoosable(entry))
        return entry.strDescription;
    char szText[128];
    std::snprintf(szText, sizeof szText, WIZ_TEXT_PORT_UNUSABLE_FORMAT, entry.nNumber);
    return szText;
}

std::vector<CPortEntry> PortChoices(const std::vector<CPortEntry>& found, bool bHigherPorts)
{
    std::vector<CPortEntry> choices;
    for (int n = 1; n <= CHERFLoaderLib::PORT_LIST_COUNT; ++n) {
        CPortEntry entry;
        entry.nNumber = n;
        const auto it = std::find_if(found.begin(), found.end(),
                                     [n](const CPortEntry& port) { return port.nNumber == n; });
        if (it != found.end())
            entry = *it;
        choices.push_back(entry);
    }
    if (!bHigherPorts)
        return choices;
    std::vector<CPortEntry> higher;
    for (const CPortEntry& port : found) {
        const bool bKnown = std::any_of(higher.begin(), higher.end(),
                                        [&port](const CPortEntry& seen) { return seen.nNumber == port.nNumber; });
        if (port.nNumber > CHERFLoaderLib::PORT_LIST_COUNT && !port.strDevice.empty() && !bKnown)
            higher.push_back(port);
    }
    std::stable_sort(higher.begin(), higher.end(),
                     [](const CPortEntry& a, const CPortEntry& b) { return a.nNumber < b.nNumber; });
    choices.insert(choices.end(), higher.begin(), higher.end());
    return choices;
}

}  // namespace wizard
