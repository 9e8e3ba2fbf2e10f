#include "waveform.h"

#include <cmath>

#include "conversions.h"
#include "runtime_error.h"

namespace vireko {

namespace {
// Not pi: the trace uses this five-digit value, and its pixels depend on it.
constexpr double kPi = 3.14159;
}  // namespace

void ClearPicture(Surface& surface) {
    surface.clear();
}

void DrawGrid(Surface& surface) {
    for (int x = kGridFirstX; x <= kGridLastX; x += kGridStepX)
        surface.line(float(x), 1, float(x), kPictureHeight, kGridBlue);
    for (int y = kGridFirstY; y <= kGridLastY; y += kGridStepY)
        surface.line(1, float(y), kPictureWidth, float(y), kGridBlue);
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
    std::int16_t y = 0;
    std::int16_t previousY = 0;
    for (int x = kTraceFirstX; x <= kTraceLastX; ++x) {
        resumeNext([&] { y = TraceY(x, f, s); });
        resumeNext([&] {
            surface.line(float(x - 1), float(previousY), float(x), float(y), kTraceYellow);
        });
        previousY = y;
    }
    resumeNext([&] { surface.line(1, kAxisY, kPictureWidth, kAxisY, kAxisLightBlue); });
}

}  // namespace vireko
