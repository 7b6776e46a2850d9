// trailmark-icon: the wizard's application icon, painted by the same code as
// the picture on its pages, so that the desktop shows the receiver the user
// then sees in the wizard. Run by the build (packaging/CMakeLists.txt):
//
//   trailmark-icon OUTDIR SIZE...
//
// writes OUTDIR/SIZExSIZE/trailmark-upgrade.png for each size, the layout
// of an icon theme's folders. The picture is 195 by 210; the icon is its top
// square (the receiver under the satellite) with rounded corners on a
// transparent ground. Exit status 0 when every file was written.
#include <cstdio>
#include <cstdlib>

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include "wizard/ReceiverPicture.h"

namespace {

using wizard::CReceiverPicture;

// The picture drawn at `nScale` times its size, for a sharp reduction.
QImage PaintPicture(int nScale)
{
    QImage picture(CReceiverPicture::PICTURE_WIDTH * nScale, CReceiverPicture::PICTURE_HEIGHT * nScale,
                   QImage::Format_ARGB32_Premultiplied);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.scale(nScale, nScale);
    CReceiverPicture::Draw(painter);
    return picture;
}

QImage MakeIcon(const QImage& picture, int nSize)
{
    const int nSide = picture.width();
    // The square starts a little below the top, so the case's foot stays in.
    const QRect square(0, (picture.height() - nSide) / 2, nSide, nSide);
    QImage icon(nSize, nSize, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    QPainter painter(&icon);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(0, 0, nSize, nSize), nSize * 0.16, nSize * 0.16);
    painter.setClipPath(outline);
    painter.drawImage(QRectF(0, 0, nSize, nSize), picture, square);
    return icon;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: trailmark-icon OUTDIR SIZE...\n");
        return 2;
    }
    const QImage picture = PaintPicture(4);
    for (int i = 2; i < argc; ++i) {
        const int nSize = std::atoi(argv[i]);
        if (nSize < 16 || nSize > 1024) {
            std::fprintf(stderr, "trailmark-icon: %s is not a size from 16 to 1024\n", argv[i]);
            return 2;
        }
        const QString strDir = QString::fromLocal8Bit(argv[1]) + QStringLiteral("/%1x%1").arg(nSize);
        const QString strPath = strDir + QStringLiteral("/trailmark-upgrade.png");
        if (!QDir().mkpath(strDir) || !MakeIcon(picture, nSize).save(strPath, "PNG")) {
            std::fprintf(stderr, "trailmark-icon: cannot write %s\n", strPath.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
