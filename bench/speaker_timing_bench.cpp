// How promptly and exactly the emulated speaker sounds on the server PULSE_SERVER names, at idle
// and with every core busy: each tone opens the gate at 440 Hz, changes to 880 Hz halfway and
// closes; every other tone follows a silence longer than the stream is held, so that it is the
// first tone after silence. Measured at the null sink "vireko_test"; also how long the sound
// system takes to connect and to open a stream, and the lead the library uses against what the
// server itself needs (its floor). On PipeWire, the same again where the graph stops in each
// silence, as where nothing else plays or records. VIREKO_BENCH_TONES sets the tones per series.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio_output.h"
#include "beep_library.h"
#include "sound_system_sink.h"
#include "summary.h"
#include "support/busy_load.h"
#include "support/monitor_recorder.h"
#include "support/tone_harness.h"

using namespace vireko;
using namespace vireko::testing;
using vireko::bench::summarise;
using vireko::bench::Summary;
using namespace std::chrono_literals;

namespace {

constexpr float kThreshold = 0.003f;
constexpr std::chrono::milliseconds kHalfTone{150};
constexpr std::chrono::milliseconds kShortSilence{150};
constexpr std::chrono::milliseconds kLongSilence =
    beep::kHoldAfterTone + std::chrono::milliseconds(300);

struct TimedTone {
    SteadyClock::time_point on, change, off;
    bool afterSilence = false;
};

// What was heard of one tone. A tone "in a stall" sounded while the machine held every thread
// back (StallWatch): what it shows is the machine's, not the player's.
struct HeardTone {
    // NaN where not found: the change, or all of them for a tone missing or split in parts.
    double onset = NAN, offset = NAN, lengthError = NAN;
    double change = NAN;
    bool afterSilence = false, stalled = false;
    int dropouts = 0;
};

struct Series {
    int tones = 0;
    std::vector<HeardTone> heard;  // a tone missing or split in parts has one dropout

