// The picture on the left of both wizard pages: a handheld GPS receiver
// under a satellite, painted in code so the program ships no artwork.
//
// The drawing is made for 195 by 210 pixels and scaled to the widget's size,
// so it stays sharp when the pages grow with a larger font. Created by the
// pages; lives on the user-interface thread.
#pragma once

#include <QSize>
#include <QWidget>

class QPainter;

namespace wizard {

class CReceiverPicture : public QWidget {
public:
    static constexpr int PICTURE_WIDTH = 195;
    static constexpr int PICTURE_HEIGHT = 210;

    explicit CReceiverPicture(QWidget* pParent = nullptr);

    // Paints the picture into a 195 by 210 area of `painter`.
    static void Draw(QPainter& painter);

protected:
    void paintEvent(QPaintEvent* pEvent) override;
};

}  // namespace wizard
