#include "wizard/ReceiverPicture.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace wizard {

namespace {

void DrawBackground(QPainter& painter)
{
    QLinearGradient sky(0, 0, 0, 210);
    sky.setColorAt(0.0, QColor(58, 110, 178));
    sky.setColorAt(0.65, QColor(176, 208, 236));
    sky.setColorAt(1.0, QColor(232, 240, 246));
    painter.fillRect(QRectF(0, 0, 195, 210), sky);

    QPainterPath hills;
    hills.moveTo(0, 172);
    hills.cubicTo(40, 150, 80, 168, 110, 160);
    hills.cubicTo(140, 152, 170, 150, 195, 162);
    hills.lineTo(195, 210);
    hills.lineTo(0, 210);
    hills.closeSubpath();
    painter.fillPath(hills, QColor(96, 150, 84));
}

void DrawSatellite(QPainter& painter)
{
    painter.save();
    painter.translate(158, 34);
    painter.rotate(-30);
    painter.setPen(QPen(QColor(40, 40, 48), 1));
    painter.setBrush(QColor(70, 90, 150));
    painter.drawRect(QRectF(-30, -6, 20, 12));
    painter.drawRect(QRectF(10, -6, 20, 12));
    painter.setBrush(QColor(214, 190, 96));
    painter.drawRect(QRectF(-8, -8, 16, 16));
    painter.drawLine(QPointF(-10, 0), QPointF(-8, 0));
    painter.drawLine(QPointF(8, 0), QPointF(10, 0));
    painter.restore();

    // Signal arcs running down to the receiver's antenna.
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 255, 255, 200), 2, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 3; ++i) {
        const double r = 14 + 10 * i;
        painter.drawArc(QRectF(140 - r, 50 - r, 2 * r, 2 * r), 200 * 16, 50 * 16);
    }
}

void DrawMap(QPainter& painter, const QRectF& screen)
{
    painter.save();
    painter.setClipRect(screen);
    QLinearGradient lcd(screen.topLeft(), screen.bottomLeft());
    lcd.setColorAt(0.0, QColor(204, 222, 170));
    lcd.setColorAt(1.0, QColor(168, 194, 136));
    painter.fillRect(screen, lcd);

    const double x = screen.left();
    const double y = screen.top();
    painter.setPen(QPen(QColor(80, 130, 200), 3, Qt::SolidLine, Qt::RoundCap));
    QPainterPath river;
    river.moveTo(x, y + 50);
    river.cubicTo(x + 25, y + 40, x + 40, y + 70, x + 80, y + 52);
    painter.drawPath(river);

    painter.setPen(QPen(QColor(250, 250, 240), 2));
    painter.drawLine(QPointF(x + 10, y), QPointF(x + 30, y + 75));
    painter.drawLine(QPointF(x, y + 22), QPointF(x + 80, y + 30));

    painter.setPen(QPen(QColor(190, 40, 40), 2, Qt::DashLine, Qt::RoundCap));
    QPainterPath track;
    track.moveTo(x + 6, y + 66);
    track.cubicTo(x + 24, y + 52, x + 36, y + 24, x + 56, y + 16);
    painter.drawPath(track);

    // Waypoint flag at the end of the track.
    painter.setPen(QPen(QColor(30, 30, 30), 1.5));
    painter.drawLine(QPointF(x + 56, y + 16), QPointF(x + 56, y + 4));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(220, 60, 40));
    painter.drawPolygon(QPolygonF({QPointF(x + 56, y + 4), QPointF(x + 66, y + 7),
                                   QPointF(x + 56, y + 10)}));

    // North arrow.
    painter.setBrush(QColor(40, 40, 40));
    painter.drawPolygon(QPolygonF({QPointF(x + 70, y + 60), QPointF(x + 74, y + 70),
                                   QPointF(x + 66, y + 70)}));
    painter.restore();
}

void DrawKeys(QPainter& painter)
{
    QRadialGradient pad(QPointF(95, 152), 16);
    pad.setColorAt(0.0, QColor(110, 116, 128));
    pad.setColorAt(1.0, QColor(56, 60, 70));
    painter.setPen(QPen(QColor(20, 22, 26), 1));
    painter.setBrush(pad);
    painter.drawEllipse(QPointF(95, 152), 16, 16);
    painter.setBrush(QColor(150, 156, 166));
    painter.drawEllipse(QPointF(95, 152), 6, 6);

    painter.setBrush(QColor(86, 92, 104));
    painter.drawRoundedRect(QRectF(58, 145, 18, 12), 5, 5);
    painter.drawRoundedRect(QRectF(114, 145, 18, 12), 5, 5);
    painter.setBrush(QColor(186, 74, 52));
    painter.drawRoundedRect(QRectF(64, 176, 24, 9), 4, 4);
    painter.setBrush(QColor(86, 92, 104));
    painter.drawRoundedRect(QRectF(102, 176, 24, 9), 4, 4);
}

void DrawReceiver(QPainter& painter)
{
    painter.save();
    painter.translate(95, 120);
    painter.rotate(-6);
    painter.translate(-95, -120);

    // Antenna stub on the top left of the case.
    painter.setPen(QPen(QColor(20, 20, 24), 1));
    painter.setBrush(QColor(44, 46, 52));
    painter.drawRoundedRect(QRectF(54, 14, 16, 36), 6, 6);

    QLinearGradient body(50, 0, 140, 0);
    body.setColorAt(0.0, QColor(72, 78, 90));
    body.setColorAt(0.5, QColor(102, 110, 124));
    body.setColorAt(1.0, QColor(60, 64, 74));
    painter.setBrush(body);
    painter.drawRoundedRect(QRectF(46, 40, 98, 158), 18, 18);

    // Bezel and screen.
    painter.setBrush(QColor(30, 32, 36));
    painter.drawRoundedRect(QRectF(55, 52, 80, 82), 6, 6);
    DrawMap(painter, QRectF(59, 56, 72, 74));
    DrawKeys(painter);
    painter.restore();
}

}  // namespace

CReceiverPicture::CReceiverPicture(QWidget* pParent) : QWidget(pParent)
{
    setMinimumSize(PICTURE_WIDTH, PICTURE_HEIGHT);
}

void CReceiverPicture::Draw(QPainter& painter)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipRect(QRectF(0, 0, PICTURE_WIDTH, PICTURE_HEIGHT));
    DrawBackground(painter);
    DrawSatellite(painter);
    DrawReceiver(painter);
    painter.setPen(QPen(QColor(120, 120, 120), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(0.5, 0.5, PICTURE_WIDTH - 1, PICTURE_HEIGHT - 1));
    painter.restore();
}

void CReceiverPicture::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const double dScaleX = static_cast<double>(width()) / PICTURE_WIDTH;
    const double dScaleY = static_cast<double>(height()) / PICTURE_HEIGHT;
    painter.scale(dScaleX, dScaleY);
    Draw(painter);
}

}  // namespace wizard
