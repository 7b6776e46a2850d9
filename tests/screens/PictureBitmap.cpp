// trailmark-picture-bitmap: the Qt wizard's receiver picture as the 24-bit
// bitmap the Win32 wizard carries as its resource 130.
//
//   trailmark-picture-bitmap OUTPUT.bmp
//
// wizard/win32/ReceiverPicture.bmp was written with it; run it again (and
// commit the file) when the drawing in wizard/ReceiverPicture.cpp changes.
#include <cstdio>

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include "wizard/ReceiverPicture.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: trailmark-picture-bitmap OUTPUT.bmp\n");
        return 2;
    }
    QGuiApplication app(argc, argv);
    QImage image(wizard::CReceiverPicture::PICTURE_WIDTH, wizard::CReceiverPicture::PICTURE_HEIGHT,
                 QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        wizard::CReceiverPicture::Draw(painter);
    }
    // Qt writes an image without alpha as a bitmap of 24 bits per pixel.
    if (!image.save(QString::fromLocal8Bit(argv[1]), "BMP")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
