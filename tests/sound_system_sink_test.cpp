// The audio thread's handling of its output: when it connects, starts and ends streams, and how
// it rewrites queued sound when the tone changes.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pulled_queue.h"
#include "realtime_priority.h"
#include "sound_system_sink.h"
#include "square_synth.h"
#include "stream_clock.h"
#include "whole_writes.h"

namespace beep {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kDeviceLeadFrames = 384;
constexpr std::size_t kQueueFrames = 4800;
constexpr std::size_t kFramesPerWait = 96;

// A device that plays kFramesPerWait frames each time the audio thread waits, a millisecond
// at a time, keeps a queue of kQueueFrames and lets all but its lead be rewritten. What it
// was given ends up on a tape, rewritten frames replaced, so the test hears what a listener
// would.
struct DeviceLog {
    std::atomic<int> opens{0};
    std::atomic<int> streamsStarted{0};
    std::atomic<int> streamsPlaying{0};
    std::atomic<bool> refuse{false};
    std::atomic<bool> refuseStreams{false};  // connects, but no stream plays
    std::atomic<bool> failWrites{false};
    std::mutex mutex;
    std::vector<float> tape;  // of the last stream
    std::size_t played = 0;
    std::size_t playedWhenStopped = 0;
};

class FakeOutput final : public AudioOutput {
public:
    explicit FakeOutput(DeviceLog& log) : log_(log) {}
    ~FakeOutput() override { stopStream(); }

