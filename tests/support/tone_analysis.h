// Measurements on recorded sound: where tones are, their pitch, level and spurious content.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace vireko::testing {

struct SampleSpan {
    std::size_t begin = 0;
    std::size_t end = 0;  // one past the last sample
    std::size_t size() const { return end - begin; }
};

// Stretches where |sample| exceeds `threshold`, joining gaps shorter than `joinSamples`.
std::vector<SampleSpan> findTones(std::span<const float> samples, float threshold,
                                  std::size_t joinSamples = 480);

// The pitch, from the phase drift of a windowed DFT between the two halves of the stretch.
double measureFrequencyHz(std::span<const float> samples, double rateHz);

// The strongest component that is neither the fundamental nor one of its odd harmonics,
// relative to the fundamental, in dB.
double spuriousLevelDb(std::span<const float> samples, double rateHz, double fundamentalHz);

// Where a steady tone loses or repeats sound. The tone is cut into windows of a whole number
// of periods (at least 5 ms); in each, the fundamental's phase is read against the sample
// clock, so that a tone without faults keeps one phase throughout. A dropout is a window
// whose phase moved by more than `thresholdRad` from the window before, or whose level fell
// below 90 % of the tone's median; a run of such windows counts once.
struct PhaseContinuity {
    int dropouts = 0;
    double largestJumpRad = 0;
    double lowestLevel = 1;  // the weakest window relative to the median
};
PhaseContinuity phaseContinuity(std::span<const float> samples, double rateHz, double frequencyHz,
                                double thresholdRad = 0.05);

float peakLevel(std::span<const float> samples);
double rmsLevel(std::span<const float> samples);
double meanLevel(std::span<const float> samples);

double toDb(double ratio);

}  // namespace vireko::testing
