// The oscilloscope picture: a fixed grid, a sine trace of the tone and its axis.
#pragma once

#include <cstdint>

#include "surface.h"

namespace vireko {

inline constexpr Rgb kPictureBackground{0, 64, 0};
inline constexpr Rgb kGridBlue{0, 0, 128};       // console palette entry 1
inline constexpr Rgb kAxisLightBlue{0, 0, 255};  // entry 9
inline constexpr Rgb kTraceYellow{255, 255, 0};  // entry 14

// The picture area, border included, in pixels.
inline constexpr int kPictureWidth = 540;
inline constexpr int kPictureHeight = 320;

// The grid: vertical lines from x = 104 every 108 pixels to 428, horizontal ones from y = 20
// every 70 pixels to 300, each across the whole picture.
inline constexpr int kGridFirstX = 104;
inline constexpr int kGridLastX = 428;
inline constexpr int kGridStepX = 108;
inline constexpr int kGridFirstY = 20;
inline constexpr int kGridLastY = 300;
inline constexpr int kGridStepY = 70;

// The axis, and the trace's centre line.
inline constexpr int kAxisY = 160;
inline constexpr int kTraceAmplitude = 120;

inline constexpr int kTraceFirstX = -101;
inline constexpr int kTraceLastX = 720;

// The display scales of the three range buttons, 1x, 10x and 100x: the larger the scale, the
// more cycles across the picture.
inline constexpr std::int16_t kScale1x = 20;
inline constexpr std::int16_t kScale10x = 200;
inline constexpr std::int16_t kScale100x = 2000;

void ClearPicture(Surface& surface);
void DrawGrid(Surface& surface);

// The trace's y at pixel x for frequency f and display scale s. Raises a run-time error
// when s is 0.
std::int16_t TraceY(int x, std::int16_t f, std::int16_t s);

// The trace from x = -101 to 720, then the axis over it. A point whose y cannot be
// computed is skipped and the previous y stands in for it.
void DrawTrace(Surface& surface, std::int16_t f, std::int16_t s);

}  // namespace vireko
