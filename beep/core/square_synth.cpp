#include "square_synth.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "speaker_ops.h"

namespace beep {

namespace {
// A square wave of amplitude 1 is (4/pi) * sum over odd k of sin(k x) / k. Its peak with
// Gibbs overshoot stays below 4/pi, reached when only the fundamental is left.
constexpr double kSquareAmplitude = SquareWaveSynth::kPeakLevel / (4 / std::numbers::pi);
}  // namespace

SquareWaveSynth::SquareWaveSynth(double sampleRateHz)
    : sampleRateHz_(sampleRateHz),
      rampLength_(std::max(1, static_cast<int>(std::lround(kRampSeconds * sampleRateHz)))) {}

void SquareWaveSynth::setTone(std::optional<std::uint32_t> divisor) {
    if (divisor == tone_) return;
    if (divisor) {
        if (!tone_ && rampPosition_ == 0) phaseCycles_ = 0;  // start on a zero crossing
        const double frequencyHz =
            static_cast<double>(kTimerClockHz) / static_cast<double>(*divisor);
        phaseStepCycles_ = frequencyHz / sampleRateHz_;
        const double limitHz = kHighestHarmonicFraction * sampleRateHz_;
        const auto highest = static_cast<int>(limitHz / frequencyHz);
        highestOddHarmonic_ = std::max(1, highest % 2 == 0 ? highest - 1 : highest);
        const auto terms = static_cast<std::size_t>((highestOddHarmonic_ + 1) / 2);
        inverseOdd_.resize(terms);
        for (std::size_t i = 0; i < terms; ++i) inverseOdd_[i] = 1.0 / double(2 * i + 1);
    }
    // While the gate is closed the last pitch rings out through the ramp.
    tone_ = divisor;
}

double SquareWaveSynth::nextSample() {
    if (tone_ && rampPosition_ < rampLength_)
        ++rampPosition_;
    else if (!tone_ && rampPosition_ > 0)
        --rampPosition_;
    if (rampPosition_ == 0) return 0;

    // Odd harmonics by the recurrence sin((k+2)x) = 2cos(2x) sin(kx) - sin((k-2)x).
    const double x = 2 * std::numbers::pi * phaseCycles_;
    const double sinX = std::sin(x);
    const double twoCos2X = 2 * std::cos(2 * x);
    double previous = -sinX;  // sin(-x)
    double current = sinX;
    double sum = current;
    for (std::size_t i = 1; i < inverseOdd_.size(); ++i) {
        const double next = twoCos2X * current - previous;
        previous = current;
        current = next;
        sum += current * inverseOdd_[i];
    }
    phaseCycles_ += phaseStepCycles_;
    phaseCycles_ -= std::floor(phaseCycles_);

    const double ramp = 0.5 - 0.5 * std::cos(std::numbers::pi * rampPosition_ / rampLength_);
    return kSquareAmplitude * (4 / std::numbers::pi) * sum * ramp;
}

void SquareWaveSynth::render(std::span<float> out) {
    for (float& sample : out) sample = static_cast<float>(nextSample());
}

}  // namespace beep
