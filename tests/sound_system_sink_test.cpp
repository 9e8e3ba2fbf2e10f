// The audio thread's handling of its output: when it connects, starts and ends streams, and how
// it rewrites queued sound when the tone changes.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
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
        if (log_.refuse) {
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
        block, device, [](int) { return false; }, [&] { return ++waits; }));
    EXPECT_EQ(taken, block);
    EXPECT_EQ(waits, 1);

    auto alwaysFull = [](const float*, std::size_t) -> ssize_t { return -EAGAIN; };
    EXPECT_FALSE(writeWholeBlock(
        block, alwaysFull, [](int) { return false; }, [] { return true; }))
        << "a device that never takes the block is given up, not counted as written";
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
