// Dialog-unit geometry for the wizard pages.
//
// The pages are laid out like their dialog templates: positions and sizes in
// dialog units, where a horizontal unit is a quarter of the font's average
// character width and a vertical unit an eighth of its height. Converting
// with the page's own font keeps the proportions of the templates at the
// system's font size and makes the controls grow with a larger font, so the
// texts still fit. Used by the two pages on the user-interface thread.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace wizard {

class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);

    QRect Rect(int nX, int nY, int nWidth, int nHeight) const;
    QSize Size(int nWidth, int nHeight) const;
    // The factor by which a picture drawn for the templates' 8-point font
    // (base units 6 by 13 pixels) is enlarged for this font.
    double PictureScale() const;

    int BaseX() const { return m_nBaseX; }
    int BaseY() const { return m_nBaseY; }

private:
    int m_nBaseX;
    int m_nBaseY;
};

}  // namespace wizard
