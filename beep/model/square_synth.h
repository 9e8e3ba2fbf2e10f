// The speaker's square wave for a sound card: band-limited, so that nothing folds back below
// half the sample rate, with a short raised-cosine ramp where the gate opens and closes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace beep {

// Each edge of the naive square wave is replaced by a band-limited step (a Kaiser-windowed
// sinc made minimum-phase, integrated), placed at its exact sub-sample time. The cost is a fixed
// number of multiply-adds per edge, whatever the pitch. A copy of the synth is a snapshot:
// rendering from it again gives the same samples, which is how buffered audio is rewritten.
class SquareWaveSynth {
public:
    static constexpr double kPeakLevel = 0.25;  // about -12 dBFS
    static constexpr double kRampSeconds = 0.003;
    // Taps of the band-limited step. It is minimum-phase: it begins to rise at its edge, so the
    // output runs no frame behind the edges.
    static constexpr int kStepTaps = 80;
    static constexpr int kDelayFrames = 0;

    explicit SquareWaveSynth(double sampleRateHz);

    // The timer's divisor while the gate is open, or nothing once it closes.
    void setTone(std::optional<std::uint32_t> divisor);
    void render(std::span<float> out);

    // Nothing is sounding, no ramp is under way and nothing is left in the delay line.
    bool silent() const {
        return !tone_ && rampPosition_ == 0 && frontIndex_ - kDelayFrames >= quietFrom_;
    }

private:
    static constexpr std::size_t kRing = 128;  // a power of two above kStepTaps + 1
    void advanceFront();
    void addStep(double edgeTime, double jump);

    double sampleRateHz_;
    std::optional<std::uint32_t> tone_;
    bool oscillating_ = false;
    bool audible_ = true;  // the last sample's pitch lay below half the sample rate
    double phaseCycles_ = 0;
    double phaseStepCycles_ = 0;
    double level_ = 0;  // the naive square's level, +-1
    int rampLength_;
    int rampPosition_ = 0;                    // 0 = silent, rampLength_ = full level
    std::int64_t frontIndex_ = kDelayFrames;  // the next sample whose edges are generated
    std::int64_t quietFrom_ = 0;              // the first sample of the silence that follows
    // Indexed by sample number modulo kRing, for the samples between output and front.
    std::array<float, kRing> naive_{};
    std::array<float, kRing> correction_{};
    std::array<float, kRing> envelope_{};
};

}  // namespace beep
