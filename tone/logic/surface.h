// What the waveform needs of a picture area: clear it, and draw one-pixel lines.
#pragma once

#include <cstdint>
#include <span>

namespace vireko {

struct Rgb {
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
    friend bool operator==(Rgb, Rgb) = default;
};

// A straight line between two points of the area.
struct LineSegment {
    float x1, y1, x2, y2;
};

class Surface {
public:
    virtual ~Surface() = default;
    // Fills the whole area with its background colour and forgets earlier drawing.
    virtual void clear() = 0;
    // A solid one-pixel line between the two points, clipped to the area.
    virtual void line(float x1, float y1, float x2, float y2, Rgb colour) = 0;
    // Lines in one colour, as if drawn one by one in order; an area may draw them in one go.
    virtual void lines(std::span<const LineSegment> segments, Rgb colour) {
        for (const LineSegment& s : segments) line(s.x1, s.y1, s.x2, s.y2, colour);
    }
};

}  // namespace vireko
