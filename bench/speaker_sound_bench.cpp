// The emulated speaker as heard at the sound server: dropouts at idle and with every core busy,
// beside SoX's `play` and `paplay` on the same sink under the same load; how soon a tone starts
// and stops; what the synthesis, the library and one emit-sound run cost in CPU; and how clean
// the tone is over the audible range. Needs PULSE_SERVER to name a server with the null sink
// "vireko_test". VIREKO_BENCH_TONES sets how many tones each dropout figure plays (100).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "beep_library.h"
#include "main_window.h"
#include "sound_system_sink.h"
#include "speaker_ops.h"
#include "square_synth.h"
#include "summary.h"
#include "support/busy_load.h"
#include "support/monitor_recorder.h"
#include "support/tone_harness.h"
#include "unhandled_error.h"

using namespace vireko;
using namespace vireko::testing;
using vireko::bench::summarise;
using vireko::bench::Summary;
using namespace std::chrono_literals;

namespace {

constexpr float kThreshold = 0.003f;
using beep::kTimerClockHz;

double seconds(SteadyClock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// What one series of tones sounded like: dropouts per tone, and where the gates are known,
// onset and offset latencies and length errors.
struct Series {
    int tones = 0;
    int dropouts = 0;
    std::vector<double> onsets, offsets, lengthErrors;
    double per100() const { return tones > 0 ? 100.0 * dropouts / tones : NAN; }
};

// Judges the recorded tones. A tone that went missing or came in pieces counts as one
// dropout for each piece too many or too few.
void judge(const MonitorRecorder& recorder, const std::vector<float>& samples, double hz,
           int expected, const std::vector<Gate>& gates, Series& series) {
    const auto tones = findTones(samples, kThreshold);
    series.tones += expected;
    series.dropouts += std::abs(int(tones.size()) - expected);
    for (std::size_t i = 0; i < tones.size(); ++i) {
        const SampleSpan tone = tones[i];
        if (tone.size() <= 2 * kEdgeSamples) continue;
        const ToneFigures figures =
            measureTone(recorder, samples, tone, i < gates.size() ? gates[i] : Gate{}, hz);
        series.dropouts += figures.continuity.dropouts;
        if (gates.size() != tones.size()) continue;
        series.onsets.push_back(figures.onsetSeconds);
        series.offsets.push_back(figures.offsetSeconds);
        series.lengthErrors.push_back(std::abs(figures.lengthErrorSeconds));
    }
}

Series libraryTones(BeepLibrary& speaker, int count) {
    Series series;
    MonitorRecorder recorder;
    std::vector<Gate> gates;
    for (int i = 0; i < count; ++i) {
        gates.push_back(playTone(speaker, 440, 300ms));
        std::this_thread::sleep_for(200ms);
    }
    const auto samples = recorder.recordUntil(SteadyClock::now() + 100ms);
    judge(recorder, samples, double(kTimerClockHz) / 2711, count, gates, series);
    return series;
}

Series commandTones(const std::string& command, double hz, int count) {
    Series series;
    MonitorRecorder recorder;
    for (int i = 0; i < count; ++i) {
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::this_thread::sleep_for(200ms);
    }
    const auto samples = recorder.recordUntil(SteadyClock::now() + 100ms);
    judge(recorder, samples, hz, count, {}, series);
    return series;
}

double cpuSeconds(const rusage& usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

// Runs `body` in a child process, which writes back one figure.
double inChild(const std::function<double()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return NAN;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const double value = body();
        [[maybe_unused]] const auto sent = write(fds[1], &value, sizeof value);
        _exit(0);
    }
    close(fds[1]);
    double value = NAN;
    if (read(fds[0], &value, sizeof value) != ssize_t(sizeof value)) value = NAN;
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return value;
}

// The synthesis alone, worst over the counts of 20..20000 Hz: CPU per second of audio.
double worstSynthesisShare() {
    double worst = 0;
    for (int i = 0; i <= 30; ++i) {
        const auto count =
            static_cast<std::uint32_t>(std::lround(59 * std::pow(59659.0 / 59, i / 30.0)));
        beep::SquareWaveSynth synth(48000);
        synth.setTone(count);
        std::vector<float> chunk(128);
        timespec start{}, end{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        for (int c = 0; c < 375 * 4; ++c) synth.render(chunk);  // 4 s of audio
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
        const double cpu =
            double(end.tv_sec - start.tv_sec) + 1e-9 * double(end.tv_nsec - start.tv_nsec);
        worst = std::max(worst, cpu / 4);
    }
    return worst;
}

// How far the synth's fundamental lies behind the naive square wave, whose first rising edge
// is at frame 0, in frames: read from its phase over 0.8 s of steady tone, modulo a period.
double fundamentalDelayFrames(std::uint32_t count) {
    beep::SquareWaveSynth synth(48000);
    synth.setTone(count);
    std::vector<float> samples(48000);
    synth.render(samples);
    const double omega = 2 * std::numbers::pi * double(beep::kTimerClockHz) / count / 48000;
    std::complex<double> sum;
    const std::size_t from = 4800, length = 38400;  // past the ramp, a Hann window
    for (std::size_t n = from; n < from + length; ++n) {
        const double weight =
            0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(n - from) / length);
        sum += weight * double(samples[n]) * std::polar(1.0, -omega * double(n));
    }
    // A rising edge at frame d has a fundamental of sin(omega (n - d)).
    return -std::remainder(std::arg(sum) + std::numbers::pi / 2, 2 * std::numbers::pi) / omega;
}

// Frames from closing the gate until the output first differs from the tone left sounding.
long framesUntilTheGateMoves() {
    beep::SquareWaveSynth open(48000);
    open.setTone(2712u);
    std::vector<float> kept(4800), closedSamples(480);
    open.render(kept);
    beep::SquareWaveSynth closed = open;
    closed.setTone(std::nullopt);
    kept.resize(480);
    open.render(kept);
    closed.render(closedSamples);
    return std::ranges::mismatch(kept, closedSamples).in1 - kept.begin();
}

// The group delay near a count's pitch, from the phase of it and of the next count.
double groupDelayFrames(std::uint32_t count) {
    const double omega = 2 * std::numbers::pi * double(beep::kTimerClockHz) / 48000;
    const double a = omega / count, b = omega / (count + 1);
    const double turn =
        std::remainder(b * fundamentalDelayFrames(count + 1) - a * fundamentalDelayFrames(count),
                       2 * std::numbers::pi);
    return turn / (b - a);
}

// The whole library while a tone sounds (audio thread and sound client), per second.
double librarySoundingShare() {
    return inChild([] {
        BeepLibrary speaker;
        speaker.beepFreq(100);
        speaker.beepOn();
        std::this_thread::sleep_for(500ms);  // past connecting
        const double before = processCpuSeconds();
        std::this_thread::sleep_for(4s);
        const double used = processCpuSeconds() - before;
        speaker.beepOff();
        return used / 4;
    });
}

// One press of 音を出す in the real window: CPU over the run's own length, and the CPU spent
// after it, until the stream is let go.
double emitSoundRunShare(double& runSeconds, double& tailCpuSeconds) {
    int fds[2];
    if (pipe(fds) != 0) return NAN;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        int argc = 1;
        char name[] = "vireko";
        char* argv[] = {name, nullptr};
        Application app(argc, argv);
        MainWindow window;
        window.Form_Load();
        window.show();
        QApplication::processEvents();
        auto* button = window.findChild<QPushButton*>("Command1");
        // A first press connects to the server; the second is the one measured.
        button->click();
        std::this_thread::sleep_for(1500ms);
        const double before = processCpuSeconds();
        const auto start = SteadyClock::now();
        button->click();
        const double wall = seconds(SteadyClock::now() - start);
        const double run = processCpuSeconds() - before;
        std::this_thread::sleep_for(std::chrono::milliseconds(beep::kHoldAfterTone + 300ms));
        const double values[3] = {run, wall, processCpuSeconds() - before - run};
        [[maybe_unused]] const auto sent = write(fds[1], values, sizeof values);
        _exit(0);
    }
    close(fds[1]);
    double values[3] = {NAN, NAN, NAN};
    if (read(fds[0], values, sizeof values) != ssize_t(sizeof values)) values[0] = NAN;
    close(fds[0]);
    waitpid(child, nullptr, 0);
    runSeconds = values[1];
    tailCpuSeconds = values[2];
    return values[0] / values[1];
}

// Frequencies from 20 Hz to 20 kHz, evenly on a log scale, and the counts the library loads
// for them (59659 down to 59).
std::vector<std::int16_t> sweepFrequencies() {
    std::vector<std::int16_t> hz;
    for (int i = 0; i < 16; ++i)
        hz.push_back(static_cast<std::int16_t>(std::lround(20 * std::pow(1000.0, i / 15.0))));
    return hz;
}

double worstSpurious(const std::vector<float>& samples, const std::vector<std::uint32_t>& counts) {
    const auto tones = findTones(samples, kThreshold, 2400);
    if (tones.size() != counts.size()) {
        std::fprintf(stderr, "expected %zu tones, found %zu\n", counts.size(), tones.size());
        return NAN;
    }
    double worst = -200;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        const auto steady = std::span(samples).subspan(tones[i].begin + kEdgeSamples,
                                                       tones[i].size() - 2 * kEdgeSamples);
        worst = std::max(worst,
                         spuriousLevelDb(steady, kRecordRateHz, double(kTimerClockHz) / counts[i]));
    }
    return worst;
}

