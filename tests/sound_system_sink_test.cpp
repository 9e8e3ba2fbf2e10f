// The audio thread's handling of its output: when it connects, starts and ends streams, how it
// rewrites queued sound when the tone changes, and where it places changes with an output that
// renders the tone itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sound_system_sink.h"
#include "square_synth.h"
#include "stream_player.h"
#include "tone_rendering.h"

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
    std::chrono::steady_clock::time_point lastWait;
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
        log_.lastWait = std::chrono::steady_clock::now();
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

AudioWay fakeWay(DeviceLog& log) {
    return {"a fake device", "", nullptr,
            [&log](int, std::string& refusal) -> std::unique_ptr<AudioOutput> {
                ++log.opens;
                if (log.refuse) {
                    refusal = "no server";
                    return nullptr;
                }
                return std::make_unique<FakeOutput>(log);
            }};
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
    SoundSystemSink sink({fakeWay(log)});
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(log.opens, 0) << "nothing is opened before the gate opens";
    sink.setTone(2711u);
    ASSERT_TRUE(eventually([&] { return log.streamsPlaying == 1; }));
    ASSERT_TRUE(eventually([&] { return playedFrames(log) > 4800; }));
    sink.setTone(std::nullopt);
    const std::size_t closedAt = playedFrames(log);
    ASSERT_TRUE(eventually([&] { return log.streamsPlaying == 0; }));
    const auto holdFrames = framesIn(kHoldAfterTone);
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
    SoundSystemSink sink({fakeWay(log)});
    sink.setTone(2711u);
    ASSERT_TRUE(eventually([&] { return playedFrames(log) > 4800; }));
    sink.setTone(std::nullopt);
    const auto finishing = std::chrono::steady_clock::now();
    const std::size_t playedBefore = playedFrames(log);
    sink.finishTone();
    const auto finished = std::chrono::steady_clock::now();
    const std::chrono::duration<double> took = finished - finishing;
    const std::lock_guard lock(log.mutex);
    std::size_t audibleUntil = log.tape.size();
    while (audibleUntil > 0 && log.tape[audibleUntil - 1] == 0.0f) --audibleUntil;
    EXPECT_GT(audibleUntil, 4800u);
    // The wait gives up at kFinishLimit, as it must. This device plays a wait's worth at each of
    // its 1 ms sleeps, and on a machine busy enough that it fell behind real time meanwhile, it
    // had not played as much as a real one would have, though the audio thread still played on.
    const double inRealTime = took.count() * kAudioSampleRateHz;
    if (log.played < audibleUntil && took >= SoundSystemSink::kFinishLimit &&
        finished - log.lastWait < 20ms && double(log.played - playedBefore) < 0.9 * inRealTime)
        GTEST_SKIP() << "the device played " << log.played - playedBefore << " frames in "
                     << took.count() << " s";
    EXPECT_GE(log.played, audibleUntil) << "the end of the tone was still to be played";
}

