#include "picture_box.h"

#include <QAccessibleWidget>
#include <QPainter>
#include <QVarLengthArray>
#include <algorithm>
#include <cmath>

#include "waveform.h"

namespace vireko {

namespace {

QColor toQColor(Rgb colour) {
    return {colour.red, colour.green, colour.blue};
}

// The pen every line is drawn with: one picture pixel wide, not smoothed. Above one device pixel
// to the picture pixel, the line is drawn down the middle of the squares that stand for the
// picture pixels it covers at 1x.
void preparePainter(QPainter& painter, qreal ratio, Rgb colour) {
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(toQColor(colour), 1));
    if (ratio > 1) painter.translate(0.5, 0.5);
}

// A screen reader announces the picture as an image, under the name and description the window
// gives it.
QAccessibleInterface* accessibleAsImage(const QString& className, QObject* object) {
    if (className != QLatin1String(PictureBox::staticMetaObject.className()) ||
        !object->isWidgetType())
        return nullptr;
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Graphic);
}

}  // namespace

// Qt sets the same device pixels for a step of a given rise wherever it lies inside the image
// (its rasterizer works in fixed point, so a move by whole pixels moves the pixels alike). Each
// rise is drawn by Qt once, on a scrap image, and its pixels kept as runs along the rows; the
// trace's steps are then written as those runs into the scan lines, which costs a small part of
// drawing them one by one.
const std::vector<PictureBox::Run>& PictureBox::runsOf(int rise) {
    const qreal ratio = image_.devicePixelRatio();
    if (ratio != runsRatio_) {
        runs_.clear();
        runsRatio_ = ratio;
    }
    auto found = runs_.find(rise);
    if (found != runs_.end()) return found->second;

    // The step starts at (kScrapMargin, kScrapMargin + |rise|) on the scrap.
    constexpr int kScrapMargin = 3;
    const int height = 2 * std::abs(rise) + 2 * kScrapMargin;
    QImage scrap(QSize(2 * kScrapMargin + 1, height) * ratio, QImage::Format_RGB32);
    scrap.setDevicePixelRatio(ratio);
    scrap.fill(Qt::black);
    const QPointF start(kScrapMargin, kScrapMargin + std::abs(rise));
    {
        QPainter painter(&scrap);
        preparePainter(painter, ratio, {255, 255, 255});
        const QLineF step(start, start + QPointF(1, rise));
        painter.drawLines(&step, 1);
    }
    const QPoint origin = (start * ratio).toPoint();
    std::vector<Run> runs;
    for (int row = 0; row < scrap.height(); ++row) {
        const auto* line = reinterpret_cast<const QRgb*>(scrap.constScanLine(row));
        int first = -1, last = -1;
        for (int column = 0; column < scrap.width(); ++column) {
            if (line[column] != 0xffffffff) continue;
            if (first >= 0 && last != column - 1) {  // two runs in a row: not a shape for runs
                runs.clear();
                return runs_[rise] = runs;
            }
            if (first < 0) first = column;
            last = column;
        }
        if (first >= 0)
            runs.push_back({std::int16_t(row - origin.y()), std::int16_t(first - origin.x()),
                            std::int16_t(last - origin.x())});
    }
    return runs_[rise] = runs;
}

PictureBox::PictureBox(QWidget* parent) : QFrame(parent) {
    // WinPanel is the classic two-pixel sunken edge.
    setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    setFixedSize(kOuterWidth, kOuterHeight);
    image_ = blankImage();
    static const bool accessibleFactory = (QAccessible::installFactory(accessibleAsImage), true);
    Q_UNUSED(accessibleFactory);
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
    // The same image is filled again where it can be: a new one would lose its paint engine.
    if (image_.devicePixelRatio() == devicePixelRatioF())
        image_.fill(toQColor(kPictureBackground));
    else
        image_ = blankImage();
    showLater();
}

void PictureBox::line(float x1, float y1, float x2, float y2, Rgb colour) {
    const LineSegment segment{x1, y1, x2, y2};
    lines({&segment, 1}, colour);
}

