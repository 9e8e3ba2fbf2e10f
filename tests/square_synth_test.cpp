// The square wave rendered for the sound card, measured sample by sample.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "speaker_ops.h"
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
        EXPECT_NEAR(measureFrequencyHz(samples, kRate), double(kTimerClockHz) / divisor, 0.01)
            << divisor;
    }
}

TEST(SquareSynth, NothingFoldsBackAtAnyCountOfTheAudibleRange) {
    // Counts spread evenly on a log scale from 20 kHz to 20 Hz, plus those whose harmonics
    // fall just past half the sample rate (5th of count 240, 3rd of count 79).
    std::vector<std::uint32_t> divisors{79u, 240u};
    for (int i = 0; i <= 24; ++i)
        divisors.push_back(
            static_cast<std::uint32_t>(std::lround(59 * std::pow(59659.0 / 59, i / 24.0))));
    for (std::uint32_t divisor : divisors) {
        const auto samples = steadyTone(divisor, 0.7);
        EXPECT_LE(spuriousLevelDb(samples, kRate, double(kTimerClockHz) / divisor), -80.0)
            << divisor;
    }
}

TEST(SquareSynth, ToneAboveHalfTheSampleRateIsSilentLikeTheRealSpeaker) {
    for (std::uint32_t divisor : {1u, 18u, 24u}) {  // 1.19 MHz, 66 kHz, 49.7 kHz
        const auto samples = steadyTone(divisor, 0.05);
        EXPECT_EQ(peakLevel(samples), 0.0f) << divisor;
    }
}

// How much of the sound lies at half the sample rate, where a click's energy is and a
// band-limited wave has none: the largest over Hann windows of 128 samples, relative to the
// window.
double halfRateLevel(const std::vector<float>& samples) {
    constexpr std::size_t kWindow = 128;
    double worst = 0;
    for (std::size_t at = 0; at + kWindow <= samples.size(); at += kWindow / 4) {
        double sum = 0, weights = 0;
        for (std::size_t n = 0; n < kWindow; ++n) {
            const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(n) / kWindow);
            sum += (n % 2 == 0 ? 1 : -1) * w * samples[at + n];
            weights += w;
        }
        worst = std::max(worst, std::abs(sum) / weights);
    }
    return worst;
}

// A count too high to hear silences the speaker, and a count heard again brings it back; either
// change is a band-limited step, not a click.
TEST(SquareSynth, ChangesToAndFromAnInaudibleCountAreNoClick) {
    SquareWaveSynth synth(kRate);
    synth.setTone(2711);
    const auto before = render(synth, 0.05);
    synth.setTone(10);  // 119 kHz
    const auto silenced = render(synth, 0.05);
    synth.setTone(2711);
    const auto back = render(synth, 0.05);
    const double steadyLevel = halfRateLevel(before);
    EXPECT_LT(halfRateLevel(silenced), 10 * steadyLevel + 1e-5);
    EXPECT_LT(halfRateLevel(back), 10 * steadyLevel + 1e-5);
    EXPECT_EQ(peakLevel(std::span(silenced).last(480)), 0.0f) << "silent once the step is over";
}

TEST(SquareSynth, CopyRendersTheSameSamplesAsTheOriginal) {
    SquareWaveSynth synth(kRate);
    synth.setTone(2711u);
    render(synth, 0.0123);
    SquareWaveSynth copy = synth;
    synth.setTone(1193u);
    copy.setTone(1193u);
    EXPECT_EQ(render(synth, 0.05), render(copy, 0.05));
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
    const auto closed = std::span(closing).subspan(SquareWaveSynth::kDelayFrames);
    EXPECT_GT(peakLevel(closed.first(24)), 0.2f) << "the tone rings through the ramp";
    EXPECT_LT(peakLevel(closed.subspan(120, 24)), 0.05f);
    EXPECT_EQ(peakLevel(closed.subspan(150)), 0.0f);
    EXPECT_TRUE(synth.silent());
}

// The band-limited step starts at its edge: a change moves the very next frame, and the wave
// crosses zero within a few frames of the naive square's rising edges.
TEST(SquareSynth, ChangesAreHeardFromTheFrameTheyAreMade) {
    SquareWaveSynth synth(kRate);
    synth.setTone(2712u);
    EXPECT_NE(render(synth, 1.0 / kRate).front(), 0.0f);
    const auto steady = render(synth, 0.05);
    SquareWaveSynth closed = synth;
    closed.setTone(std::nullopt);
    EXPECT_NE(render(closed, 1.0 / kRate), render(synth, 1.0 / kRate));
    const double period = kRate * 2712 / double(kTimerClockHz);
    for (std::size_t n = 1; n < steady.size(); ++n) {
        if (steady[n - 1] < 0 && steady[n] >= 0) {
            const double crossing = double(n) - steady[n] / (steady[n] - steady[n - 1]);
            const double sinceEdge = std::fmod(crossing + 1, period);  // frame 0 was the first
            EXPECT_LT(sinceEdge, 4.0) << crossing;
        }
    }
}

TEST(SquareSynth, NewCountWhileSoundingChangesPitchWithoutAGap) {
    SquareWaveSynth synth(kRate);
    synth.setTone(2711u);
    render(synth, 0.2);
    SquareWaveSynth unchanged = synth;
    synth.setTone(1193u);
    auto after = render(synth, 0.2);
    std::size_t longestQuiet = 0, quiet = 0;
    for (float s : after) {
        quiet = std::abs(s) < 0.01f ? quiet + 1 : 0;
        longestQuiet = std::max(longestQuiet, quiet);
    }
    EXPECT_LT(longestQuiet, 4u);
    // The next edge comes 22 frames on: until then the wave is the one the old count made.
    std::vector<float> continued(16);
    unchanged.render(continued);
    EXPECT_EQ(std::vector<float>(after.begin(), after.begin() + 16), continued)
        << "the phase runs on";
    EXPECT_NEAR(measureFrequencyHz(std::span(after).subspan(10), kRate),
                double(kTimerClockHz) / 1193, 0.01);
}

}  // namespace
}  // namespace beep
