#include "picture_box.h"

#include <QPainter>

#include "waveform.h"

namespace vireko {

namespace {
QColor toQColor(Rgb colour) {
    return {colour.red, colour.green, colour.blue};
}
}  // namespace

PictureBox::PictureBox(QWidget* parent)
    : QFrame(parent),
      image_(kOuterWidth - 2 * kBorder, kOuterHeight - 2 * kBorder, QImage::Format_RGB32) {
    // WinPanel is the classic two-pixel sunken edge.
    setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    setFixedSize(kOuterWidth, kOuterHeight);
    image_.fill(toQColor(kPictureBackground));
}

void PictureBox::clear() {
    image_.fill(toQColor(kPictureBackground));
    update();
}

void PictureBox::line(float x1, float y1, float x2, float y2, Rgb colour) {
    QPainter painter(&image_);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(toQColor(colour), 1));
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
