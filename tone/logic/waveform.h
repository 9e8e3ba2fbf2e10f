// The oscilloscope picture: a fixed grid, a sine trace of the tone and its axis.
#pragma once

#include <cstdint>

#include "surface.h"

namespace vireko {

inline constexpr Rgb kPictureBackground{0, 64, 0};
inline constexpr Rgb kGridBlue{0, 0, 128};       // console palette entry 1
inline constexpr Rgb kAxisLightBlue{0, 0, 255};  // entry 9
inline constexpr Rgb kTraceYellow{255, 255, 0};  // entry 14

inline constexpr int kTraceFirstX = -101;
inline constexpr int kTraceLastX = 720;

void ClearPicture(Surface& surface);
void DrawGrid(Surface& surface);

// The trace's y at pixel x for frequency f and display scale s. Raises a run-time error
// when s is 0.
std::int16_t TraceY(int x, std::int16_t f, std::int16_t s);

// The trace from x = -101 to 720, then the axis over it. A point whose y cannot be
// computed is skipped and the previous y stands in for it.
void DrawTrace(Surface& surface, std::int16_t f, std::int16_t s);

}  // namespace vireko
