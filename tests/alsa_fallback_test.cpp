// Without PulseAudio's client library, libbeep.so.3 plays through ALSA's default device. Here
// that device is ALSA's PulseAudio plugin, pointed at the test server, so the tone can be
// recorded and judged like any other.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "beep_library.h"
#include "support/monitor_recorder.h"
#include "support/tone_analysis.h"

namespace vireko {
namespace {

using namespace vireko::testing;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

TEST(AlsaFallback, PlaysTheToneThroughTheDefaultDevice) {
    if (!testServerRunning()) GTEST_SKIP() << "no PulseAudio test server";
    if (!std::filesystem::exists(VIREKO_ALSA_PULSE_PLUGIN))
        GTEST_SKIP() << "no ALSA plugin for PulseAudio (libasound2-plugins)";
    MonitorRecorder recorder;
    BeepLibrary speaker;
    speaker.beepFreq(440);
    const auto on = SteadyClock::now();
    speaker.beepOn();
    std::this_thread::sleep_for(500ms);
    const auto off = SteadyClock::now();
    speaker.beepOff();
    const auto samples = recorder.recordUntil(SteadyClock::now() + 300ms);
    const auto tones = findTones(samples, 0.003f);
    ASSERT_EQ(tones.size(), 1u);
    const double hz = 1193180.0 / 2711;
    const auto steady = std::span(samples).subspan(tones[0].begin + 2400, tones[0].size() - 4800);
    EXPECT_NEAR(measureFrequencyHz(steady, kRecordRateHz), hz, 0.05);
    EXPECT_EQ(phaseContinuity(steady, kRecordRateHz, hz).dropouts, 0);
    // Each tone opens the device afresh, which the length may lose at its start.
    const double gateSeconds = std::chrono::duration<double>(off - on).count();
    EXPECT_NEAR(double(tones[0].size()) / kRecordRateHz, gateSeconds, 0.030);
}

}  // namespace
}  // namespace vireko
