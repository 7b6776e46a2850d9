#include "wizard/DialogUnits.h"

#include <algorithm>

#include <QFontMetrics>

namespace wizard {

namespace {
// Base units of the 8-point font the templates were drawn with.
constexpr int DLU_NOMINAL_BASE_X = 6;
constexpr int DLU_NOMINAL_BASE_Y = 13;
}  // namespace

CDialogUnits::CDialogUnits(const QFont& font)
{
    const QFontMetrics fm(font);
    // The average width over the 52 letters, rounded, as dialog managers
    // compute it; never below the nominal units so the layout cannot shrink
    // under the picture.
    const int nLetters = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nBaseX = std::max(DLU_NOMINAL_BASE_X, (nLetters / 26 + 1) / 2);
    m_nBaseY = std::max(DLU_NOMINAL_BASE_Y, fm.height());
}

QRect CDialogUnits::Rect(int nX, int nY, int nWidth, int nHeight) const
{
    return QRect(nX * m_nBaseX / 4, nY * m_nBaseY / 8, nWidth * m_nBaseX / 4,
                 nHeight * m_nBaseY / 8);
}

QSize CDialogUnits::Size(int nWidth, int nHeight) const
{
    return QSize(nWidth * m_nBaseX / 4, nHeight * m_nBaseY / 8);
}

double CDialogUnits::PictureScale() const
{
    return std::min(static_cast<double>(m_nBaseX) / DLU_NOMINAL_BASE_X,
                    static_cast<double>(m_nBaseY) / DLU_NOMINAL_BASE_Y);
}

}  // namespace wizard
