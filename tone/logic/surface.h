// What the waveform needs of a picture area: clear it, and draw one-pixel lines.
#pragma once

#include <cstdint>

namespace vireko {

struct Rgb {
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
    friend bool operator==(Rgb, Rgb) = default;
};

class Surface {
public:
    virtual ~Surface() = default;
    // Fills the whole area with its background colour and forgets earlier drawing.
    virtual void clear() = 0;
    // A solid one-pixel line between the two points, clipped to the area.
    virtual void line(float x1, float y1, float x2, float y2, Rgb colour) = 0;
};

}  // namespace vireko
