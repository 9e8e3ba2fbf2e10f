// Judges one boot of the emulated PC: what its speaker played (the WAV that QEMU recorded)
// against what the guest did (the stamps in its console log). Prints every figure; exits 1 if
// any is wrong.
//   check_recording ROUTE LOG WAV        ROUTE: direct, dev-port, kernel, or alsa (the sound
//                                        system, heard on the HD Audio card's WAV)
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "speaker_route.h"
#include "square_synth.h"
#include "support/tone_analysis.h"

using namespace vireko::testing;

namespace {

constexpr double kKernelClockHz = 1193182;  // the emulated 8254's, and the kernel's
constexpr double kRateHz = 48000;
constexpr double kLengthToleranceSeconds = 0.002;
// Through the sound system a tone ends on a 3 ms ramp, and may be a little late or early.
constexpr double kSoundLengthToleranceSeconds = 0.004;
constexpr double kSignalEndToleranceSeconds = 0.050;

// QEMU's speaker plays a loop of at most 1792 samples at 32 kHz that holds a whole number of
// periods of the counter's square wave, so its pitch is that number of periods over the loop,
// not the counter's clock over the count. Counts below 75 (above 16 kHz) it leaves silent.
double qemuPitchHz(double count) {
    if (count < 75) return 0;
    const double periods = std::floor(1792 * kKernelClockHz / (32000 * count));
    const double samples = std::round(periods * 32000 * count / kKernelClockHz);
    return periods * 32000 / samples;
}

// The count the guest's speaker was given for a library count: the kernel's device takes hertz
// and divides its own clock by them.
double kernelCount(double hz) {
    return std::floor(kKernelClockHz / hz);
}

std::vector<float> readWavLeft(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
    std::vector<float> left;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        std::uint32_t size = 0;
        std::memcpy(&size, &bytes[at + 4], 4);
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            for (std::size_t i = at + 8; i + 4 <= at + 8 + size && i + 4 <= bytes.size(); i += 4) {
                std::int16_t sample = 0;
                std::memcpy(&sample, &bytes[i], 2);
                left.push_back(float(sample) / 32768.0f);
            }
            break;
        }
        at += 8 + size;
    }
    return left;
}

struct Log {
    std::vector<double> on, off;
    std::map<std::string, double> ended;       // by signal name
    std::map<std::string, int> statuses;       // by signal name
    std::map<std::string, std::string> rawIo;  // "yes" or "no", by label
    std::map<std::string, int> port61;         // port 0x61 as read after the end, by label
    std::optional<beep::Route> routeTaken;
    std::string libraryRoute;  // what beep-probe --library saw the loaded library do
    std::optional<beep::Route> libraryRouteTaken;
};

// The route whose name `text` begins with, as beep-probe names it.
std::optional<beep::Route> routeNamedAtStartOf(const std::string& text) {
    for (auto route : {beep::Route::DirectPorts, beep::Route::DevPort, beep::Route::KernelDevice,
                       beep::Route::SoundSystem, beep::Route::Silence}) {
        const std::string_view name = beep::routeName(route);
        if (text.compare(0, name.size(), name) == 0 &&
            (text.size() == name.size() || text[name.size()] == ' '))
            return route;
    }
    return std::nullopt;
}

Log readLog(const std::string& path) {
    Log log;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        line.erase(line.find_last_not_of(" \r") + 1);  // the serial console ends lines in CR LF
        std::istringstream words(line);
        std::string first, second;
        words >> first >> second;
        if (first == "stamp") {
            double seconds = 0;
            words >> seconds;
            if (second == "on") log.on.push_back(seconds);
            if (second == "off") log.off.push_back(seconds);
            if (second.rfind("ended-", 0) == 0) log.ended[second.substr(6)] = seconds;
        } else if (first == "status") {
            int status = 0;
            words >> status;
            log.statuses[second] = status;
        } else if (line.rfind("  it reaches the speaker by: ", 0) == 0) {
            log.libraryRoute = line.substr(29);
            log.libraryRouteTaken = routeNamedAtStartOf(log.libraryRoute);
        } else if (first == "port61") {
            words >> log.port61[second];
        } else if (first == "rawio") {
            words >> log.rawIo[second];
        } else if (line.ends_with(" used") && !log.routeTaken) {
            log.routeTaken = routeNamedAtStartOf(line.substr(line.find_first_not_of(' ')));
        }
    }
    return log;
}

int failures = 0;

