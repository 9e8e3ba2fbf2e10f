#include "square_synth.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "speaker_ops.h"

namespace beep {

namespace {

// A square wave of amplitude A has a fundamental of amplitude 4A/pi; with this amplitude a
// tone whose harmonics all lie above the band peaks at kPeakLevel.
constexpr double kSquareAmplitude = SquareWaveSynth::kPeakLevel / (4 / std::numbers::pi);

// The step's low-pass filter: cut off at 0.4615 of the sample rate (22.15 kHz at 48 kHz),
// a Kaiser window with beta 9 (about 90 dB down). Over 80 taps the band passes the highest
// fundamental, 20223 Hz, and is closed again by 24 kHz, where folding would begin. It is made
// minimum-phase, with the same magnitude, so that the step starts at its edge instead of half
// its length before: a change is heard at once rather than 40 frames later.
constexpr double kCutoffFraction = 0.4615;
constexpr double kKaiserBeta = 9.0;
constexpr int kPhases = 256;  // sub-sample positions, interpolated linearly between
constexpr int kHalfTaps = SquareWaveSynth::kStepTaps / 2;
// The transform that turns the filter minimum-phase spans several times its length, so that
// its cepstrum, which decays only slowly, does not fold back onto itself.
constexpr std::size_t kTransformSize = std::size_t{1} << 13;
// The filter is designed on a grid of this many points a sample, coarser than the table's, and
// the step read from it by cubic interpolation, which leaves the spurs as they were on the fine
// grid: the transforms then take about a millisecond, not tens, before the first tone.
constexpr int kDesignPoints = 16;
// The filter's stop band has zeros, whose logarithm would be unbounded; it is held at this
// floor instead, far below anything that can be heard against the tone.
constexpr double kFloorRatio = 1e-6;  // -120 dB

double besselI0(double x) {
    double term = 1, sum = 1;
    for (int k = 1; k < 60 && term > 1e-17 * sum; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

// In place, of a power-of-two size; `inverse` without the 1/size scaling.
void fourierTransform(std::vector<std::complex<double>>& data, bool inverse) {
    const std::size_t size = data.size();
    for (std::size_t i = 1, j = 0; i < size; ++i) {
        std::size_t bit = size >> 1;
        for (; (j & bit) != 0; bit >>= 1) j ^= bit;
        j |= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    // Each twiddle from its own angle, not by repeated multiplication, which would drift by
    // far more than the floor above over thousands of points.
    std::vector<std::complex<double>> twiddles(size / 2);
    for (std::size_t k = 0; k < size / 2; ++k)
        twiddles[k] =
            std::polar(1.0, (inverse ? 2 : -2) * std::numbers::pi * double(k) / double(size));
    for (std::size_t length = 2; length <= size; length <<= 1) {
        const std::size_t stride = size / length;
        for (std::size_t start = 0; start < size; start += length) {
            for (std::size_t k = 0; k < length / 2; ++k) {
                const std::complex<double> odd =
                    data[start + k + length / 2] * twiddles[k * stride];
                data[start + k + length / 2] = data[start + k] - odd;
                data[start + k] += odd;
            }
        }
    }
}

// The windowed sinc made minimum-phase by the cepstral method, on a grid of kDesignPoints a
// sample: the log magnitude's real cepstrum, folded onto positive times, exponentiated.
std::vector<double> minimumPhaseImpulse(int points) {
    std::vector<std::complex<double>> spectrum(kTransformSize);
    for (int i = 0; i <= points; ++i) {
        const double t = -kHalfTaps + double(i) / kDesignPoints;
        const double x = 2 * kCutoffFraction * t;
        const double sinc = x == 0 ? 1 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
        const double r = t / kHalfTaps;
        const double window =
            besselI0(kKaiserBeta * std::sqrt(std::max(0.0, 1 - r * r))) / besselI0(kKaiserBeta);
        spectrum[std::size_t(i)] = sinc * window;
    }
    fourierTransform(spectrum, false);
    const double floor = kFloorRatio * std::abs(spectrum[0]);
    for (auto& bin : spectrum) bin = std::log(std::max(std::abs(bin), floor));
    fourierTransform(spectrum, true);
    const double scale = 1.0 / double(kTransformSize);
    const std::size_t half = kTransformSize / 2;
    for (std::size_t n = 0; n < kTransformSize; ++n) {
        const double fold = n == 0 || n == half ? 1 : n < half ? 2 : 0;
        spectrum[n] = fold * scale * spectrum[n].real();
    }
    fourierTransform(spectrum, false);
    for (auto& bin : spectrum) bin = std::exp(bin);
    fourierTransform(spectrum, true);
    std::vector<double> impulse(std::size_t(points) + 1);
    for (std::size_t i = 0; i < impulse.size(); ++i) impulse[i] = spectrum[i].real() * scale;
    return impulse;
}

// The band-limited step minus the ideal one, for kPhases + 1 sub-sample offsets: row p, tap j
// holds the residual at time j + p / kPhases after the edge.
class StepResidual {
public:
    StepResidual() : table_(static_cast<std::size_t>((kPhases + 1) * SquareWaveSynth::kStepTaps)) {
        // What little of the impulse lies past the last tap is left out, and the step scaled
        // to end at exactly one, so that it leaves no offset.
        const int points = SquareWaveSynth::kStepTaps * kDesignPoints;
        const std::vector<double> impulse = minimumPhaseImpulse(points);
        std::vector<double> step(impulse.size());
        for (std::size_t i = 1; i < step.size(); ++i)
            step[i] = step[i - 1] + (impulse[i - 1] + impulse[i]) / 2;
        const double total = step.back();
        // Zero before the edge, one from the end on.
        auto at = [&](int i) {
            return i < 0 ? 0.0 : i >= points ? 1.0 : step[std::size_t(i)] / total;
        };
        for (int p = 0; p <= kPhases; ++p) {
            for (int j = 0; j < SquareWaveSynth::kStepTaps; ++j) {
                const double u = (j + double(p) / kPhases) * kDesignPoints;
                const int i = static_cast<int>(std::floor(u));
                const double x = u - i;
                // Four-point Lagrange interpolation between design points i and i + 1.
                const double value = at(i - 1) * (-x * (x - 1) * (x - 2) / 6) +
                                     at(i) * ((x + 1) * (x - 1) * (x - 2) / 2) +
                                     at(i + 1) * (-(x + 1) * x * (x - 2) / 2) +
                                     at(i + 2) * ((x + 1) * x * (x - 1) / 6);
                table_[std::size_t(p) * SquareWaveSynth::kStepTaps + std::size_t(j)] =
                    static_cast<float>(value - 1.0);
            }
        }
    }

    const float* row(int phase) const {
        return table_.data() + std::size_t(phase) * SquareWaveSynth::kStepTaps;
    }

private:
    std::vector<float> table_;
};

// Built at the first tone and kept for the life of the process: the audio thread may still
// be rendering while the process exits.
const StepResidual& stepResidual() {
    static const StepResidual* const table = new StepResidual;
    return *table;
}

}  // namespace

SquareWaveSynth::SquareWaveSynth(double sampleRateHz)
    : sampleRateHz_(sampleRateHz),
      rampLength_(std::max(1, static_cast<int>(std::lround(kRampSeconds * sampleRateHz)))) {
    stepResidual();
}

void SquareWaveSynth::setTone(std::optional<std::uint32_t> divisor) {
    if (divisor == tone_) return;
    if (divisor) {
        const double frequencyHz =
            static_cast<double>(kTimerClockHz) / static_cast<double>(*divisor);
        phaseStepCycles_ = frequencyHz / sampleRateHz_;
    }
    // While the gate is closed the last pitch rings out through the ramp.
    tone_ = divisor;
}

void SquareWaveSynth::addStep(double edgeTime, double jump) {
    const double first = std::ceil(edgeTime);
    const double position = (first - edgeTime) * kPhases;
    const int phase = std::min(kPhases - 1, static_cast<int>(position));
    const auto weight = static_cast<float>(position - phase);
    const float* lower = stepResidual().row(phase);
    const float* upper = stepResidual().row(phase + 1);
    const auto firstIndex = static_cast<std::int64_t>(first);
    const auto scaledJump = static_cast<float>(jump);
    for (int j = 0; j < kStepTaps; ++j) {
        const float residual = lower[j] + weight * (upper[j] - lower[j]);
        correction_[std::size_t(firstIndex + j) & (kRing - 1)] += scaledJump * residual;
    }
}

void SquareWaveSynth::advanceFront() {
    const std::int64_t index = frontIndex_++;
    const std::size_t slot = std::size_t(index) & (kRing - 1);
    if (tone_ && rampPosition_ < rampLength_)
        ++rampPosition_;
    else if (!tone_ && rampPosition_ > 0)
        --rampPosition_;
    if (rampPosition_ == 0) {
        oscillating_ = false;
        naive_[slot] = 0;
        envelope_[slot] = 0;
        return;
    }
    // A tone above half the sample rate is inaudible: a real speaker's would be too. The wave
    // goes to silence and back through a band-limited step, as it does at its edges.
    const bool audible = phaseStepCycles_ < 0.5;
    if (!oscillating_) {
        // What is left of the last tone's steps falls on frames its ramp has silenced.
        correction_.fill(0);
        oscillating_ = true;
        phaseCycles_ = 0;  // start on a rising edge, under the ramp
        level_ = 1;
    } else if (audible != audible_) {
        addStep(double(index), audible ? level_ : -level_);
    } else if (audible) {
        // The edges between the previous sample and this one: falling at half a cycle,
        // rising at a whole one.
        const double from = phaseCycles_;
        const double to = from + phaseStepCycles_;
        for (double edge = from < 0.5 ? 0.5 : 1.0; edge <= to; edge += 0.5) {
            const double jump = edge == 1.0 ? 2.0 : -2.0;
            addStep(double(index - 1) + (edge - from) / phaseStepCycles_, jump);
            level_ += jump;
        }
        phaseCycles_ = to >= 1.0 ? to - 1.0 : to;
    }
    audible_ = audible;
    naive_[slot] = audible ? static_cast<float>(level_) : 0.0f;
    envelope_[slot] = static_cast<float>(
        rampPosition_ == rampLength_
            ? kSquareAmplitude
            : kSquareAmplitude *
                  (0.5 - 0.5 * std::cos(std::numbers::pi * rampPosition_ / rampLength_)));
    quietFrom_ = index + 1;
}

void SquareWaveSynth::render(std::span<float> out) {
    for (float& sample : out) {
        advanceFront();
        // The sample whose last correction came from the edges just generated.
        const std::size_t slot = std::size_t(frontIndex_ - 1 - kDelayFrames) & (kRing - 1);
        sample = envelope_[slot] * (naive_[slot] + correction_[slot]);
        correction_[slot] = 0;
    }
}

}  // namespace beep
