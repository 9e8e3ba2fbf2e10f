// What the outputs share: the stream's clock, the queue PipeWire's graph pulls, and writes to a
// device that takes part of a block at a time.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
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

// A graph with a 256-frame period whose device is 2 ms behind it, and a stream whose first cycle
// comes 10 ms after it was ready.
TEST(PulledQueue, FirstCycleKeepsToThePlacedTimeAndRewritesLandBehindWhatCyclesTook) {
    constexpr std::size_t kPeriod = 256;
    constexpr double kStart = 100.0, kSlack = 0.005;
    PulledQueue queue(4800, kPeriod);
    queue.restart(kStart);
    std::vector<float> sound(2400, 0.0F);  // silence, then a tone from 15 ms on
    std::fill(sound.begin() + 720, sound.end(), 1.0F);
    queue.write(sound);
    // Before the first cycle: what it may pass over is not replaceable.
    EXPECT_EQ(queue.placement(kStart, kSlack).frameZero, kStart);
    EXPECT_EQ(queue.placement(kStart, kSlack).firstReplaceable, 240 + kPeriod);

    std::vector<float> period(kPeriod);
    queue.take(period, PulledQueue::CycleTiming{kStart + 0.010, kStart + 0.012});
    // Frame 576 is due when this period is heard: the tone still starts 15 ms after the start.
    EXPECT_EQ(std::ranges::find(period, 1.0F) - period.begin(), 720 - 576);
    PulledQueue::Placement placement = queue.placement(kStart + 0.011, kSlack);
    EXPECT_NEAR(*placement.frameZero, kStart, 1e-9);
    EXPECT_NEAR(placement.leadSeconds, (kPeriod + 96) / 48000.0 + kSlack, 1e-9);
    // The next cycle is near: it keeps its period.
    EXPECT_EQ(placement.firstReplaceable, 576 + 2 * kPeriod);
    ASSERT_TRUE(queue.rewind(sound.size() - placement.firstReplaceable));
    queue.write(std::vector<float>(kPeriod, 2.0F));
    queue.take(period, PulledQueue::CycleTiming{kStart + 0.0153, kStart + 0.0173});
    EXPECT_EQ(period.back(), 1.0F);
    queue.take(period, std::nullopt);
    EXPECT_EQ(period.front(), 2.0F);
    EXPECT_EQ(period.back(), 2.0F);

    // A tone placed sooner than the first cycle can be heard is not passed over: it starts
    // late, and the clock says how late.
    queue.restart(kStart);
    queue.write(std::vector<float>(kPeriod, 1.0F));
    queue.take(period, PulledQueue::CycleTiming{kStart + 0.010, kStart + 0.012});
    EXPECT_EQ(period.front(), 1.0F);
    EXPECT_NEAR(*queue.placement(kStart + 0.011, kSlack).frameZero, kStart + 0.012, 1e-9);
}

// Cycles the queue did not expect: one before anything was written, and an untimed first one
// (the graph's clock not yet running). Neither costs the tone its start or moves it earlier.
TEST(PulledQueue, EarlyCyclesNeitherDropTheStartOfTheToneNorMoveItEarlier) {
    constexpr std::size_t kPeriod = 256;
    constexpr double kStart = 100.0, kSlack = 0.005;
    PulledQueue queue(4800, kPeriod);
    std::vector<float> period(kPeriod);
    const auto toneFramesIn = [&](int cycles) {
        std::ptrdiff_t frames = 0;
        for (int i = 0; i < cycles; ++i) {
            queue.take(period, std::nullopt);
            frames += std::ranges::count(period, 1.0F);
        }
        return frames;
    };
    queue.restart(kStart);
    queue.take(period, PulledQueue::CycleTiming{kStart + 0.030, kStart + 0.032});
    const std::size_t from = queue.placement(kStart + 0.031, kSlack).firstReplaceable;
    std::vector<float> sound(from, 0.0F);
    sound.resize(from + kPeriod, 1.0F);
    queue.write(sound);
    EXPECT_EQ(toneFramesIn(3), std::ptrdiff_t(kPeriod)) << "the tone's start was dropped";

    queue.restart(kStart);
    sound.assign(720, 0.0F);  // the tone from 15 ms on
    sound.resize(2400, 1.0F);
    queue.write(sound);
    queue.take(period, std::nullopt);
    // Frame 576 is heard 12 ms after the start, as placed.
    queue.take(period, PulledQueue::CycleTiming{kStart + 0.010, kStart + 0.012});
    EXPECT_EQ(std::ranges::find(period, 1.0F) - period.begin(), 720 - 576);
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