void PictureBox::lines(std::span<const LineSegment> segments, Rgb colour) {
    const qreal ratio = image_.devicePixelRatio();
    // Pixels are written straight into the image only where a whole picture pixel is a whole
    // number of device pixels (up to 4, as far as a run's 16 bits reach); elsewhere Qt draws
    // every line.
    constexpr qreal kMostRatioForRuns = 4;
    const int scale = ratio == std::floor(ratio) && ratio <= kMostRatioForRuns ? int(ratio) : 0;
    const int width = kOuterWidth - 2 * kBorder, height = kOuterHeight - 2 * kBorder;
    // Beyond this margin a line touches no pixel of the inside, whatever its ends and caps;
    // within it of an edge, Qt clips a slanted line, and only Qt draws it.
    constexpr float kMargin = 2;
    const QRgb pixel = toQColor(colour).rgb();
    uchar* const bits = image_.bits();  // detached here once, not for every pixel
    const qsizetype stride = image_.bytesPerLine();
    auto put = [&](int column, int row) -> QRgb* {
        return reinterpret_cast<QRgb*>(bits + row * stride) + column;
    };
    QVarLengthArray<QLineF, 64> drawn;
    QVarLengthArray<QPointF, 4> points;
    for (const LineSegment& s : segments) {
        const float left = std::min(s.x1, s.x2), right = std::max(s.x1, s.x2);
        const float top = std::min(s.y1, s.y2), bottom = std::max(s.y1, s.y2);
        if (right < -kMargin || left > float(width) + kMargin || bottom < -kMargin ||
            top > float(height) + kMargin)
            continue;
        const bool whole = s.x1 == std::floor(s.x1) && s.y1 == std::floor(s.y1) &&
                           s.x2 == std::floor(s.x2) && s.y2 == std::floor(s.y2);
        if (scale != 0 && whole && (s.x1 == s.x2 || s.y1 == s.y2)) {
            // Upright and level lines cover whole picture pixels, both ends included, and are
            // clipped like rectangles.
            const int x1 = std::max(int(left), 0), x2 = std::min(int(right), width - 1);
            const int y1 = std::max(int(top), 0), y2 = std::min(int(bottom), height - 1);
            if (x1 > x2 || y1 > y2) continue;
            for (int row = y1 * scale; row < (y2 + 1) * scale; ++row)
                std::fill(put(x1 * scale, row), put((x2 + 1) * scale, row), pixel);
            continue;
        }
        if (s.x1 == s.x2 && s.y1 == s.y2) {
            points.append(QPointF(s.x1, s.y1));
            continue;
        }
        const bool inside = left >= kMargin && right + kMargin < float(width) && top >= kMargin &&
                            bottom + kMargin < float(height);
        const std::vector<Run>* runs =
            scale != 0 && whole && inside && s.x2 - s.x1 == 1 ? &runsOf(int(s.y2 - s.y1)) : nullptr;
        if (runs == nullptr || runs->empty()) {
            drawn.append(QLineF(s.x1, s.y1, s.x2, s.y2));
            continue;
        }
        const int x0 = int(s.x1) * scale, y0 = int(s.y1) * scale;
        for (const Run& run : *runs)
            std::fill(put(x0 + run.first, y0 + run.row), put(x0 + run.last + 1, y0 + run.row),
                      pixel);
    }
    if (!drawn.isEmpty() || !points.isEmpty()) {
        QPainter painter(&image_);
        preparePainter(painter, ratio, colour);
        if (!drawn.isEmpty()) painter.drawLines(drawn.constData(), int(drawn.size()));
        if (!points.isEmpty()) painter.drawPoints(points.constData(), int(points.size()));
    }
    showLater();
}

void PictureBox::showLater() {
    if (updatePending_) return;
    updatePending_ = true;
    update();
}

void PictureBox::paintEvent(QPaintEvent* event) {
    updatePending_ = false;
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.drawImage(contentsRect().topLeft(), image_);
}

}  // namespace vireko
