// The audio thread's handling of its output: when it opens, retries, and lets the device idle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sound_system_sink.h"

namespace beep {
namespace {

using namespace std::chrono_literals;

// Counts what the audio thread does with its outputs. Writes return at once, so the thread
// runs far faster than real time and five seconds of silence pass in a moment.
struct OutputLog {
    std::atomic<int> opens{0};
    std::atomic<int> open{0};
    std::atomic<long> frames{0};
    std::atomic<bool> refuse{false};
    std::atomic<bool> failWrites{false};
};

class FakeOutput final : public AudioOutput {
public:
    explicit FakeOutput(OutputLog& log) : log_(log) { ++log_.open; }
    ~FakeOutput() override { --log_.open; }
    bool write(std::span<const float> samples) override {
        log_.frames += long(samples.size());
        return !log_.failWrites;
    }

private:
    OutputLog& log_;
};

SoundSystemSink::OutputOpener opener(OutputLog& log) {
    return [&log](std::string& refusal) -> std::unique_ptr<AudioOutput> {
        ++log.opens;
        if (log.refuse) {
            refusal = "no server";
            return nullptr;
        }
        return std::make_unique<FakeOutput>(log);
    };
}

bool eventually(auto&& condition) {
    for (auto until = std::chrono::steady_clock::now() + 5s;
         std::chrono::steady_clock::now() < until;) {
        if (condition()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

TEST(SoundSystemSink, OpensAtTheFirstToneAndClosesOnceSilentForAWhile) {
    OutputLog log;
    SoundSystemSink sink({opener(log)});
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(log.opens, 0) << "nothing is opened before the gate opens";
    sink.setTone(2711u);
    ASSERT_TRUE(eventually([&] { return log.open == 1; }));
    const long framesAtClose = log.frames;
    sink.setTone(std::nullopt);
    ASSERT_TRUE(eventually([&] { return log.open == 0; }));
    const long idleFrames = long(SoundSystemSink::kIdleSeconds * kAudioSampleRateHz);
    EXPECT_GE(log.frames - framesAtClose, idleFrames) << "the stream stays ready after a tone";
    EXPECT_LT(log.frames - framesAtClose, idleFrames + 4800);

    sink.setTone(2711u);
    EXPECT_TRUE(eventually([&] { return log.open == 1 && log.opens == 2; }));
}

TEST(SoundSystemSink, RefusedConnectionIsTriedAgainAtTheNextOpeningOnly) {
    OutputLog log;
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
    EXPECT_TRUE(eventually([&] { return log.open == 1; }));
    EXPECT_EQ(log.opens, 3);
}

TEST(SoundSystemSink, LostOutputIsDroppedAndReopenedAtTheNextOpening) {
    OutputLog log;
    SoundSystemSink sink({opener(log)});
    sink.setTone(2711u);
    ASSERT_TRUE(eventually([&] { return log.open == 1; }));
    log.failWrites = true;
    ASSERT_TRUE(eventually([&] { return log.open == 0; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(log.opens, 1) << "no reconnecting in a loop while the gate stays open";

    log.failWrites = false;
    sink.setTone(std::nullopt);
    sink.setTone(2711u);
    EXPECT_TRUE(eventually([&] { return log.open == 1 && log.opens == 2; }));
}

}  // namespace
}  // namespace beep
