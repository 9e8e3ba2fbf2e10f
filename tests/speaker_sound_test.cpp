// The emulated speaker heard for real: libbeep.so.3, bound the way the program binds it, plays
// into a private PulseAudio server whose null sink is recorded and measured.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "beep_library.h"
#include "support/monitor_recorder.h"
#include "support/tone_analysis.h"

namespace vireko {
namespace {

using namespace vireko::testing;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr double kRate = kRecordRateHz;
constexpr float kToneThreshold = 0.003f;

double secondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

struct GateTimes {
    SteadyClock::time_point on, off;
};

GateTimes playTone(BeepLibrary& speaker, std::int16_t hz, std::chrono::milliseconds length) {
    speaker.beepFreq(hz);
    GateTimes times;
    times.on = SteadyClock::now();
    speaker.beepOn();
    std::this_thread::sleep_for(length);
    times.off = SteadyClock::now();
    speaker.beepOff();
    return times;
}

// Stops or starts the test server, whose folder holds the socket PULSE_SERVER names.
void runServerScript(const char* action) {
    const char* server = std::getenv("PULSE_SERVER");
    ASSERT_NE(server, nullptr);
    const std::string socket = std::string(server).substr(std::string("unix:").size());
    const std::string folder = socket.substr(0, socket.rfind('/'));
    const std::string command = std::string(VIREKO_PULSE_SCRIPT) + " " + action + " " + folder;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

TEST(SpeakerSound, PlaysTheTimersSquareWaveWhileTheGateIsOpen) {
    if (!testServerRunning()) GTEST_SKIP() << "no PulseAudio test server";
    MonitorRecorder recorder;
    BeepLibrary speaker;
    std::this_thread::sleep_for(200ms);
    const GateTimes first = playTone(speaker, 440, 150ms);
    std::this_thread::sleep_for(300ms);
    const GateTimes a440 = playTone(speaker, 440, 600ms);
    std::this_thread::sleep_for(300ms);
    const GateTimes a6000 = playTone(speaker, 6000, 400ms);
    std::this_thread::sleep_for(300ms);
    const GateTimes a15000 = playTone(speaker, 15000, 400ms);
    std::this_thread::sleep_for(300ms);
    const std::vector<float> samples = recorder.stop();
    const auto tones = findTones(samples, kToneThreshold);
    ASSERT_EQ(tones.size(), 4u);

    const double firstOnsetSeconds =
        secondsBetween(first.on, recorder.timeOfSample(tones[0].begin));
    EXPECT_LT(firstOnsetSeconds, 0.150) << "the first tone of a process";

    struct Expected {
        const char* name;
        GateTimes gate;
        double hz;
    };
    const Expected expected[] = {{"440 Hz", a440, 1193180.0 / 2711},
                                 {"6000 Hz", a6000, 1193180.0 / 198},
                                 {"15000 Hz", a15000, 1193180.0 / 79}};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto& [name, gate, hz] = expected[i];
        const SampleSpan tone = tones[i + 1];
        SCOPED_TRACE(name);
        const std::span all(samples);
        const auto steady = all.subspan(tone.begin + 2400, tone.size() - 4800);

        EXPECT_NEAR(measureFrequencyHz(steady, kRate), hz, 0.05);

        const double lengthError = double(tone.size()) / kRate - secondsBetween(gate.on, gate.off);
        EXPECT_LT(std::abs(lengthError), 0.010) << "tone length error " << lengthError;
        EXPECT_LT(secondsBetween(gate.on, recorder.timeOfSample(tone.begin)), 0.030) << "onset";
        EXPECT_LT(secondsBetween(gate.off, recorder.timeOfSample(tone.end)), 0.030) << "offset";

        // Silence on both sides, away from the ramps.
        EXPECT_LT(rmsLevel(all.subspan(tone.begin - 9600, 9000)), 1e-5);
        EXPECT_LT(rmsLevel(all.subspan(tone.end + 600, 9000)), 1e-5);

        // No click: the edges rise and fall over milliseconds, not in one step.
        const float steadyPeak = peakLevel(steady);
        EXPECT_LT(peakLevel(all.subspan(tone.begin, 24)), 0.25f * steadyPeak) << "opening edge";
        EXPECT_LT(peakLevel(all.subspan(tone.end - 24, 24)), 0.25f * steadyPeak) << "closing edge";
        EXPECT_NEAR(toDb(steadyPeak), -12.0, 1.5);
        EXPECT_LT(std::abs(meanLevel(steady)), 1e-3) << "DC offset";
    }
    const auto steady15k =
        std::span(samples).subspan(tones[3].begin + 2400, tones[3].size() - 4800);
    EXPECT_LE(spuriousLevelDb(steady15k, kRate, 1193180.0 / 79), -60.0);
}

TEST(SpeakerSound, ServerLostMidToneNeitherHangsNorStopsTheNextTone) {
    if (!testServerRunning()) GTEST_SKIP() << "no PulseAudio test server";
    BeepLibrary speaker;
    {
        MonitorRecorder recorder;
        speaker.beepFreq(440);
        speaker.beepOn();
        std::this_thread::sleep_for(300ms);
        recorder.stop();
        runServerScript("stop");
        std::this_thread::sleep_for(200ms);
        const auto before = SteadyClock::now();
        speaker.beepOff();
        speaker.beepFreq(880);
        EXPECT_LT(secondsBetween(before, SteadyClock::now()), 0.005) << "the calls never wait";
    }
    runServerScript("start");
    MonitorRecorder recorder;
    playTone(speaker, 880, 400ms);
    std::this_thread::sleep_for(300ms);
    const std::vector<float> samples = recorder.stop();
    const auto tones = findTones(samples, kToneThreshold);
    ASSERT_EQ(tones.size(), 1u);
    const auto steady = std::span(samples).subspan(tones[0].begin + 2400, tones[0].size() - 4800);
    EXPECT_NEAR(measureFrequencyHz(steady, kRate), 1193180.0 / 1355, 0.05);
}

}  // namespace
}  // namespace vireko
