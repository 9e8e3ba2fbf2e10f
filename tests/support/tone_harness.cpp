#include "tone_harness.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace vireko::testing {

double secondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

Gate playTone(Speaker& speaker, std::int16_t hz, std::chrono::milliseconds length) {
    speaker.beepFreq(hz);
    Gate gate;
    gate.on = SteadyClock::now();
    speaker.beepOn();
    std::this_thread::sleep_for(length);
    gate.off = SteadyClock::now();
    speaker.beepOff();
    return gate;
}

std::span<const float> steadyPart(std::span<const float> samples, SampleSpan tone) {
    return samples.subspan(tone.begin + kEdgeSamples, tone.size() - 2 * kEdgeSamples);
}

bool spoiltByStall(const MonitorRecorder& recorder, SteadyClock::time_point from,
                   SteadyClock::time_point to, const std::string& wrong) {
    // What was written just before is played during it. A long stall is felt for longer: after
    // the sound server was held back for 100 ms, its stream and the library's clock of it took
    // up to 2 s to agree again (a tone 21 ms early, a gap of 10.7 ms 1.5 s later).
    constexpr auto kReach = std::chrono::milliseconds(50);
    constexpr auto kLongStall = std::chrono::milliseconds(20);
    constexpr auto kLongStallReach = std::chrono::seconds(2);
    auto worst = recorder.worstWakeBetween(from - kReach, to);
    if (const auto earlier = recorder.worstWakeBetween(from - kLongStallReach, to);
        earlier >= kLongStall)
        worst = std::max(worst, earlier);
    const double worstMs = std::chrono::duration<double, std::milli>(worst).count();
    if (worst < StallWatch::kNoticed) {
        if (worst == SteadyClock::duration::zero())
            std::printf("judged (%s): every wake-up within 1 ms\n", wrong.c_str());
        else
            std::printf("judged (%s): no stall, the worst wake-up %.1f ms late\n", wrong.c_str(),
                        worstMs);
        return false;
    }
    std::printf("the machine stalled for %.1f ms while this sounded (%s): not judged\n", worstMs,
                wrong.c_str());
    return true;
}

ToneFigures measureTone(const MonitorRecorder& recorder, std::span<const float> samples,
                        SampleSpan tone, const Gate& gate, double hz) {
    ToneFigures figures;
    figures.onsetSeconds = secondsBetween(gate.on, recorder.timeOfSample(tone.begin));
    figures.offsetSeconds = secondsBetween(gate.off, recorder.timeOfSample(tone.end - 1));
    figures.lengthErrorSeconds =
        double(tone.size()) / kRecordRateHz - secondsBetween(gate.on, gate.off);
    if (tone.size() > 2 * kEdgeSamples)
        figures.continuity = phaseContinuity(steadyPart(samples, tone), kRecordRateHz, hz);
    return figures;
}

beep::SoundSystemSink::Lead leadOfATone(beep::SoundSystemSink& sink,
                                        std::chrono::milliseconds length) {
    sink.setTone(2711u);
    std::this_thread::sleep_for(length);
    sink.setTone(std::nullopt);
    sink.finishTone();
    return sink.lastLead();
}

}  // namespace vireko::testing
