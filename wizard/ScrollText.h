// CScrollText: a text of any length in a fixed place of a page, wrapped to
// the place's width and scrolled when it is longer than the place is high,
// so that no line of it is ever cut off (a failure's reason, a refused
// package's). Plain text, selectable with the mouse so that it can be
// copied; no frame, the page's background. Used by the Qt pages on the
// user-interface thread.
#pragma once

#include <QLabel>
#include <QScrollArea>
#include <QString>

namespace wizard {

class CScrollText : public QScrollArea {
public:
    explicit CScrollText(QWidget* pParent) : QScrollArea(pParent), m_pLabel(new QLabel)
    {
        m_pLabel->setWordWrap(true);
        m_pLabel->setTextFormat(Qt::PlainText);
        m_pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        m_pLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
        m_pLabel->setAutoFillBackground(false);
        setWidget(m_pLabel);
        setWidgetResizable(true);
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        viewport()->setAutoFillBackground(false);
    }

    QLabel* Label() const { return m_pLabel; }
    void SetText(const QString& str) { m_pLabel->setText(str); }

private:
    QLabel* m_pLabel;  // owned by the scroll area
};

}  // namespace wizard