void check(bool good, const char* what) {
    std::printf("    %-48s %s\n", what, good ? "ok" : "WRONG");
    if (!good) ++failures;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: check_recording ROUTE LOG WAV\n", stderr);
        return 2;
    }
    const std::string route = argv[1];
    const std::optional<beep::Route> expectedRoute =
        route == "alsa" ? beep::Route::SoundSystem : beep::routeFromKey(route);
    if (!expectedRoute) {
        std::fprintf(stderr, "check_recording: no route %s\n", route.c_str());
        return 2;
    }
    const Log log = readLog(argv[2]);
    const std::vector<float> samples = readWavLeft(argv[3]);
    const auto tones = findTones(samples, 0.003f);
    std::printf("route %s: %zu tones in %.2f s of recording; the library took \"%s\"\n",
                route.c_str(), tones.size(), double(samples.size()) / kRateHz,
                log.routeTaken ? std::string(beep::routeName(*log.routeTaken)).c_str() : "none");
    check(log.routeTaken == expectedRoute, "the route taken");
    std::printf("  beep-probe --library: the loaded library reaches the speaker by %s\n",
                log.libraryRoute.c_str());
    check(log.libraryRouteTaken == expectedRoute, "the loaded library takes the same route");

    // What the guest sounded, in order: beep-probe's tone, then the binding's, then a tone for
    // each signal that ended beep-probe.
    struct Expected {
        const char* what;
        double count;
        int gate;  // index into the on/off stamps, or -1
    };
    // The kernel's device is given the hertz whose kernel count is the library's count, so the
    // counts are the same on every route but for 20 Hz, below what the kernel accepts.
    const bool kernel = expectedRoute == beep::Route::KernelDevice;
    std::vector<Expected> expected{{"beep-probe --tone 1234 300", 966, -1},
                                   {"freq 440", 2711, 0},
                                   {"freq 1234", 966, 1},
                                   {"on again, no new freq", 966, 2}};
    if (expectedRoute == beep::Route::DirectPorts) {
        expected.push_back({"freq 65976 (= 440)", 2711, 3});
        expected.push_back({"freq 0 (count 65536)", 65536, 4});
        expected.push_back({"freq 3000, gate opened and closed on new threads", 397, 5});
    }
    if (kernel) expected.push_back({"freq 20 (the kernel's lowest, 21)", kernelCount(21), 3});
    const bool soundSystem = expectedRoute == beep::Route::SoundSystem;
    if (soundSystem) {
        // After silences longer than the stream is held: each opens the device again.
        expected.push_back({"freq 1234 after 600 ms of silence", 966, 3});
        expected.push_back({"freq 880 after 600 ms of silence", 1355, 4});
    }
    const int threadGate = expectedRoute == beep::Route::DirectPorts ? 6
                           : kernel                                  ? 4
                           : soundSystem                             ? 5
                                                                     : 3;
    expected.push_back({"freq 1234 from a thread started later", 966, threadGate});
    if (soundSystem) {
        expected.push_back({"a new process's first tone, 500 ms", 2711, 6});
        expected.push_back({"a new process's first tone, 300 ms", 2711, 7});
    }
    // KILLALL: SIGKILL by name (killall -9 beep-probe), as a user ends a hung program.
    const std::vector<std::string> signals =
        soundSystem ? std::vector<std::string>{}
        : expectedRoute == beep::Route::DevPort
            ? std::vector<std::string>{"KILLALL", "binding-killall", "crash"}
            : std::vector<std::string>{
                  "TERM", "INT", "HUP", "KILL", "KILLALL", "SEGV", "binding-killall", "crash"};
    for (const std::string& signal : signals) {
        const bool binding = signal == "crash" || signal == "binding-killall";
        expected.push_back({"", binding ? 1355.0 : 2711.0, -2});  // the binding's at 880 Hz
    }

    // Root's CAP_SYS_RAWIO, given up once the ports are reached; an ordinary user never had it.
    const bool root = !kernel && !soundSystem;
    std::printf("  CAP_SYS_RAWIO before the first call: %s, after: %s\n",
                log.rawIo.count("before") ? log.rawIo.at("before").c_str() : "?",
                log.rawIo.count("after") ? log.rawIo.at("after").c_str() : "?");
    check(log.rawIo.count("before") && log.rawIo.at("before") == (root ? "yes" : "no"),
          "CAP_SYS_RAWIO held at the start as root only");
    check(log.rawIo.count("after") && log.rawIo.at("after") == "no",
          "CAP_SYS_RAWIO given up once the ports answer");

    check(tones.size() == expected.size(), "as many tones as the guest sounded");
    if (tones.size() != expected.size()) return 1;

    // The recording's clock against the guest's, from the binding's gate openings.
    double offset = 0;
    int anchors = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i].gate < 0 || std::size_t(expected[i].gate) >= log.on.size()) continue;
        offset += double(tones[i].begin) / kRateHz - log.on[std::size_t(expected[i].gate)];
        ++anchors;
    }
    offset /= std::max(1, anchors);

    std::size_t signalIndex = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const SampleSpan tone = tones[i];
        const double seconds = double(tone.size()) / kRateHz;
        const auto steady = std::span(samples).subspan(tone.begin + 480, tone.size() - 960);
        const double measured = measureFrequencyHz(steady, kRateHz);
        // The sound system plays the timer's square wave itself; QEMU's speaker its own model.
        const double model =
            soundSystem ? kKernelClockHz / expected[i].count : qemuPitchHz(expected[i].count);
        const double lengthTolerance =
            soundSystem ? kSoundLengthToleranceSeconds : kLengthToleranceSeconds;
        std::string what = expected[i].what;
        if (expected[i].gate == -2)
            what = signals[signalIndex] == "crash" ? "the binding crashed (SIGSEGV), 880 Hz"
                   : signals[signalIndex] == "binding-killall"
                       ? "the binding killed by killall -9 vpc"
                   : signals[signalIndex] == "KILLALL"
                       ? "beep-probe killed by killall -9"
                       : "beep-probe ended by SIG" + signals[signalIndex];
        std::printf("  %-40s count %5.0f: %9.4f Hz (%s %9.4f), %.4f s\n", what.c_str(),
                    expected[i].count, measured, soundSystem ? "the timer's" : "QEMU's model",
                    model, seconds);
        const double tolerance = model < 100 ? 0.05 : 0.02;
        check(std::abs(measured - model) <= tolerance, "pitch is the count loaded");
        if (expected[i].gate >= 0) {
            const auto gate = std::size_t(expected[i].gate);
            const double open = log.off.at(gate) - log.on.at(gate);
            std::printf("    gate open %.4f s, tone %.4f s\n", open, seconds);
            check(std::abs(seconds - open) <= lengthTolerance, "tone length = gate-open time");
            // The sound card's recording runs only while something plays, so the next tone
            // may follow closer than it did; and the closing ramp's last ripples take a few
            // milliseconds to die away below the threshold that ended the tone.
            const std::size_t next = i + 1 < tones.size() ? tones[i + 1].begin : samples.size();
            const std::size_t from = tone.end + (soundSystem ? 480 : 0);
            const auto after = std::span(samples).subspan(
                std::min(from, next), std::min<std::size_t>(7200, next - std::min(from, next)));
            check(soundSystem ? peakLevel(after) < 0.001f : peakLevel(after) == 0.0f,
                  "silence after beep_off");
        } else if (expected[i].gate == -1) {
            // No gate stamped here: beep-probe's own 300 ms, which the emulated PC's sleep
            // overshoots by a millisecond or two, and through the sound system the closing
            // ramp after it (measured on Debian 13's kernel: 304.5 ms).
            const double ramp = soundSystem ? beep::SquareWaveSynth::kRampSeconds : 0.0;
            check(std::abs(seconds - ramp - 0.300) <= lengthTolerance, "tone length = 300 ms");
        } else {
            const std::string& signal = signals[signalIndex++];
            const double endedAt = log.ended.count(signal) ? log.ended.at(signal) + offset : 0;
            const double stopAt = double(tone.end) / kRateHz;
            std::printf("    exit status %d; tone stops %+.1f ms from the program's end\n",
                        log.statuses.count(signal) ? log.statuses.at(signal) : -1,
                        (stopAt - endedAt) * 1e3);
            check(std::abs(stopAt - endedAt) <= kSignalEndToleranceSeconds,
                  "the tone stops within 50 ms of the end");
            check(seconds < 1.5, "the tone did not run its 4 s");
            if (log.port61.count("after-" + signal)) {
                const int port = log.port61.at("after-" + signal);
                std::printf("    port 0x61 afterwards: 0x%02X\n", port);
                check((port & 0x03) == 0, "the gate is closed (port 0x61 bits 0-1)");
            }
        }
    }
    std::printf("route %s: %s\n", route.c_str(), failures == 0 ? "all good" : "FAULTS FOUND");
    return failures == 0 ? 0 : 1;
}
