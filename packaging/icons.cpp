// vireko-icons: draws the program's pixel icon as the desktop's hicolor icons.
//   vireko-icons OUTPUT_DIR SIZE...   writes hicolor/<N>x<N>/apps/ID.png for each size, and
//                                     hicolor/scalable/apps/ID.svg
// Each pixel of the 32 x 32 icon becomes a square; 16 px uses the icon's own 16 x 16 drawing.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QTextStream>
#include <cstdio>
#include <cstdlib>

#include "icon16.xpm"
#include "icon32.xpm"

namespace {

constexpr const char* kIconId = "org.vireko.Vireko";

QImage drawn(const QImage& pixels, int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    const double scale = double(size) / pixels.width();
    for (int y = 0; y < pixels.height(); ++y)
        for (int x = 0; x < pixels.width(); ++x)
            if (qAlpha(pixels.pixel(x, y)) != 0)
                painter.fillRect(QRectF(x * scale, y * scale, scale, scale),
                                 QColor::fromRgba(pixels.pixel(x, y)));
    return image;
}

QString svg(const QImage& pixels) {
    QString out;
    QTextStream text(&out);
    text << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << pixels.width() << "\" height=\""
         << pixels.height() << "\" viewBox=\"0 0 " << pixels.width() << ' ' << pixels.height()
         << "\" shape-rendering=\"crispEdges\">\n";
    // One rectangle per run of same-coloured pixels in a row.
    for (int y = 0; y < pixels.height(); ++y) {
        for (int x = 0; x < pixels.width();) {
            const QRgb colour = pixels.pixel(x, y);
            int end = x + 1;
            while (end < pixels.width() && pixels.pixel(end, y) == colour) ++end;
            if (qAlpha(colour) != 0)
                text << "  <rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << end - x
                     << "\" height=\"1\" fill=\"" << QColor(colour).name() << "\"/>\n";
            x = end;
        }
    }
    text << "</svg>\n";
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: vireko-icons OUTPUT_DIR SIZE...\n", stderr);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]) + "/hicolor";
    const QImage large(icon32_xpm);
    const QImage small(icon16_xpm);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size <= 0) return 2;
        const QString dir = QString("%1/%2x%2/apps").arg(root).arg(size);
        QDir().mkpath(dir);
        const QImage image = size == 16 ? drawn(small, 16) : drawn(large, size);
        if (!image.save(QString("%1/%2.png").arg(dir, kIconId))) return 1;
    }
    QDir().mkpath(root + "/scalable/apps");
    QFile file(QString("%1/scalable/apps/%2.svg").arg(root, kIconId));
    if (!file.open(QIODevice::WriteOnly)) return 1;
    file.write(svg(large).toUtf8());
    return 0;
}