void spuriousSweep(BeepLibrary& speaker, double& ours, double& sox) {
    const auto frequencies = sweepFrequencies();
    std::vector<std::uint32_t> counts;
    for (auto hz : frequencies) counts.push_back(kTimerClockHz / static_cast<std::uint32_t>(hz));
    {
        MonitorRecorder recorder;
        for (std::int16_t hz : frequencies) {
            speaker.beepFreq(hz);
            speaker.beepOn();
            std::this_thread::sleep_for(800ms);
            speaker.beepOff();
            std::this_thread::sleep_for(200ms);
        }
        ours = worstSpurious(recorder.recordUntil(SteadyClock::now()), counts);
    }
    {
        MonitorRecorder recorder;
        for (std::uint32_t count : counts) {
            char command[256];
            std::snprintf(command, sizeof command,
                          "sox -q -n -r 48000 -e floating-point -b 32 -c 1 -t raw - synth 0.8 "
                          "square %.4f vol 0.25 | pacat --raw --format=float32le --rate=48000 "
                          "--channels=1",
                          double(kTimerClockHz) / count);
            if (std::system(command) != 0) std::fputs("sox or pacat failed\n", stderr);
            std::this_thread::sleep_for(200ms);
        }
        sox = worstSpurious(recorder.recordUntil(SteadyClock::now()), counts);
    }
}

