// What the outputs share: the stream's clock, the tone PipeWire's graph pulls, and writes to a
// device that takes part of a block at a time.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <optional>
#include <thread>
#include <vector>

#include "pulled_queue.h"
#include "stream_clock.h"
#include "whole_writes.h"

namespace beep {
namespace {

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
    run(0.5 * kClockWindowSeconds);
    EXPECT_LT(*clock.origin(), heardFrom - 0.8 * kPeriod);
    run(1.5 * kClockWindowSeconds);
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
    EXPECT_EQ(queue.lateFrames(), 10u) << "the close is said to be as late as it was";
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
// thread runs cycles as fast as it can, timed as a running graph's are: each change is applied
// exactly once, whichever cycle reaches it.
TEST(PulledQueue, ChangesPlacedWhileCyclesRunAreEachAppliedOnce) {
    PulledCycles graph;
    PulledQueue& queue = graph.queue;
    queue.restart(graph.kStart);
    std::jthread cycles([&] {
        for (int cycle = 0; cycle < 1000; ++cycle)
            graph.take(0.010 + double(cycle * graph.kPeriod) / kAudioSampleRateHz);
    });
    for (std::size_t change = 0; change < 1000; ++change) {
        const std::size_t from = queue.placement(graph.kStart, graph.kSlack).firstReplaceable;
        ASSERT_TRUE(queue.place(std::max(from, change * 200),
                                change % 2 == 0 ? std::optional(graph.kTone) : std::nullopt));
    }
    cycles.join();
    for (int cycle = 1000; cycle < 1003; ++cycle)
        graph.take(0.010 + double(cycle * graph.kPeriod) / kAudioSampleRateHz);
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

}  // namespace
}  // namespace beep
