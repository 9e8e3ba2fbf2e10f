#include "sound_system_sink.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "realtime_priority.h"
#include "square_synth.h"

namespace beep {

namespace {

constexpr std::uint64_t kDivisorMask = 0xFFFFFFFFu;
constexpr std::chrono::milliseconds kLongestWait{20};
using SteadyClock = std::chrono::steady_clock;

std::uint32_t divisorOf(std::uint64_t state) {
    return static_cast<std::uint32_t>(state & kDivisorMask);
}
std::uint32_t openingOf(std::uint64_t state) {
    return static_cast<std::uint32_t>(state >> 32);
}

}  // namespace

// One stream, from the opening of the gate until the tone has been silent for kHoldAfterTone.
// The server's queue is kept full; a change of tone takes back what will not have played one
// lead after the change, and the synth resumes from that exact frame, so that the change is
// heard within milliseconds with the phase running on.
class StreamPlayer {
public:
    StreamPlayer(AudioOutput& output, const SoundSystemSink& sink)
        : output_(output), sink_(sink), synth_(kAudioSampleRateHz) {}

    // The stream starts silent; the tone that opened it comes in like any other change, one
    // lead after the gate opened. False where the output was lost.
    bool start() { return topUp(); }

    // Plays until the hold after the tone is over (true), or the output is lost (false).
    bool play() {
        while (!sink_.stopping_) {
            const std::optional<std::uint32_t> tone = sink_.currentTone();
            if (tone != applied_) {
                rewriteUnplayed();
                synth_.setTone(tone);
                applied_ = tone;
            }
            if (!topUp()) return false;
            if (!tone && holdIsOver()) {
                output_.stopStream();
                return true;
            }
            if (!output_.wait(kLongestWait)) return false;
        }
        return true;
    }

private:
    // The synth as it stood at the start of one chunk of the stream, for rewriting from there.
    struct Snapshot {
        std::size_t frame;
        SquareWaveSynth synth;
    };
    static constexpr std::size_t kChunkFrames = SoundSystemSink::kChunkFrames;
    static constexpr std::size_t kHistoryChunks = framesIn(kQueuedAudio) / kChunkFrames + 2;

    // Takes back what will not play before a fixed lead after the change, and runs the synth
    // from the snapshot before that frame forward to it exactly.
    void rewriteUnplayed() {
        if (history_.empty()) return;
        const std::size_t frames = std::min(output_.replaceableFrames(sink_.sinceLastChange()),
                                            written_ - history_.front().frame);
        if (frames == 0 || !output_.rewind(frames)) return;
        const std::size_t from = written_ - frames;
        auto snapshot = std::prev(
            std::upper_bound(history_.begin(), history_.end(), from,
                             [](std::size_t frame, const Snapshot& s) { return frame < s.frame; }));
        synth_ = snapshot->synth;
        block_.resize(from - snapshot->frame);
        synth_.render(block_);
        history_.erase(std::next(snapshot), history_.end());
        written_ = from;
        audibleUntil_ = std::min(audibleUntil_, from);
    }

    // Keeps the server's queue full, in whole chunks, each with its snapshot.
    bool topUp() {
        const std::size_t chunks = output_.writableFrames() / kChunkFrames;
        if (chunks == 0) return true;
        block_.resize(chunks * kChunkFrames);
        for (std::size_t i = 0; i < chunks; ++i) {
            history_.push_back({written_ + i * kChunkFrames, synth_});
            synth_.render(std::span(block_).subspan(i * kChunkFrames, kChunkFrames));
            if (!synth_.silent()) audibleUntil_ = written_ + (i + 1) * kChunkFrames;
        }
        if (!output_.write(block_)) return false;
        written_ += block_.size();
        while (history_.size() > kHistoryChunks) history_.pop_front();
        return true;
    }

    // The tone has ended and kHoldAfterTone of silence after it has played.
    bool holdIsOver() {
        if (!synth_.silent()) return false;
        const std::size_t played = written_ - std::min(written_, output_.queuedFrames());
        return played >= audibleUntil_ + framesIn(SoundSystemSink::kHoldAfterTone);
    }

