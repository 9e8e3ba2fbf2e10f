#include "waveform.h"

#include <cmath>

#include "conversions.h"
#include "runtime_error.h"

namespace vireko {

namespace {
// Not pi: the trace has always used this five-digit value.
constexpr double kPi = 3.14159;
constexpr double kCentreY = 160;
constexpr double kAmplitude = 120;
}  // namespace

void ClearPicture(Surface& surface) {
    surface.clear();
}

void DrawGrid(Surface& surface) {
    for (int x = 104; x <= 428; x += 108) surface.line(float(x), 1, float(x), 320, kGridBlue);
    for (int y = 20; y <= 300; y += 70) surface.line(1, float(y), 540, float(y), kGridBlue);
}

std::int16_t TraceY(int x, std::int16_t f, std::int16_t s) {
    const double angle = (static_cast<double>(x) / 180) * kPi;
    const double numerator = angle * f;
    if (s == 0) {
        throw RuntimeError(numerator == 0 ? ErrorNumber::Overflow : ErrorNumber::DivisionByZero);
    }
    const double phase = numerator / s;
    return numberToInt16(kCentreY - std::sin(phase) * kAmplitude);
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
    resumeNext([&] { surface.line(1, 160, 540, 160, kAxisLightBlue); });
}

}  // namespace vireko
