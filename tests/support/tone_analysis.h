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

float peakLevel(std::span<const float> samples);
double rmsLevel(std::span<const float> samples);
double meanLevel(std::span<const float> samples);

double toDb(double ratio);

}  // namespace vireko::testing
