#include "waveform.h"

#include <array>
#include <cmath>

#include "conversions.h"
#include "runtime_error.h"

namespace vireko {

namespace {
// Not pi: the trace uses this five-digit value, and its pixels depend on it.
constexpr double kPi = 3.14159;
constexpr std::size_t kGridLines =
    (kGridLastX - kGridFirstX) / kGridStepX + 1 + (kGridLastY - kGridFirstY) / kGridStepY + 1;
}  // namespace

void ClearPicture(Surface& surface) {
    surface.clear();
}

void DrawGrid(Surface& surface) {
    std::array<LineSegment, kGridLines> grid{};
    std::size_t n = 0;
    for (int x = kGridFirstX; x <= kGridLastX; x += kGridStepX)
        grid[n++] = {float(x), 1, float(x), kPictureHeight};
    for (int y = kGridFirstY; y <= kGridLastY; y += kGridStepY)
        grid[n++] = {1, float(y), kPictureWidth, float(y)};
    surface.lines(grid, kGridBlue);
}

std::int16_t TraceY(int x, std::int16_t f, std::int16_t s) {
    const double angle = (static_cast<double>(x) / 180) * kPi;
    const double numerator = angle * f;
    if (s == 0) {
        throw RuntimeError(numerator == 0 ? ErrorNumber::Overflow : ErrorNumber::DivisionByZero);
    }
    const double phase = numerator / s;
    return numberToInt16(kAxisY - std::sin(phase) * kTraceAmplitude);
}

void DrawTrace(Surface& surface, std::int16_t f, std::int16_t s) {
    // The segments go to the area together, so that it can draw them in one pass.
    std::array<LineSegment, kTraceLastX - kTraceFirstX + 1> trace{};
    std::int16_t y = 0;
    std::int16_t previousY = 0;
    for (int x = kTraceFirstX; x <= kTraceLastX; ++x) {
        resumeNext([&] { y = TraceY(x, f, s); });
        trace[std::size_t(x - kTraceFirstX)] = {float(x - 1), float(previousY), float(x), float(y)};
        previousY = y;
    }
    resumeNext([&] { surface.lines(trace, kTraceYellow); });
    resumeNext([&] { surface.line(1, kAxisY, kPictureWidth, kAxisY, kAxisLightBlue); });
}

}  // namespace vireko