TEST(SoundSystemSink, RefusedConnectionIsTriedAgainAtTheNextOpeningOnly) {
    DeviceLog log;
    log.refuse = true;
    SoundSystemSink sink({fakeWay(log), fakeWay(log)});
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
    SoundSystemSink sink({fakeWay(log)});
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
    SoundSystemSink sink({fakeWay(better), fakeWay(worse)}, 0ms);
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
    SoundSystemSink sink({fakeWay(log)});
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
    // The fake's own lead is nothing: the lead is the audio thread's margin before it measured
    // itself.
    const auto lead = std::size_t(kWakeMarginUnmeasured.count()) * kAudioSampleRateHz / 1000000;
    EXPECT_LE(toneAt, lead + 2 * kFramesPerWait);

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
    // The audio thread may come to the change a few waits late.
    EXPECT_GT(closeAt + 4 * kFramesPerWait, changeAt + 9600);
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
    SoundSystemSink sink({{"a late device", "", nullptr,
                           [&log, late](int, std::string&) -> std::unique_ptr<AudioOutput> {
                               std::this_thread::sleep_for(
                                   std::chrono::milliseconds(late.connectMs));
                               return std::make_unique<LateStartingOutput>(
                                   log, std::chrono::milliseconds(late.startMs));
                           }}});
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

// A stream that renders the tone itself, whose frame 0 is heard at `frameZero` and which takes
// every change it is given, for a player that reads the tone from a script, one reading a wake.
class ScriptedStream final : public AudioOutput, public ToneRendering, public PlayedTone {
public:
    struct Step {
        std::optional<std::uint32_t> tone;
        std::chrono::steady_clock::time_point changedAt;
    };
    ScriptedStream(std::vector<Step> script, std::chrono::steady_clock::time_point frameZero)
        : script_(std::move(script)), frameZero_(frameZero) {}

    std::vector<std::pair<std::size_t, std::optional<std::uint32_t>>> placed;

private:
    bool startStream(std::string&) override { return true; }
    void stopStream() override {}
    bool wait(std::chrono::milliseconds) override { return ++step_, true; }
    std::size_t writableFrames() override { return 0; }
    bool write(std::span<const float>) override { return true; }
    Standing standing() override { return {0, frameZero_}; }
    bool rewind(std::size_t) override { return false; }
    std::size_t queuedFrames() override { return 0; }
    ToneRendering* toneRendering() override { return this; }

    bool place(std::size_t frame, std::optional<std::uint32_t> tone) override {
        placed.emplace_back(frame, tone);
        return true;
    }
    std::size_t lateFrames() const override { return 0; }
    std::size_t heardFrames() const override { return step_; }  // it plays on
    bool heardOut(std::size_t) const override { return false; }

    Reading toneNow() const override { return {script_[step_].tone, step_}; }
    std::chrono::steady_clock::time_point lastChangeAt() const override {
        return script_[step_].changedAt;
    }
    std::pair<std::uint32_t, std::chrono::steady_clock::time_point> lastOpening() const override {
        return {};
    }
    bool stopping() const override { return step_ + 1 >= script_.size(); }
    void heardOut(const Reading&) override {}
    void noteLead(std::chrono::nanoseconds, std::chrono::nanoseconds) override {}

    std::vector<Step> script_;
    std::chrono::steady_clock::time_point frameZero_;
    std::size_t step_ = 0;
};

TEST(StreamPlayer, GatesFasterThanAFrameDoNotMakeTheTonesAfterThemLater) {
    // Calls 2 us apart, as a program toggling the gate from several threads makes them, then a
    // tone 10 ms after the first. (Made in the future, so that the thread is never late.)
    const auto frameZero = std::chrono::steady_clock::now();
    const auto first = frameZero + 10s;
    std::vector<ScriptedStream::Step> script;
    for (int i = 0; i < 2000; ++i)
        script.push_back({i % 2 == 0 ? std::optional(2711u) : std::nullopt, first + i * 2us});
    script.push_back({1193u, first + 10ms});
    script.push_back({std::nullopt, first + 110ms});
    script.push_back({std::nullopt, first + 110ms});  // the end of the script
    ScriptedStream stream(script, frameZero);
    WakeMargin wakes;
    wakes.note(0ns);  // the same margin for every tone
    StreamPlayer player(stream, stream, wakes);
    std::mutex placing;
    std::unique_lock lock(placing);
    ASSERT_TRUE(player.play(lock));

    ASSERT_GE(stream.placed.size(), 3u);
    const auto [firstFrame, firstTone] = stream.placed.front();
    const auto [openedAt, opened] = stream.placed[stream.placed.size() - 2];
    const auto [closedAt, closed] = stream.placed.back();
    EXPECT_EQ(firstTone, 2711u);
    EXPECT_EQ(opened, 1193u);
    EXPECT_EQ(closed, std::nullopt);
    // Every tone as long as its gate, and none later than asked: the last opens 10 ms after the
    // first, to the frame.
    EXPECT_NEAR(double(openedAt - firstFrame), 480, 1);
    EXPECT_NEAR(double(closedAt - openedAt), 4800, 1);
}

TEST(StreamPlayer, ACallerPlacesItsOwnChangeAtOnceWithTheTonesLead) {
    const auto frameZero = std::chrono::steady_clock::now();
    const auto first = frameZero + 10s;
    const auto frameOf = [&](std::chrono::steady_clock::time_point at) {
        return std::size_t(std::chrono::duration<double>(at - frameZero).count() *
                           kAudioSampleRateHz);
    };
    ScriptedStream stream({{2711u, first}, {2711u, first}}, frameZero);
    WakeMargin wakes;
    StreamPlayer player(stream, stream, wakes);
    ASSERT_TRUE(player.start());
    ASSERT_TRUE(player.follow(1193u, first + 10ms));
    ASSERT_TRUE(player.follow(std::nullopt, first + 110ms));
    ASSERT_TRUE(player.follow(1193u, first + 200ms));
    // On the frame of the one before: left to the audio thread, which gives the last of them.
    ASSERT_TRUE(player.follow(2711u, first + 200ms));
    EXPECT_EQ(stream.placed.size(), 4u);
    std::mutex placing;
    std::unique_lock lock(placing);
    ASSERT_TRUE(player.play(lock));
    EXPECT_FALSE(player.follow(std::nullopt, first + 400ms)) << "the stream has ended";

    // Every tone has the same lead, the audio thread's margin included, whoever placed it.
    const auto wake =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(kWakeMarginUnmeasured);
    const std::vector<std::pair<std::size_t, std::optional<std::uint32_t>>> expected{
        {frameOf(first + wake), 2711u},
        {frameOf(first + wake + 10ms), 1193u},
        {frameOf(first + wake + 110ms), std::nullopt},
        {frameOf(first + wake + 200ms), 1193u},
        {frameOf(first + wake + 200ms), 2711u}};
    ASSERT_EQ(stream.placed.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(double(stream.placed[i].first), double(expected[i].first), 1) << i;
        EXPECT_EQ(stream.placed[i].second, expected[i].second) << i;
    }
}

// An output that renders the tone itself, noting which thread placed each change, and that keeps
// the audio thread waiting on it until the test lets it go.
class HoldingRenderer final : public AudioOutput, public ToneRendering {
public:
    std::mutex mutex;
    std::condition_variable changed;
    bool waiting = false, released = false;
    std::vector<std::thread::id> placedBy;

private:
    bool startStream(std::string&) override { return true; }
    void stopStream() override {}
    bool wait(std::chrono::milliseconds) override {
        std::unique_lock lock(mutex);
        waiting = true;
        changed.notify_all();
        if (!changed.wait_for(lock, 10s, [this] { return released; })) return false;
        lock.unlock();
        std::this_thread::sleep_for(1ms);
        return ++waits_, true;
    }
    std::size_t writableFrames() override { return 0; }
    bool write(std::span<const float>) override { return true; }
    Standing standing() override { return {0, std::chrono::steady_clock::now()}; }
    bool rewind(std::size_t) override { return false; }
    std::size_t queuedFrames() override { return 0; }
    ToneRendering* toneRendering() override { return this; }
    bool place(std::size_t, std::optional<std::uint32_t>) override {
        const std::lock_guard lock(mutex);
        placedBy.push_back(std::this_thread::get_id());
        return true;
    }
    std::size_t lateFrames() const override { return 0; }
    std::size_t heardFrames() const override { return waits_; }
    bool heardOut(std::size_t) const override { return false; }

    std::atomic<std::size_t> waits_{0};
};

TEST(SoundSystemSink, WhileTheStreamPlaysTheCallerPlacesItsChangeItself) {
    std::atomic<HoldingRenderer*> renderer{nullptr};
    SoundSystemSink sink({{"a renderer", "", nullptr,
                           [&renderer](int, std::string&) -> std::unique_ptr<AudioOutput> {
                               auto output = std::make_unique<HoldingRenderer>();
                               renderer = output.get();
                               return output;
                           }}});
    sink.setTone(2711u);
    ASSERT_TRUE(eventually([&] {
        HoldingRenderer* const opened = renderer;
        if (opened == nullptr) return false;
        const std::lock_guard lock(opened->mutex);
        return opened->waiting;
    }));
    sink.setTone(1193u);
    std::this_thread::sleep_for(1ms);  // on a frame of its own
    sink.setTone(std::nullopt);
    HoldingRenderer& opened = *renderer;
    std::unique_lock lock(opened.mutex);
    const auto here = std::this_thread::get_id();
    EXPECT_EQ(opened.placedBy, (std::vector{opened.placedBy.front(), here, here}))
        << "the opening by the audio thread, the rest by this one before the audio thread woke";
    EXPECT_NE(opened.placedBy.front(), here);
    opened.released = true;
    opened.changed.notify_all();
}

}  // namespace
}  // namespace beep
