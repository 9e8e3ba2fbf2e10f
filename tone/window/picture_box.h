// The picture area: a sunken frame around a backing image that the waveform draws on.
#pragma once

#include <QFrame>
#include <QImage>
#include <cstdint>
#include <map>
#include <vector>

#include "surface.h"
#include "waveform.h"

namespace vireko {

class PictureBox final : public QFrame, public Surface {
    Q_OBJECT

public:
    static constexpr int kOuterWidth = kPictureWidth;
    static constexpr int kOuterHeight = kPictureHeight;
    static constexpr int kBorder = 2;

    explicit PictureBox(QWidget* parent = nullptr);

    void clear() override;
    void line(float x1, float y1, float x2, float y2, Rgb colour) override;
    void lines(std::span<const LineSegment> segments, Rgb colour) override;

    // The drawing, origin inside the border: 536 x 316 picture pixels, held at the screen's
    // device pixel ratio (1072 x 632 device pixels at 2x), so nothing is scaled up on screen.
    const QImage& image() const { return image_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // A run of device pixels along a row, relative to the pixel of a step's start. Small: a
    // dense trace has some hundred thousand of them at 2x.
    struct Run {
        std::int16_t row, first, last;
    };
    // What Qt sets for a trace step of this rise at the image's ratio; empty where runs cannot
    // say it.
    const std::vector<Run>& runsOf(int rise);
    QImage blankImage() const;
    // One repaint for a whole picture, however many drawings make it up.
    void showLater();

    QImage image_;
    bool updatePending_ = false;
    std::map<int, std::vector<Run>> runs_;
    qreal runsRatio_ = 0;
};

}  // namespace vireko
