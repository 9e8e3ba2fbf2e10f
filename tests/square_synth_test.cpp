// The square wave rendered for the sound card, measured sample by sample.
#include <gtest/gtest.h>

#include <vector>

#include "square_synth.h"
#include "support/tone_analysis.h"

namespace beep {
namespace {

using namespace vireko::testing;

constexpr double kRate = 48000;

std::vector<float> render(SquareWaveSynth& synth, double seconds) {
    std::vector<float> out(static_cast<std::size_t>(seconds * kRate));
    synth.render(out);
    return out;
}

std::vector<float> steadyTone(std::uint32_t divisor, double seconds = 0.5) {
    SquareWaveSynth synth(kRate);
    synth.setTone(divisor);
    auto samples = render(synth, seconds + 0.01);
    samples.erase(samples.begin(), samples.begin() + 480);  // past the opening ramp
    return samples;
}

TEST(SquareSynth, PitchIsTheTimerClockOverTheCount) {
    for (std::uint32_t divisor : {2711u, 198u, 59659u, 59u}) {
        const auto samples = steadyTone(divisor);
        EXPECT_NEAR(measureFrequencyHz(samples, kRate), 1193180.0 / divisor, 0.01) << divisor;
    }
}

TEST(SquareSynth, NothingFoldsBackAtAnyCountOfTheAudibleRange) {
    for (std::uint32_t divisor :
         {59u, 61u, 79u, 119u, 149u, 240u, 397u, 1193u, 2711u, 9000u, 59659u}) {
        const auto samples = steadyTone(divisor, 0.7);
        EXPECT_LE(spuriousLevelDb(samples, kRate, 1193180.0 / divisor), -60.0) << divisor;
    }
}

TEST(SquareSynth, ModerateLevelWithoutOffset) {
    for (std::uint32_t divisor : {79u, 2711u, 59659u}) {
        const auto samples = steadyTone(divisor, 1.0);
        EXPECT_NEAR(toDb(peakLevel(samples)), -12.0, 1.5) << divisor;
        EXPECT_LT(std::abs(meanLevel(samples)), 1e-3) << divisor;
    }
}

TEST(SquareSynth, LowPitchKeepsItsSquareShape) {
    const auto samples = steadyTone(59659u, 0.2);  // 20 Hz: a quarter cycle is 600 samples
    EXPECT_NEAR(samples[300], 0.197, 0.02);
    EXPECT_NEAR(samples[900], -0.197, 0.02);
}

TEST(SquareSynth, GateEdgesRampInsteadOfClicking) {
    SquareWaveSynth synth(kRate);
    synth.setTone(79u);
    const auto opening = render(synth, 0.01);
    EXPECT_LT(peakLevel(std::span(opening).first(24)), 0.05f) << "first half millisecond";
    EXPECT_GT(peakLevel(std::span(opening).subspan(200)), 0.2f);
    synth.setTone(std::nullopt);
    const auto closing = render(synth, 0.01);
    EXPECT_GT(peakLevel(std::span(closing).first(24)), 0.2f) << "the tone rings through the ramp";
    EXPECT_LT(peakLevel(std::span(closing).subspan(120, 24)), 0.05f);
    EXPECT_EQ(peakLevel(std::span(closing).subspan(150)), 0.0f);
    EXPECT_TRUE(synth.silent());
}

TEST(SquareSynth, NewCountWhileSoundingChangesPitchWithoutAGap) {
    SquareWaveSynth synth(kRate);
    synth.setTone(2711u);
    auto before = render(synth, 0.2);
    synth.setTone(1193u);
    auto after = render(synth, 0.2);
    std::size_t longestQuiet = 0, quiet = 0;
    for (float s : after) {
        quiet = std::abs(s) < 0.01f ? quiet + 1 : 0;
        longestQuiet = std::max(longestQuiet, quiet);
    }
    EXPECT_LT(longestQuiet, 4u);
    EXPECT_LT(std::abs(after.front() - before.back()), 0.1f) << "the phase runs on";
    EXPECT_NEAR(measureFrequencyHz(std::span(after).subspan(10), kRate), 1193180.0 / 1193, 0.01);
}

}  // namespace
}  // namespace beep
