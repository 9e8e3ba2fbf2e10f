// The picture area: a sunken frame around a backing image that the waveform draws on.
#pragma once

#include <QFrame>
#include <QImage>

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

    // The drawing, origin inside the border: 536 x 316 picture pixels, held at the screen's
    // device pixel ratio (1072 x 632 device pixels at 2x), so nothing is scaled up on screen.
    const QImage& image() const { return image_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage blankImage() const;

    QImage image_;
};

}  // namespace vireko