    int dropouts(bool inStallsOnly) const {
        int count = 0;
        for (const HeardTone& tone : heard)
            if (!inStallsOnly || tone.stalled) count += tone.dropouts;
        return count;
    }
    int stalledTones() const {
        return int(std::count_if(heard.begin(), heard.end(),
                                 [](const HeardTone& tone) { return tone.stalled; }));
    }
};

// Which tones a figure is taken from.
enum class Tones { All, AfterSilence, Held, OutsideStalls };

std::vector<double> figures(const Series& series, Tones which, double HeardTone::*figure) {
    std::vector<double> values;
    for (const HeardTone& tone : series.heard) {
        const bool taken = which == Tones::All ||
                           (which == Tones::AfterSilence && tone.afterSilence) ||
                           (which == Tones::Held && !tone.afterSilence) ||
                           (which == Tones::OutsideStalls && !tone.stalled);
        if (taken && !std::isnan(tone.*figure)) values.push_back(tone.*figure);
    }
    return values;
}

// Where the pitch first rises past halfway between the two: the zero crossing before the first
// half period shorter than the mean of the two half periods.
std::size_t changeSample(std::span<const float> tone) {
    const double threshold = 0.75 * kRecordRateHz / 880;
    std::size_t last = 0;
    bool haveLast = false;
    for (std::size_t i = kEdgeSamples; i + 1 < tone.size(); ++i) {
        if ((tone[i] < 0) == (tone[i + 1] < 0)) continue;
        if (haveLast && double(i - last) < threshold) return last;
        last = i;
        haveLast = true;
    }
    return tone.size();
}

Series playSeries(BeepLibrary& speaker, int count,
                  MonitorRecorder::Graph graph = MonitorRecorder::Graph::KeptRunning) {
    Series series;
    MonitorRecorder recorder("vireko_test", graph);
    std::vector<TimedTone> played;
    for (int i = 0; i < count; ++i) {
        TimedTone tone;
        tone.afterSilence = i % 2 == 0;
        std::this_thread::sleep_for(tone.afterSilence ? kLongSilence : kShortSilence);
        speaker.beepFreq(440);
        tone.on = SteadyClock::now();
        speaker.beepOn();
        std::this_thread::sleep_for(kHalfTone);
        tone.change = SteadyClock::now();
        speaker.beepFreq(880);
        std::this_thread::sleep_for(kHalfTone);
        tone.off = SteadyClock::now();
        speaker.beepOff();
        played.push_back(tone);
    }
    const auto samples = recorder.recordUntil(SteadyClock::now() + 100ms);
    const auto heard = findTones(samples, kThreshold);
    series.tones = count;
    std::size_t next = 0;
    for (const TimedTone& gate : played) {
        // What began from the gate's opening until the next gate could have been heard.
        std::vector<std::size_t> parts;
        for (; next < heard.size() &&
               recorder.timeOfSample(heard[next].begin) < gate.off + kShortSilence / 2;
             ++next)
            if (recorder.timeOfSample(heard[next].begin) >= gate.on) parts.push_back(next);
        HeardTone& result = series.heard.emplace_back();
        result.afterSilence = gate.afterSilence;
        result.stalled = recorder.stallBetween(gate.on - 50ms, gate.off + kShortSilence / 2) >
                         SteadyClock::duration::zero();
        if (parts.size() != 1) {
            result.dropouts = 1;
            continue;
        }
        const std::size_t i = parts.front();
        result.onset = secondsBetween(gate.on, recorder.timeOfSample(heard[i].begin));
        result.offset = secondsBetween(gate.off, recorder.timeOfSample(heard[i].end - 1));
        const double length = double(heard[i].size()) / kRecordRateHz;
        result.lengthError = std::abs(length - secondsBetween(gate.on, gate.off));
        const auto tone = std::span(samples).subspan(heard[i].begin, heard[i].size());
        const std::size_t change = changeSample(tone);
        if (change >= tone.size() - kEdgeSamples) {
            result.dropouts = 1;
            continue;
        }
        result.change = secondsBetween(gate.change, recorder.timeOfSample(heard[i].begin + change));
        const SampleSpan low{heard[i].begin, heard[i].begin + change};
        const SampleSpan high{heard[i].begin + change, heard[i].end};
        for (const auto& [part, hz] : {std::pair{low, 440.0}, std::pair{high, 880.0}}) {
            if (part.size() > 2 * kEdgeSamples)
                result.dropouts +=
                    phaseContinuity(steadyPart(samples, part), kRecordRateHz, hz).dropouts;
        }
    }
    return series;
}

// Connecting, and opening a stream on the connection, through the first way that answers.
void openingTimes(int count, Summary& connect, Summary& stream) {
    std::vector<double> connects, streams;
    for (int i = 0; i < count; ++i) {
        for (const beep::AudioWay& backend : beep::audioWays()) {
            std::string refusal;
            const auto start = SteadyClock::now();
            auto output = backend.open(-1, refusal);
            if (!output) continue;
            const auto connected = SteadyClock::now();
            if (output->startStream(refusal)) {
                streams.push_back(secondsBetween(connected, SteadyClock::now()));
                output->stopStream();
            }
            connects.push_back(secondsBetween(start, connected));
            break;
        }
    }
    connect = summarise(connects);
    stream = summarise(streams);
}

// The lead the sound-system sink used for each of `count` tones, and the floor its output said
// the server needed then; played in this process, the way the library plays them.
void leadsAndFloors(int count, Summary& lead, Summary& floor) {
    beep::SoundSystemSink sink;
    std::vector<double> leads, floors;
    for (int i = 0; i < count; ++i) {
        const beep::SoundSystemSink::Lead last = leadOfATone(sink, 50ms);
        if (last.lead > std::chrono::nanoseconds::zero()) {
            leads.push_back(std::chrono::duration<double>(last.lead).count());
            floors.push_back(std::chrono::duration<double>(last.floor).count());
        }
        std::this_thread::sleep_for(i % 2 == 0 ? kLongSilence : kShortSilence);
    }
    lead = summarise(leads);
    floor = summarise(floors);
}

void printMs(const char* what, const Summary& idle, const Summary& busy) {
    std::printf("  %-40s %8.1f %8.1f %10.1f %8.1f\n", what, idle.median * 1e3, idle.worst * 1e3,
                busy.median * 1e3, busy.worst * 1e3);
}

}  // namespace

