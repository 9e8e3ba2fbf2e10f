// The emulated speaker as heard at the sound server: how soon a tone starts and stops, how
// true its length is, and how clean it is over the audible range, beside SoX's square wave.
// Needs PULSE_SERVER to name a server with the null sink "vireko_test".
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "beep_library.h"
#include "support/monitor_recorder.h"
#include "support/tone_analysis.h"

using namespace vireko;
using namespace vireko::testing;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr float kThreshold = 0.003f;

double seconds(SteadyClock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct Summary {
    double median, worst;
};

Summary summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const auto absWorst = std::max_element(
        values.begin(), values.end(), [](double a, double b) { return std::abs(a) < std::abs(b); });
    return {values[values.size() / 2], *absWorst};
}

// Frequencies from 20 Hz to 20 kHz, evenly on a log scale, and the counts the library loads
// for them (59659 down to 59).
std::vector<std::int16_t> sweepFrequencies() {
    std::vector<std::int16_t> hz;
    for (int i = 0; i < 16; ++i)
        hz.push_back(static_cast<std::int16_t>(std::lround(20 * std::pow(1000.0, i / 15.0))));
    return hz;
}

std::vector<std::uint32_t> countsFor(const std::vector<std::int16_t>& frequencies) {
    std::vector<std::uint32_t> counts;
    for (auto hz : frequencies) counts.push_back(1193180u / static_cast<std::uint32_t>(hz));
    return counts;
}

double worstSpurious(const std::vector<float>& samples, const std::vector<std::uint32_t>& counts) {
    const auto tones = findTones(samples, kThreshold, 2400);
    if (tones.size() != counts.size()) {
        std::fprintf(stderr, "expected %zu tones, found %zu\n", counts.size(), tones.size());
        return NAN;
    }
    double worst = -200;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const auto steady =
            std::span(samples).subspan(tones[i].begin + 2400, tones[i].size() - 4800);
        const double level = spuriousLevelDb(steady, kRecordRateHz, 1193180.0 / counts[i]);
        if (std::getenv("VIREKO_BENCH_VERBOSE"))
            std::fprintf(stderr, "count %u: %.1f dB\n", counts[i], level);
        worst = std::max(worst, level);
    }
    return worst;
}

}  // namespace

int main() {
    if (std::getenv("PULSE_SERVER") == nullptr) {
        std::fputs("PULSE_SERVER is not set; run through the bench target\n", stderr);
        return 0;
    }
    BeepLibrary speaker;
    std::vector<double> onsets, offsets, lengthErrors;
    double firstOnset = NAN;
    {
        MonitorRecorder recorder;
        std::vector<std::pair<SteadyClock::time_point, SteadyClock::time_point>> gates;
        for (int i = 0; i < 11; ++i) {
            speaker.beepFreq(440);
            const auto on = SteadyClock::now();
            speaker.beepOn();
            std::this_thread::sleep_for(300ms);
            const auto off = SteadyClock::now();
            speaker.beepOff();
            gates.emplace_back(on, off);
            std::this_thread::sleep_for(300ms);
        }
        const auto samples = recorder.stop();
        const auto tones = findTones(samples, kThreshold);
        if (tones.size() != gates.size()) {
            std::fprintf(stderr, "expected %zu tones, found %zu\n", gates.size(), tones.size());
            return 0;
        }
        firstOnset = seconds(recorder.timeOfSample(tones[0].begin) - gates[0].first);
        for (std::size_t i = 1; i < tones.size(); ++i) {
            onsets.push_back(seconds(recorder.timeOfSample(tones[i].begin) - gates[i].first));
            offsets.push_back(seconds(recorder.timeOfSample(tones[i].end) - gates[i].second));
            lengthErrors.push_back(double(tones[i].size()) / kRecordRateHz -
                                   seconds(gates[i].second - gates[i].first));
        }
    }

    // Long tones, so that the spectrum resolves the harmonics of 20 Hz.
    const auto frequencies = sweepFrequencies();
    const auto counts = countsFor(frequencies);
    double ours = NAN, sox = NAN;
    {
        MonitorRecorder recorder;
        for (std::int16_t hz : frequencies) {
            speaker.beepFreq(hz);
            speaker.beepOn();
            std::this_thread::sleep_for(800ms);
            speaker.beepOff();
            std::this_thread::sleep_for(200ms);
        }
        ours = worstSpurious(recorder.stop(), counts);
    }
    {
        MonitorRecorder recorder;
        for (std::uint32_t count : counts) {
            char command[256];
            std::snprintf(
                command, sizeof command,
                "sox -q -n -r 48000 -e floating-point -b 32 -c 1 -t raw - synth 0.8 square %.4f "
                "vol 0.25 | pacat --raw --format=float32le --rate=48000 --channels=1",
                1193180.0 / count);
            if (std::system(command) != 0) std::fputs("sox or pacat failed\n", stderr);
            std::this_thread::sleep_for(200ms);
        }
        sox = worstSpurious(recorder.stop(), counts);
    }

    const Summary onset = summarise(onsets), offset = summarise(offsets),
                  length = summarise(lengthErrors);
    std::printf("%-44s %10s %10s\n", "measured at the sound server", "median", "worst");
    std::printf("%-44s %10s %8.1f ms\n", "first tone of the process: onset latency", "",
                firstOnset * 1e3);
    std::printf("%-44s %7.1f ms %7.1f ms\n", "onset latency (10 tones after the first)",
                onset.median * 1e3, onset.worst * 1e3);
    std::printf("%-44s %7.1f ms %7.1f ms\n", "offset latency", offset.median * 1e3,
                offset.worst * 1e3);
    std::printf("%-44s %7.1f ms %7.1f ms\n", "tone-length error (300 ms gate)", length.median * 1e3,
                length.worst * 1e3);
    std::printf("%-44s %10s %7.1f dB\n", "worst spurious level, counts 59659..59", "", ours);
    std::printf("%-44s %10s %7.1f dB\n", "  the same for SoX synth square", "", sox);
    return 0;
}
