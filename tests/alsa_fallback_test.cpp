// Without PulseAudio's client library, libbeep.so.3 plays through ALSA's default device. Here
// that device is ALSA's PulseAudio plugin, pointed at the test server, so the tone can be
// recorded and judged like any other.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <thread>

#include "beep_library.h"
#include "support/monitor_recorder.h"
#include "support/probed_route.h"
#include "support/timer_pitch.h"
#include "support/tone_analysis.h"
#include "support/tone_harness.h"

namespace vireko {
namespace {

using namespace vireko::testing;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

TEST(AlsaFallback, PlaysTheToneThroughTheDefaultDevice) {
    ASSERT_EQ(dlopen("libpulse.so.0", RTLD_NOW), nullptr) << "PulseAudio's library is hidden";
    ASSERT_EQ(dlopen("libpipewire-0.3.so.0", RTLD_NOW), nullptr) << "and PipeWire's";
    if (!testServerRunning()) GTEST_SKIP() << "no PulseAudio test server";
    if (const auto other = otherRouteThan(beep::Route::SoundSystem)) GTEST_SKIP() << *other;
    if (!std::filesystem::exists(VIREKO_ALSA_PULSE_PLUGIN))
        GTEST_SKIP() << "no ALSA plugin for PulseAudio (libasound2-plugins)";
    MonitorRecorder recorder;
    BeepLibrary speaker;
    // The first tone also opens the device and the plugin behind it; it is judged for that.
    speaker.beepFreq(440);
    const auto firstOn = SteadyClock::now();
    speaker.beepOn();
    std::this_thread::sleep_for(200ms);
    speaker.beepOff();
    std::this_thread::sleep_for(150ms);  // within the hold: the same stream plays the next
    speaker.beepFreq(440);
    const auto on = SteadyClock::now();
    speaker.beepOn();
    std::this_thread::sleep_for(500ms);
    const auto off = SteadyClock::now();
    speaker.beepOff();
    const auto samples = recorder.recordUntil(SteadyClock::now() + 300ms);
    const auto tones = findTones(samples, 0.003f);
    if (tones.size() != 2 && spoiltByStall(recorder, firstOn, SteadyClock::now(),
                                           std::to_string(tones.size()) + " tones for 2"))
        GTEST_SKIP();
    ASSERT_EQ(tones.size(), 2u);
    const auto firstHeard = recorder.timeOfSample(tones[0].begin);
    const double firstAfter = secondsBetween(firstOn, firstHeard);
    if (firstAfter >= 0.150 * kSanitizedSlowdown &&
        spoiltByStall(recorder, firstOn, firstHeard,
                      "the first tone heard after " + std::to_string(firstAfter) + " s"))
        GTEST_SKIP();
    EXPECT_LT(firstAfter, 0.150 * kSanitizedSlowdown) << "the first tone";
    const double hz = kPitchOfCount2711;
    const SampleSpan tone = tones[1];
    const auto steady = std::span(samples).subspan(tone.begin + 2400, tone.size() - 4800);
    const double measuredHz = measureFrequencyHz(steady, kRecordRateHz);
    const int dropouts = phaseContinuity(steady, kRecordRateHz, hz).dropouts;
    // Without rewinds, both ends wait behind the same short queue.
    const double gateSeconds = std::chrono::duration<double>(off - on).count();
    const double toneSeconds = double(tone.size()) / kRecordRateHz;
    if ((std::abs(measuredHz - hz) > 0.05 || dropouts != 0 ||
         std::abs(toneSeconds - gateSeconds) > 0.015) &&
        spoiltByStall(recorder, on, off + 100ms,
                      std::to_string(measuredHz) + " Hz, " + std::to_string(dropouts) +
                          " dropouts, " + std::to_string(toneSeconds) + " s"))
        GTEST_SKIP();
    EXPECT_NEAR(measuredHz, hz, 0.05);
    EXPECT_EQ(dropouts, 0);
    EXPECT_NEAR(toneSeconds, gateSeconds, 0.015);
}

}  // namespace
}  // namespace vireko