int main() {
    if (std::getenv("PULSE_SERVER") == nullptr) {
        std::fputs("PULSE_SERVER is not set; run through the bench target\n", stderr);
        return 0;
    }
    const char* tonesSetting = std::getenv("VIREKO_BENCH_TONES");
    const int tones = tonesSetting != nullptr ? std::max(2, std::atoi(tonesSetting)) : 100;

    Summary connectIdle, streamIdle, connectBusy, streamBusy;
    Summary leadIdle, floorIdle, leadBusy, floorBusy;
    openingTimes(20, connectIdle, streamIdle);
    leadsAndFloors(10, leadIdle, floorIdle);
    BeepLibrary speaker;
    // The first tone of a process also connects (see "connecting" below): not in the series.
    speaker.beepFreq(440);
    speaker.beepOn();
    std::this_thread::sleep_for(kHalfTone);
    speaker.beepOff();
    std::this_thread::sleep_for(kLongSilence);
    const Series idle = playSeries(speaker, tones);
    // Where nothing else plays or records, PipeWire's graph stops in each silence.
    const bool graphStops = testServerIsPipeWire();
    Series idleStopping, busyStopping;
    if (graphStops) idleStopping = playSeries(speaker, tones, MonitorRecorder::Graph::LeftToStop);
    Series busy;
    {
        raiseTestThreadPriority();  // the gate times are taken as the program takes them
        BusyLoad load;
        busy = playSeries(speaker, tones);
        if (graphStops)
            busyStopping = playSeries(speaker, tones, MonitorRecorder::Graph::LeftToStop);
        openingTimes(20, connectBusy, streamBusy);
        leadsAndFloors(10, leadBusy, floorBusy);
    }

    std::printf(
        "%d tones of 2 x %lld ms (440 Hz, then 880 Hz); every other one after %lld ms "
        "of silence.\nLatencies from the call to the first (last, changed) sample's "
        "arrival at the monitor.\n\n",
        tones, static_cast<long long>(kHalfTone.count()),
        static_cast<long long>(kLongSilence.count()));
    std::printf("  %-40s %8s %8s %10s %8s\n", "ms", "idle", "worst", "all busy", "worst");
    const auto printOf = [](const Series& atIdle, const Series& whenBusy) {
        return [&atIdle, &whenBusy](const char* what, Tones which, double HeardTone::*figure) {
            printMs(what, summarise(figures(atIdle, which, figure)),
                    summarise(figures(whenBusy, which, figure)));
        };
    };
    const auto print = printOf(idle, busy);
    print("onset", Tones::All, &HeardTone::onset);
    print("  of them the first after silence", Tones::AfterSilence, &HeardTone::onset);
    print("  of them outside a stall", Tones::OutsideStalls, &HeardTone::onset);
    print("offset", Tones::All, &HeardTone::offset);
    print("  of them outside a stall", Tones::OutsideStalls, &HeardTone::offset);
    print("change of pitch", Tones::All, &HeardTone::change);
    print("  of them outside a stall", Tones::OutsideStalls, &HeardTone::change);
    print("|length - gate|, held stream", Tones::Held, &HeardTone::lengthError);
    print("|length - gate|, first after silence", Tones::AfterSilence, &HeardTone::lengthError);
    print("|length - gate|, tones outside a stall", Tones::OutsideStalls, &HeardTone::lengthError);
    if (graphStops) {
        std::printf("  where the graph stops in each silence:\n");
        const auto printStopping = printOf(idleStopping, busyStopping);
        printStopping("  onset, outside a stall", Tones::OutsideStalls, &HeardTone::onset);
        printStopping("    of them the first after silence", Tones::AfterSilence,
                      &HeardTone::onset);
        printStopping("  offset, outside a stall", Tones::OutsideStalls, &HeardTone::offset);
        printStopping("  change of pitch, outside a stall", Tones::OutsideStalls,
                      &HeardTone::change);
        printStopping("  |length - gate|, outside a stall", Tones::OutsideStalls,
                      &HeardTone::lengthError);
    }
    printMs("connecting to the sound system", connectIdle, connectBusy);
    printMs("opening a stream", streamIdle, streamBusy);
    std::printf("  (floor and lead: of 10 tones more, through a sink in this process)\n");
    printMs("the server's floor (its own latency)", floorIdle, floorBusy);
    printMs("lead used (floor + margins)", leadIdle, leadBusy);
    const auto ratio = [&](const char* what, double HeardTone::*figure) {
        const Summary i = summarise(figures(idle, Tones::All, figure));
        const Summary b = summarise(figures(busy, Tones::All, figure));
        std::printf("  %-40s %8.2f %8.2f %10.2f %8.2f\n", what, i.median / floorIdle.median,
                    i.worst / floorIdle.median, b.median / floorBusy.median,
                    b.worst / floorBusy.median);
    };
    ratio("onset / floor, all tones", &HeardTone::onset);
    ratio("offset / floor, all tones", &HeardTone::offset);
    ratio("change of pitch / floor, all tones", &HeardTone::change);
    const auto per100 = [tones](int count) { return 100.0 * count / tones; };
    const auto printDropouts = [&](const char* what, const Series& atIdle, const Series& whenBusy) {
        std::printf("  %-40s %17.1f %19.1f\n", what, per100(atIdle.dropouts(false)),
                    per100(whenBusy.dropouts(false)));
        std::printf("  %-40s %17.1f %19.1f\n", "  of them in a stall of the machine",
                    per100(atIdle.dropouts(true)), per100(whenBusy.dropouts(true)));
    };
    printDropouts("dropouts per 100 tones", idle, busy);
    std::printf("  %-40s %17.1f %19.1f\n", "tones in a stall of the machine, per 100",
                per100(idle.stalledTones()), per100(busy.stalledTones()));
    if (graphStops)
        printDropouts("dropouts per 100, where the graph stops", idleStopping, busyStopping);
    return 0;
}