void printMs(const char* what, const Summary& s) {
    std::printf("  %-52s %8.1f ms %8.1f ms\n", what, s.median * 1e3, s.worst * 1e3);
}

}  // namespace

int main() {
    if (std::getenv("PULSE_SERVER") == nullptr) {
        std::fputs("PULSE_SERVER is not set; run through the bench target\n", stderr);
        return 0;
    }
    const char* tonesSetting = std::getenv("VIREKO_BENCH_TONES");
    const int tones = tonesSetting != nullptr ? std::max(1, std::atoi(tonesSetting)) : 100;
    const int peerTones = std::max(1, tones / 3);
    const std::string wav = "/tmp/vireko-bench-440.wav";
    const std::string paplay = "paplay " + wav;
    const std::string play = "play -q -n synth 1 square 440 vol 0.25";
    if (std::system(("sox -q -n -r 48000 -c 1 " + wav + " synth 1 square 440 vol 0.25").c_str()) !=
        0)
        std::fputs("sox could not prepare the file for paplay\n", stderr);

    // In child processes, before this one loads the library: a child forked later would
    // inherit a library whose audio thread it does not have.
    double runSeconds = NAN, tailCpuSeconds = NAN;
    const double runShare = emitSoundRunShare(runSeconds, tailCpuSeconds);
    const double synthesisShare = worstSynthesisShare();
    const double soundingShare = librarySoundingShare();
    const double stepTableMs = inChild([] {
        timespec start{}, end{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        const beep::SquareWaveSynth synth(48000);
        clock_gettime(CLOCK_MONOTONIC, &end);
        return 1e3 * double(end.tv_sec - start.tv_sec) + 1e-6 * double(end.tv_nsec - start.tv_nsec);
    });

    BeepLibrary speaker;
    speaker.beepFreq(440);  // connected before anything is measured
    speaker.beepOn();
    std::this_thread::sleep_for(100ms);
    speaker.beepOff();
    std::this_thread::sleep_for(300ms);

    Series idle = libraryTones(speaker, tones);
    Series soxIdle = commandTones(play, 440, peerTones);
    Series paplayIdle = commandTones(paplay, 440, peerTones);
    Series loaded, soxLoaded, paplayLoaded;
    {
        raiseTestThreadPriority();  // the gate times are taken as the program takes them
        BusyLoad load;
        loaded = libraryTones(speaker, tones);
        soxLoaded = commandTones(play, 440, peerTones);
        paplayLoaded = commandTones(paplay, 440, peerTones);
    }
    double ours = NAN, sox = NAN;
    spuriousSweep(speaker, ours, sox);

    std::printf(
        "Measured at the sound server's null sink; latencies from the call to the\n"
        "arrival of the first (last) sample, which can read high but never below zero.\n\n");
    std::printf("  %-52s %11s %11s\n", "dropouts per 100 tones", "idle", "all busy");
    std::printf("  %-52s %11.1f %11.1f\n",
                ("libbeep.so.3, " + std::to_string(tones) + " tones each").c_str(), idle.per100(),
                loaded.per100());
    std::printf("  %-52s %11.1f %11.1f\n",
                ("SoX `" + play + "`, " + std::to_string(peerTones) + " each").c_str(),
                soxIdle.per100(), soxLoaded.per100());
    std::printf("  %-52s %11.1f %11.1f\n",
                ("paplay of the same tone, " + std::to_string(peerTones) + " each").c_str(),
                paplayIdle.per100(), paplayLoaded.per100());
    std::printf("\n  %-52s %11s %11s\n", "latency", "median", "worst");
    printMs("onset, idle", summarise(idle.onsets));
    printMs("offset, idle", summarise(idle.offsets));
    printMs("onset, all busy", summarise(loaded.onsets));
    printMs("offset, all busy", summarise(loaded.offsets));
    printMs("tone-length error (300 ms gate), idle", summarise(idle.lengthErrors));
    printMs("tone-length error (300 ms gate), all busy", summarise(loaded.lengthErrors));
    std::printf("\n  %-52s %11s\n", "CPU", "of a core");
    std::printf("  %-52s %10.2f%%\n", "synthesis per second of audio, worst of 20..20000 Hz",
                synthesisShare * 100);
    std::printf("  %-52s %10.2f%%\n", "library while sounding (audio thread and client)",
                soundingShare * 100);
    std::printf("  %-52s %10.2f%%\n",
                ("one emit-sound run (" + std::to_string(runSeconds).substr(0, 5) + " s)").c_str(),
                runShare * 100);
    std::printf("  %-52s %8.1f ms\n", "  and after it, until the stream is let go (CPU time)",
                tailCpuSeconds * 1e3);
    std::printf("  %-52s %8.1f ms\n", "band-limited step's table, built once", stepTableMs);
    std::printf("\n  %-52s %11s\n", "synth's own delay behind the naive wave", "frames");
    std::printf("  %-52s %11ld\n", "from closing the gate to the first sample that moves",
                framesUntilTheGateMoves());
    for (const std::uint32_t count : {2712u, 199u, 80u, 60u}) {
        const std::string pitch =
            std::to_string(std::lround(double(beep::kTimerClockHz) / count)) + " Hz";
        std::printf("  %-52s %11.2f\n", ("group delay at " + pitch).c_str(),
                    groupDelayFrames(count));
    }
    std::printf("\n  %-52s %9.1f dB\n", "worst spurious level, counts 59659..59", ours);
    std::printf("  %-52s %9.1f dB\n", "  the same for SoX synth square", sox);
    return 0;
}
