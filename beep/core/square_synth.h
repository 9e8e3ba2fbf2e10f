// The speaker's square wave for a sound card: band-limited, so that nothing folds back below
// half the sample rate, with a short raised-cosine ramp where the gate opens and closes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace beep {

class SquareWaveSynth {
public:
    static constexpr double kPeakLevel = 0.25;  // about -12 dBFS
    static constexpr double kRampSeconds = 0.003;
    // Harmonics stop short of half the sample rate by this fraction of it.
    static constexpr double kHighestHarmonicFraction = 0.47;

    explicit SquareWaveSynth(double sampleRateHz);

    // The timer's divisor while the gate is open, or nothing once it closes.
    void setTone(std::optional<std::uint32_t> divisor);
    void render(std::span<float> out);

    // Nothing is sounding and no ramp is under way.
    bool silent() const { return !tone_ && rampPosition_ == 0; }

private:
    double nextSample();

    double sampleRateHz_;
    std::optional<std::uint32_t> tone_;
    double phaseCycles_ = 0;
    double phaseStepCycles_ = 0;
    int highestOddHarmonic_ = 1;
    int rampLength_;
    int rampPosition_ = 0;  // 0 = silent, rampLength_ = full level
    std::vector<double> inverseOdd_;
};

}  // namespace beep
