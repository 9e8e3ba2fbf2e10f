#include "picture_box.h"

#include <QPainter>

#include "waveform.h"

namespace vireko {

namespace {
QColor toQColor(Rgb colour) {
    return {colour.red, colour.green, colour.blue};
}
}  // namespace

PictureBox::PictureBox(QWidget* parent) : QFrame(parent) {
    // WinPanel is the classic two-pixel sunken edge.
    setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    setFixedSize(kOuterWidth, kOuterHeight);
    image_ = blankImage();
}

QImage PictureBox::blankImage() const {
    const qreal ratio = devicePixelRatioF();
    const QSize inside(kOuterWidth - 2 * kBorder, kOuterHeight - 2 * kBorder);
    QImage image(inside * ratio, QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(toQColor(kPictureBackground));
    return image;
}

void PictureBox::clear() {
    // Each picture starts from a clear one, at the ratio of the screen the window is on now.
    image_ = blankImage();
    update();
}

void PictureBox::line(float x1, float y1, float x2, float y2, Rgb colour) {
    QPainter painter(&image_);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(toQColor(colour), 1));
    // Above one device pixel to the picture pixel, the line is one picture pixel wide, drawn
    // down the middle of the squares that stand for the picture pixels it covers at 1x.
    if (image_.devicePixelRatio() > 1) painter.translate(0.5, 0.5);
    if (x1 == x2 && y1 == y2)
        painter.drawPoint(QPointF(x1, y1));
    else
        painter.drawLine(QPointF(x1, y1), QPointF(x2, y2));
    update();
}

void PictureBox::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.drawImage(contentsRect().topLeft(), image_);
}

}  // namespace vireko