    bool startStream(std::string& refusal) override {
        if (log_.refuse || log_.refuseStreams) {
            refusal = "no server";
            return false;
        }
        const std::lock_guard lock(log_.mutex);
        log_.tape.clear();
        log_.played = written_ = 0;
        ++log_.streamsStarted;
        ++log_.streamsPlaying;
        playing_ = true;
        return true;
    }
    void stopStream() override {
        if (!playing_) return;
        playing_ = false;
        const std::lock_guard lock(log_.mutex);
        log_.playedWhenStopped = log_.played;
        --log_.streamsPlaying;
    }
    bool wait(std::chrono::milliseconds) override {
        std::this_thread::sleep_for(1ms);
        const std::lock_guard lock(log_.mutex);
        log_.played = std::min(written_, log_.played + kFramesPerWait);
        return !log_.failWrites;
    }
    std::size_t writableFrames() override {
        const std::lock_guard lock(log_.mutex);
        return log_.played + kQueueFrames - written_;
    }
    bool write(std::span<const float> samples) override {
        const std::lock_guard lock(log_.mutex);
        log_.tape.resize(written_);
        log_.tape.insert(log_.tape.end(), samples.begin(), samples.end());
        written_ += samples.size();
        return !log_.failWrites;
    }
    Standing standing() override {
        const std::lock_guard lock(log_.mutex);
        return {std::min(written_, log_.played + kDeviceLeadFrames), std::nullopt};
    }
    bool rewind(std::size_t frames) override {
        written_ -= frames;
        return true;
    }
    std::size_t queuedFrames() override {
        const std::lock_guard lock(log_.mutex);
        return written_ - log_.played;
    }

private:
    DeviceLog& log_;
    std::size_t written_ = 0;
    bool playing_ = false;
};

SoundSystemSink::OutputOpener opener(DeviceLog& log) {
    return [&log](int, std::string& refusal) -> std::unique_ptr<AudioOutput> {
        ++log.opens;
        if (log.refuse) {
            refusal = "no server";
            return nullptr;
        }
        return std::make_unique<FakeOutput>(log);
    };
}

bool eventually(auto&& condition) {
    for (auto until = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < until;) {
        if (condition()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

std::size_t playedFrames(DeviceLog& log) {
    const std::lock_guard lock(log.mutex);
    return log.played;
}

// The first frame at which two renderings part. A synth started at another sample number
// may round an edge's position differently in the last bit, never by more.
std::size_t firstDifference(const std::vector<float>& a, const std::vector<float>& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (std::abs(a[i] - b[i]) > 1e-5f) return i;
    return n;
}

struct Change {
    std::size_t frame;
    std::optional<std::uint32_t> tone;
};

// One synth, given its changes at the frames named, from a silent start.
std::vector<float> reference(std::size_t frames, const std::vector<Change>& changes) {
    SquareWaveSynth synth(kAudioSampleRateHz);
    std::vector<float> out(frames);
    std::size_t at = 0;
    for (const Change& change : changes) {
        synth.render(std::span(out).subspan(at, change.frame - at));
        synth.setTone(change.tone);
        at = change.frame;
    }
    synth.render(std::span(out).subspan(at));
    return out;
}

// The frame at which `tone` came in after `changes`: the one that makes the reference follow
// the tape furthest. A change of gate shows at once; a change of pitch only at the next edge,
// up to half a period later, so the frames before the parting are searched.
std::size_t nextChange(const std::vector<float>& tape, std::vector<Change> changes,
                       std::optional<std::uint32_t> tone) {
    const std::size_t parted = firstDifference(tape, reference(tape.size(), changes));
    std::size_t best = 0, bestReach = 0;
    const std::size_t from = parted > 240 ? parted - 240 : 0;
    changes.push_back({0, tone});
    for (std::size_t frame = std::max(from, changes[changes.size() - 2].frame); frame <= parted;
         ++frame) {
        changes.back().frame = frame;
        const std::size_t reach = firstDifference(tape, reference(tape.size(), changes));
        if (reach > bestReach) {
            best = frame;
            bestReach = reach;
        }
    }
    return best;
}

TEST(SoundSystemSink, ConnectsAtTheFirstToneAndEndsTheStreamOnceSilentForAWhile) {
    DeviceLog log;
    SoundSystemSink sink({opener(log)});
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(log.opens, 0) << "nothing is opened before the gate opens";
    sink.setTone(2711u);
    ASSERT_TRUE(eventually([&] { return log.streamsPlaying == 1; }));
    ASSERT_TRUE(eventually([&] { return playedFrames(log) > 4800; }));
    sink.setTone(std::nullopt);
    const std::size_t closedAt = playedFrames(log);
    ASSERT_TRUE(eventually([&] { return log.streamsPlaying == 0; }));
    const auto holdFrames = framesIn(SoundSystemSink::kHoldAfterTone);
    EXPECT_GE(log.playedWhenStopped - closedAt, holdFrames) << "kept ready for a while";
    EXPECT_LT(log.playedWhenStopped - closedAt, holdFrames + 4800) << "then let go";

    sink.setTone(2711u);
    ASSERT_TRUE(eventually([&] { return log.streamsStarted == 2; }));
    EXPECT_EQ(log.opens, 1) << "the connection is kept between tones";
}

// A program that ends as soon as it closes the gate (a tone from the command line): the tone's
// end, placed a lead after the closing, is played before the process may end and cut it.
TEST(SoundSystemSink, AToneJustEndedIsHeardToItsEndBeforeTheProcessEnds) {
    DeviceLog log;
    SoundSystemSink sink({opener(log)});
    sink.setTone(2711u);
    ASSERT_TRUE(eventually([&] { return playedFrames(log) > 4800; }));
    sink.setTone(std::nullopt);
    sink.finishTone();
    const std::lock_guard lock(log.mutex);
    std::size_t audibleUntil = log.tape.size();
    while (audibleUntil > 0 && log.tape[audibleUntil - 1] == 0.0f) --audibleUntil;
    EXPECT_GT(audibleUntil, 4800u);
    EXPECT_GE(log.played, audibleUntil) << "the end of the tone was still to be played";
}

TEST(SoundSystemSink, RefusedConnectionIsTriedAgainAtTheNextOpeningOnly) {
    DeviceLog log;
    log.refuse = true;
    SoundSystemSink sink({opener(log), opener(log)});
    sink.setTone(2711u);
    ASSERT_TRUE(eventually([&] { return log.opens == 2; })) << "each output is tried once";
    sink.setTone(1193u);  // a new pitch is not a new opening
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(log.opens, 2);

    log.refuse = false;
    sink.setTone(std::nullopt);
    sink.setTone(2711u);
    EXPECT_TRUE(eventually([&] { return log.streamsPlaying == 1; }));
    EXPECT_EQ(log.opens, 3);
}

TEST(SoundSystemSink, LostOutputIsDroppedAndReopenedAtTheNextOpening) {
    DeviceLog log;
    SoundSystemSink sink({opener(log)});
    sink.setTone(2711u);
    ASSERT_TRUE(eventually([&] { return log.streamsPlaying == 1; }));
    log.failWrites = true;
    ASSERT_TRUE(eventually([&] { return log.streamsPlaying == 0; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(log.opens, 1) << "no reconnecting in a loop while the gate stays open";

    log.failWrites = false;
    sink.setTone(std::nullopt);
    sink.setTone(2711u);
    EXPECT_TRUE(eventually([&] { return log.streamsPlaying == 1 && log.opens == 2; }));
}

TEST(SoundSystemSink, AWayThatConnectsButCannotPlayGivesWayAtOnceAndIsTriedAgainInSilence) {
    DeviceLog better, worse;
    better.refuseStreams = true;
    SoundSystemSink sink({opener(better), opener(worse)}, 0ms);
    // The better way's openings by the time the tone played.
    const auto playOneTone = [&](DeviceLog& on) {
        const int started = on.streamsStarted;
        sink.setTone(2711u);
        EXPECT_TRUE(eventually([&] { return on.streamsStarted == started + 1; }));
        const int opens = better.opens;
        sink.setTone(std::nullopt);
        EXPECT_TRUE(eventually([&] { return on.streamsPlaying == 0; }));
        return opens;
    };
    EXPECT_EQ(playOneTone(worse), 1);
    // Tried again once the tone is over, not when the next one starts.
    ASSERT_TRUE(eventually([&] { return better.opens == 2; }));
    better.refuseStreams = false;
    EXPECT_EQ(playOneTone(worse), 2);
    ASSERT_TRUE(eventually([&] { return better.streamsStarted == 1; }));
    playOneTone(better);
    EXPECT_EQ(worse.streamsStarted, 2);
}

TEST(SoundSystemSink, ChangesRewriteTheQueueJustPastTheDeviceAndTheWaveRunsOn) {
    DeviceLog log;
    SoundSystemSink sink({opener(log)});
    sink.setTone(2711u);
    ASSERT_TRUE(eventually([&] { return log.streamsPlaying == 1 && playedFrames(log) > 2400; }));
    const std::size_t changeRequested = playedFrames(log);
    sink.setTone(1193u);
    ASSERT_TRUE(eventually([&] { return playedFrames(log) > changeRequested + 9600; }));
    sink.setTone(std::nullopt);
    ASSERT_TRUE(eventually([&] { return log.streamsPlaying == 0; }));

    const std::lock_guard lock(log.mutex);
    const std::vector<float>& tape = log.tape;
    // The stream began with silence up to one lead after the gate opened, and then the tone,
    // not behind a queue of silence.
    std::vector<Change> changes{{0, std::nullopt}};
    const std::size_t toneAt = nextChange(tape, changes, 2711u);
    EXPECT_LE(toneAt, framesIn(kChangeLead) + 2 * kFramesPerWait);

    // From there on, the tape is exactly one synth that changed pitch once and then closed:
    // no frame lost, none repeated, the phase carried through each rewrite.
    changes.push_back({toneAt, 2711u});
    const std::size_t changeAt = nextChange(tape, changes, 1193u);
    changes.push_back({changeAt, 1193u});
    const std::size_t closeAt = nextChange(tape, changes, std::nullopt);
    changes.push_back({closeAt, std::nullopt});
    EXPECT_EQ(firstDifference(tape, reference(tape.size(), changes)), tape.size());
    EXPECT_LE(changeAt, changeRequested + kDeviceLeadFrames + 4 * kFramesPerWait)
        << "the change waits for neither the queue nor a chunk boundary";
    EXPECT_GT(closeAt, changeAt + 9600);
}

// A device that plays in real time, with a clock, but only `startDelay` after its stream
// starts, as a sound server may while it links a new stream.
class LateStartingOutput final : public AudioOutput {
public:
    LateStartingOutput(DeviceLog& log, std::chrono::milliseconds startDelay)
        : log_(log), startDelay_(startDelay) {}

    bool startStream(std::string&) override {
        const std::lock_guard lock(log_.mutex);
        log_.tape.clear();
        written_ = 0;
        playsFrom_ = std::chrono::steady_clock::now() + startDelay_;
        ++log_.streamsStarted;
        ++log_.streamsPlaying;
        return true;
    }
    void stopStream() override {
        const std::lock_guard lock(log_.mutex);
        --log_.streamsPlaying;
    }
    bool wait(std::chrono::milliseconds) override {
        std::this_thread::sleep_for(1ms);
        return true;
    }
    std::size_t writableFrames() override { return played() + kQueueFrames - written_; }
    bool write(std::span<const float> samples) override {
        const std::lock_guard lock(log_.mutex);
        log_.tape.resize(written_);
        log_.tape.insert(log_.tape.end(), samples.begin(), samples.end());
        written_ += samples.size();
        return true;
    }
    Standing standing() override {
        Standing standing{std::min(written_, played() + kDeviceLeadFrames), std::nullopt};
        if (std::chrono::steady_clock::now() >= playsFrom_) standing.frameZero = playsFrom_;
        return standing;
    }
    bool rewind(std::size_t frames) override {
        written_ -= frames;
        return true;
    }
    std::size_t queuedFrames() override { return written_ - played(); }

private:
    std::size_t played() const {
        const auto since = std::chrono::steady_clock::now() - playsFrom_;
        if (since <= 0s) return 0;
        return std::min(written_, std::size_t(std::chrono::duration<double>(since).count() *
                                              kAudioSampleRateHz));
    }

    DeviceLog& log_;
    std::chrono::milliseconds startDelay_;
    std::chrono::steady_clock::time_point playsFrom_;
    std::size_t written_ = 0;
};

// How late, in ms: the connection, the stream's first frame after it; and the gate's length.
struct Lateness {
    int connectMs, startMs, gateMs;
};
// A start late by less than the gate; one late by more, so that the gate closes before the
// stream plays; a connection that outlasts the gate, as the first tone of a process may on a
// busy machine.
class LateStart : public ::testing::TestWithParam<Lateness> {};

TEST_P(LateStart, StillSoundsTheWholeGate) {
    const Lateness late = GetParam();
    DeviceLog log;
    SoundSystemSink sink({[&log, late](int, std::string&) -> std::unique_ptr<AudioOutput> {
        std::this_thread::sleep_for(std::chrono::milliseconds(late.connectMs));
        return std::make_unique<LateStartingOutput>(log, std::chrono::milliseconds(late.startMs));
    }});
    const auto on = std::chrono::steady_clock::now();
    sink.setTone(2711u);
    std::this_thread::sleep_for(std::chrono::milliseconds(late.gateMs));
    const auto off = std::chrono::steady_clock::now();
    sink.setTone(std::nullopt);
    ASSERT_TRUE(eventually([&] { return log.streamsStarted == 1 && log.streamsPlaying == 0; }));

    const std::lock_guard lock(log.mutex);
    const auto first =
        std::find_if(log.tape.begin(), log.tape.end(), [](float s) { return s != 0; });
    const auto last =
        std::find_if(log.tape.rbegin(), log.tape.rend(), [](float s) { return s != 0; });
    ASSERT_NE(first, log.tape.end());
    const double heard =
        double(log.tape.rend() - last - (first - log.tape.begin())) / kAudioSampleRateHz;
    const double gate = std::chrono::duration<double>(off - on).count();
    // The closing ramp adds its 3 ms; a late start takes nothing away.
    EXPECT_NEAR(heard, gate + 0.003, 0.002);
}
INSTANTIATE_TEST_SUITE_P(SoundSystemSink, LateStart,
                         ::testing::Values(Lateness{0, 60, 300}, Lateness{0, 200, 100},
                                           Lateness{200, 0, 100}));

// Timings as PipeWire's pulse server gives them: every 8 ms, each late by where it fell in the
// graph's 5.3 ms period and by a reply that took up to a millisecond.
TEST(StreamClock, KeepsTheEarliestEstimateAndFollowsAStreamThatSlipsAPeriod) {
    constexpr double kPeriod = 256.0 / 48000;
    StreamClock clock;
    double heardFrom = 100.0;  // when frame 0 is truly heard
    double now = 200.0;
    auto run = [&](double seconds) {
        for (const double until = now + seconds; now < until; now += 0.008)
            clock.note(heardFrom + std::fmod(now, kPeriod) + std::fmod(now * 7.7, 0.001), now);
    };
    run(1.0);
    ASSERT_TRUE(clock.origin());
    EXPECT_NEAR(*clock.origin(), heardFrom, 0.0002);

    // A missed cycle: the stream plays a period later from now on. Not taken for a slip at
    // once, as a run of late replies would look the same for a moment; taken within two windows.
    heardFrom += kPeriod;
    run(0.5 * StreamClock::kWindowSeconds);
    EXPECT_LT(*clock.origin(), heardFrom - 0.8 * kPeriod);
    run(1.5 * StreamClock::kWindowSeconds);
    EXPECT_NEAR(*clock.origin(), heardFrom, 0.0002);
    run(1.0);
    EXPECT_NEAR(*clock.origin(), heardFrom, 0.0002) << "and keeps it";
}

// Cycles of a graph with a 256-frame period whose device is 2 ms behind it.
class PulledCycles {
public:
    static constexpr std::size_t kPeriod = 256;
    static constexpr double kStart = 100.0, kSlack = 0.005;
    static constexpr std::uint32_t kTone = 2712;  // 440 Hz

    PulledQueue queue{kPeriod};

    // The cycle ran at kStart + `ranAfter` (nothing: untimed), and is heard 2 ms later.
    std::vector<float> take(std::optional<double> ranAfter) {
        std::vector<float> period(kPeriod);
        std::optional<PulledQueue::CycleTiming> timing;
        if (ranAfter) timing = {kStart + *ranAfter, kStart + *ranAfter + 0.002};
        queue.take(period, timing);
        return period;
    }
    // Where in a period the tone that sounds in it was opened; the period's length if silent.
    static std::ptrdiff_t soundFrom(const std::vector<float>& period) {
        const auto first = std::ranges::find_if(period, [](float s) { return s != 0; });
        if (first == period.end()) return std::ptrdiff_t(period.size());
        return first - period.begin() - SquareWaveSynth::kDelayFrames;
    }
};

// A stream whose first cycle comes 10 ms after it was ready.
TEST(PulledQueue, FirstCycleKeepsToThePlacedTimeAndALateChangeOpensTheNextCycle) {
    PulledCycles graph;
    PulledQueue& queue = graph.queue;
    queue.restart(graph.kStart);
    ASSERT_TRUE(queue.place(720, graph.kTone));  // the tone from 15 ms on
    // Before the first cycle: what it may pass over cannot be placed in.
    EXPECT_EQ(queue.placement(graph.kStart, graph.kSlack).frameZero, graph.kStart);
    EXPECT_EQ(queue.placement(graph.kStart, graph.kSlack).firstReplaceable, 240 + graph.kPeriod);

    // Frame 576 is due when this period is heard: the tone still starts 15 ms after the start.
    EXPECT_EQ(graph.soundFrom(graph.take(0.010)), 720 - 576);
    const PulledQueue::Placement placement = queue.placement(graph.kStart + 0.011, graph.kSlack);
    EXPECT_NEAR(*placement.frameZero, graph.kStart, 1e-9);
    EXPECT_NEAR(placement.leadSeconds, (graph.kPeriod + 96) / 48000.0 + graph.kSlack, 1e-9);
    // The next cycle is near: it keeps its period.
    EXPECT_EQ(placement.firstReplaceable, 576 + 2 * graph.kPeriod);

    // Closed within the cycle just taken: the next one opens with the close, once.
    ASSERT_TRUE(queue.place(576 + graph.kPeriod - 10, std::nullopt));
    const std::vector<float> next = graph.take(0.0153);
    EXPECT_NE(next.front(), 0.0F) << "the close went back in time";
    EXPECT_EQ(next.back(), 0.0F) << "the close was lost";
    EXPECT_FALSE(queue.heardOut(0)) << "not yet at the device";
    graph.take(std::nullopt);
    EXPECT_TRUE(queue.heardOut(0)) << "the close was applied twice or not at all";

    // A tone placed sooner than the first cycle can be heard is not passed over: it starts
    // late, and the clock says how late.
    queue.restart(graph.kStart);
    ASSERT_TRUE(queue.place(0, graph.kTone));
    EXPECT_EQ(graph.soundFrom(graph.take(0.010)), 0);
    EXPECT_NEAR(*queue.placement(graph.kStart + 0.011, graph.kSlack).frameZero,
                graph.kStart + 0.012, 1e-9);
}

// Cycles the queue did not expect: one before anything was placed, and an untimed first one
// (the graph's clock not yet running). Neither costs the tone its start or moves it earlier.
TEST(PulledQueue, EarlyCyclesNeitherDropTheStartOfTheToneNorMoveItEarlier) {
    PulledCycles graph;
    PulledQueue& queue = graph.queue;
    queue.restart(graph.kStart);
    graph.take(0.030);
    const std::size_t from = queue.placement(graph.kStart + 0.031, graph.kSlack).firstReplaceable;
    ASSERT_TRUE(queue.place(from, graph.kTone));
    EXPECT_EQ(graph.soundFrom(graph.take(std::nullopt)), graph.kPeriod) << "not in this cycle";
    EXPECT_EQ(graph.soundFrom(graph.take(std::nullopt)), 0) << "the tone's start was dropped";

    queue.restart(graph.kStart);
    ASSERT_TRUE(queue.place(720, graph.kTone));
    graph.take(std::nullopt);
    // Frame 576 is heard 12 ms after the start, as placed.
    EXPECT_EQ(graph.soundFrom(graph.take(0.010)), 720 - 576);
}

// The audio thread placing changes, and reading where the stream stands, while the graph's
// thread runs cycles as fast as it can: each change is applied exactly once, whichever cycle
// reaches it.
TEST(PulledQueue, ChangesPlacedWhileCyclesRunAreEachAppliedOnce) {
    PulledCycles graph;
    PulledQueue& queue = graph.queue;
    queue.restart(graph.kStart);
    std::jthread cycles([&] {
        for (int cycle = 0; cycle < 1000; ++cycle) graph.take(std::nullopt);
    });
    for (std::size_t change = 0; change < 1000; ++change) {
        const std::size_t from = queue.placement(graph.kStart, graph.kSlack).firstReplaceable;
        ASSERT_TRUE(queue.place(std::max(from, change * 200),
                                change % 2 == 0 ? std::optional(graph.kTone) : std::nullopt));
    }
    cycles.join();
    for (int cycle = 0; cycle < 3; ++cycle) graph.take(std::nullopt);
    EXPECT_TRUE(queue.heardOut(0)) << "a change was lost, or applied twice";
}

// A device that takes part of a block now and the rest after a wait: every frame is written,
// in order, and the block counts as written only then.
TEST(WholeBlockWrites, APartlyTakenBlockIsFinishedAfterWaitingForRoom) {
    std::vector<float> block(256);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = float(i);
    std::vector<float> taken;
    int calls = 0, waits = 0;
    auto device = [&](const float* data, std::size_t frames) -> ssize_t {
        if (++calls == 2) return -EAGAIN;  // full for a moment, after the first 100 frames
        const std::size_t now = std::min<std::size_t>(frames, 100);
        taken.insert(taken.end(), data, data + now);
        return ssize_t(now);
    };
    EXPECT_TRUE(writeWholeBlock(
        block, device, [](int) { return false; }, [&] { return ++waits, 0; }));
    EXPECT_EQ(taken, block);
    EXPECT_EQ(waits, 1);

    auto alwaysFull = [](const float*, std::size_t) -> ssize_t { return -EAGAIN; };
    EXPECT_FALSE(writeWholeBlock(
        block, alwaysFull, [](int) { return false; }, [] { return 0; }))
        << "a device that never takes the block is given up, not counted as written";
}

// A device that takes nothing and says no error (ALSA's writei returning 0) is waited for, and
// given up like a full one: never spun on, on a thread that may run at real-time priority.
TEST(WholeBlockWrites, ADeviceTakingNothingIsWaitedForNotSpunOn) {
    const std::vector<float> block(256);
    int calls = 0, waits = 0;
    auto takesNothing = [&](const float*, std::size_t) -> ssize_t {
        return ++calls < 1000 ? 0 : -EIO;
    };
    EXPECT_FALSE(writeWholeBlock(
        block, takesNothing, [](int) { return false; }, [&] { return ++waits, 0; }));
    EXPECT_EQ(waits, 10);
    EXPECT_LE(calls, 11);
}

// An underrun or a suspend seen while waiting for room (snd_pcm_wait's -EPIPE, -ESTRPIPE) is
// recovered and the block finished, rather than the output given up.
TEST(WholeBlockWrites, AnUnderrunWhileWaitingIsRecovered) {
    const std::vector<float> block(256);
    int calls = 0;
    std::vector<int> recovered;
    auto fullOnce = [&](const float*, std::size_t frames) -> ssize_t {
        return ++calls == 1 ? -EAGAIN : ssize_t(frames);
    };
    EXPECT_TRUE(writeWholeBlock(
        block, fullOnce, [&](int error) { return recovered.push_back(error), true; },
        [] { return -EPIPE; }));
    EXPECT_EQ(recovered, std::vector<int>{-EPIPE});
}

// The audio thread asks RealtimeKit only where it cannot make itself real-time. Where there is
// no RealtimeKit to ask, the host process's own limits must be left as they were: a hard limit,
// once lowered, cannot be raised again. Run in a child, without the privilege to be real-time.
[[noreturn]] void askForPriorityWithoutRealtimeKit() {
    const rlimit noRealtimePriority{0, 0};
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_RTPRIO, &noRealtimePriority);
    setrlimit(RLIMIT_RTTIME, &unlimited);
    if (getuid() == 0 && setuid(65534) != 0) std::_Exit(2);  // without CAP_SYS_NICE
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
    const bool refused = !askRealtimeKitFor(static_cast<pid_t>(gettid()));
    rlimit after{};
    getrlimit(RLIMIT_RTTIME, &after);
    const bool untouched = after.rlim_max == RLIM_INFINITY && after.rlim_cur == RLIM_INFINITY;
    std::_Exit(refused && untouched ? 0 : 1);
}

TEST(AudioThreadPriority, LeavesTheProcessLimitsAloneWhereRealtimeKitCannotBeAsked) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(askForPriorityWithoutRealtimeKit(), ::testing::ExitedWithCode(0), "");
}

// RealtimeKit is mostly started by the bus on demand: one that is activatable but not yet
// running must be asked all the same. A private bus stands in for the system's, with a
// RealtimeKit whose start is only recorded.
TEST(AudioThreadPriority, AsksARealtimeKitThatTheBusStartsOnDemand) {
    // The asking side: this test again in a process of its own, as forking this one, whose
    // other threads may be inside the bus library, could leave the child deadlocked.
    if (std::getenv("VIREKO_ASK_REALTIMEKIT") != nullptr) {
        askRealtimeKitFor(static_cast<pid_t>(gettid()));
        std::_Exit(0);
    }
    const auto dir =
        std::filesystem::temp_directory_path() / ("vireko-system-bus-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "services");
    std::ofstream(dir / "bus.conf")
        << "<busconfig><type>session</type><listen>unix:path=" << (dir / "socket").string()
        << "</listen><servicedir>" << (dir / "services").string()
        << "</servicedir><policy context=\"default\"><allow send_destination=\"*\"/>"
           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    std::ofstream(dir / "services" / "rtkit.service")
        << "[D-BUS Service]\nName=org.freedesktop.RealtimeKit1\nExec=/bin/sh -c 'touch "
        << (dir / "started").string()
        << "; exit 1'\n";  // failed at once, not gone to the background
    const std::string config = "--config-file=" + (dir / "bus.conf").string();
    const char* arguments[] = {"dbus-daemon", config.c_str(), "--nofork", "--nopidfile", nullptr};
    pid_t bus = 0;
    if (posix_spawnp(&bus, "dbus-daemon", nullptr, nullptr, const_cast<char**>(arguments),
                     environ) != 0) {
        std::filesystem::remove_all(dir);
        GTEST_SKIP() << "no dbus-daemon";
    }
    for (int waited = 0; waited < 500 && !std::filesystem::exists(dir / "socket"); ++waited)
        std::this_thread::sleep_for(10ms);

    const std::string address = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir / "socket").string();
    std::vector<const char*> environment{address.c_str(), "VIREKO_ASK_REALTIMEKIT=1"};
    for (char** variable = environ; *variable != nullptr; ++variable)
        if (std::string_view(*variable).rfind("DBUS_SYSTEM_BUS_ADDRESS=", 0) != 0)
            environment.push_back(*variable);
    environment.push_back(nullptr);
    const std::string thisTest = std::string("--gtest_filter=AudioThreadPriority.") +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const char* askerArguments[] = {"speaker_tests", thisTest.c_str(), nullptr};
    pid_t asker = 0;
    int status = -1;
    if (posix_spawn(&asker, "/proc/self/exe", nullptr, nullptr, const_cast<char**>(askerArguments),
                    const_cast<char**>(environment.data())) == 0) {
        for (int waited = 0; waited < 1000 && waitpid(asker, &status, WNOHANG) == 0; ++waited)
            std::this_thread::sleep_for(10ms);
        if (kill(asker, SIGKILL) == 0) waitpid(asker, &status, 0);
    }
    const bool started = std::filesystem::exists(dir / "started");
    kill(bus, SIGTERM);
    waitpid(bus, nullptr, 0);
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_TRUE(started) << "RealtimeKit was never asked";
}

// A system bus that takes the connection and never answers, as a stalled one does: asking for
// the audio thread's priority must not hold the audio thread up.
[[noreturn]] void askForPriorityOnAStalledBus() {
    const std::string path = "/tmp/vireko-stalled-bus-" + std::to_string(getpid());
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    unlink(path.c_str());
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0 || chmod(path.c_str(), 0777) != 0)
        std::_Exit(2);
    const rlimit noRealtimePriority{0, 0};
    setrlimit(RLIMIT_RTPRIO, &noRealtimePriority);
    if (getuid() == 0 && setuid(65534) != 0) std::_Exit(2);  // without CAP_SYS_NICE
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
    const auto before = std::chrono::steady_clock::now();
    raiseThreadPriority();
    const auto took = std::chrono::steady_clock::now() - before;
    unlink(path.c_str());
    std::_Exit(took < 100ms ? 0 : 1);  // asking in line waited for ever here
}

TEST(AudioThreadPriority, AStalledSystemBusNeverHoldsUpTheAudioThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(askForPriorityOnAStalledBus(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace beep