    AudioOutput& output_;
    const SoundSystemSink& sink_;
    SquareWaveSynth synth_;
    std::deque<Snapshot> history_;  // one per chunk written that may still be rewritten
    std::size_t written_ = 0;
    std::size_t audibleUntil_ = 0;  // the frame after the last one that was not silent
    std::optional<std::uint32_t> applied_;
    std::vector<float> block_;
};

std::vector<SoundSystemSink::OutputOpener> SoundSystemSink::defaultOutputs() {
    std::vector<OutputOpener> openers;
    for (const AudioBackend& backend : audioBackends()) openers.emplace_back(backend.open);
    return openers;
}

SoundSystemSink::SoundSystemSink(std::vector<OutputOpener> outputs)
    : outputs_(std::move(outputs)), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SoundSystemSink::~SoundSystemSink() {
    stopping_ = true;
    state_.fetch_add(std::uint64_t{1} << 32);
    state_.notify_all();
    wakeAudioThread();
    if (thread_.joinable()) thread_.join();
}

void SoundSystemSink::wakeAudioThread() noexcept {
    const std::uint64_t one = 1;
    if (wakeFd_) [[maybe_unused]]
        const auto sent = ::write(wakeFd_.get(), &one, sizeof one);
}

void SoundSystemSink::setTone(std::optional<std::uint32_t> divisor) noexcept {
    // One caller at a time (see ToneSink), so the load and the store need no loop.
    const std::uint64_t previous = state_.load(std::memory_order_relaxed);
    std::uint32_t opening = openingOf(previous);
    if (divisor && divisorOf(previous) == 0) ++opening;
    changedAtNs_.store(SteadyClock::now().time_since_epoch().count(), std::memory_order_relaxed);
    state_.store((std::uint64_t{opening} << 32) | (divisor ? *divisor : 0u),
                 std::memory_order_release);
    state_.notify_one();
    wakeAudioThread();
    if (divisor && !thread_.joinable()) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            // No thread, no sound; the caller is never told.
        }
    }
}

std::optional<std::uint32_t> SoundSystemSink::currentTone() const {
    const std::uint32_t divisor = divisorOf(state_.load(std::memory_order_acquire));
    return divisor != 0 ? std::optional(divisor) : std::nullopt;
}

std::chrono::nanoseconds SoundSystemSink::sinceLastChange() const {
    return SteadyClock::now().time_since_epoch() -
           SteadyClock::duration(changedAtNs_.load(std::memory_order_relaxed));
}

std::unique_ptr<AudioOutput> SoundSystemSink::openOutput() {
    for (const auto& open : outputs_) {
        std::string refusal;
        if (auto output = open(wakeFd_.get(), refusal)) return output;
    }
    return nullptr;
}

void SoundSystemSink::run() {
    std::unique_ptr<AudioOutput> output;
    std::optional<std::uint32_t> failedOpening;
    while (!stopping_) {
        const std::uint64_t state = state_.load(std::memory_order_acquire);
        if (divisorOf(state) == 0 || failedOpening == openingOf(state)) {
            state_.wait(state, std::memory_order_acquire);
            continue;
        }
        if (!playStream(output)) {
            // Not reconnecting in a loop: the next opening of the gate tries again.
            output.reset();
            failedOpening = openingOf(state_.load(std::memory_order_acquire));
        }
    }
}

bool SoundSystemSink::playStream(std::unique_ptr<AudioOutput>& output) {
    std::string refusal;
    // A connection kept from an earlier tone may have gone stale: then one new one is tried.
    if (output && !output->startStream(refusal)) output.reset();
    if (!output) {
        output = openOutput();
        if (!output || !output->startStream(refusal)) return false;
    }
    StreamPlayer player(*output, *this);
    if (!player.start()) return false;
    // Asked only now, so that a slow answer from the system bus cannot hold up the first tone;
    // the queue covers the thread until then.
    if (!priorityAsked_) {
        raiseThreadPriority();
        priorityAsked_ = true;
    }
    return player.play();
}

}  // namespace beep
