#include "tone_harness.h"

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
    // What was written just before is played during it.
    constexpr auto kReach = std::chrono::milliseconds(50);
    const auto worst = recorder.worstWakeBetween(from - kReach, to);
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
