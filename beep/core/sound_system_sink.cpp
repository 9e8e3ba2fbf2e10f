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

// The synth as it stood at the start of one chunk of the stream, for rewriting from there.
struct Snapshot {
    std::size_t frame;
    SquareWaveSynth synth;
};

}  // namespace

std::vector<SoundSystemSink::OutputOpener> SoundSystemSink::defaultOutputs() {
    return {[](int wakeFd, std::string& refusal) { return openPulseOutput(wakeFd, refusal); },
            [](int wakeFd, std::string& refusal) { return openAlsaOutput(wakeFd, refusal); }};
}

SoundSystemSink::SoundSystemSink(std::vector<OutputOpener> outputs)
    : outputs_(std::move(outputs)), wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SoundSystemSink::~SoundSystemSink() {
    stopping_ = true;
    state_.fetch_add(std::uint64_t{1} << 32);
    state_.notify_all();
    const std::uint64_t one = 1;
    if (wakeFd_ >= 0) [[maybe_unused]]
        const auto sent = ::write(wakeFd_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    if (wakeFd_ >= 0) ::close(wakeFd_);
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
    const std::uint64_t one = 1;
    if (wakeFd_ >= 0) [[maybe_unused]]
        const auto sent = ::write(wakeFd_, &one, sizeof one);
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

std::unique_ptr<AudioOutput> SoundSystemSink::openOutput() {
    for (const auto& open : outputs_) {
        std::string refusal;
        if (auto output = open(wakeFd_, refusal)) return output;
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

    SquareWaveSynth synth(kAudioSampleRateHz);
    std::deque<Snapshot> history;  // one per chunk written that may still be rewritten
    const std::size_t historyChunks = framesIn(kQueuedAudio) / kChunkFrames + 2;
    std::size_t written = 0;
    std::size_t audibleUntil = 0;  // the frame after the last one that was not silent
    std::optional<std::uint32_t> applied;
    std::vector<float> block;

    // Takes back what will not play before a fixed lead from now and resumes the synth from
    // that frame, so that a change of tone is heard within milliseconds, with the phase running
    // on: from the snapshot before it, the synth is run forward to the frame exactly.
    auto rewrite = [&] {
        if (history.empty()) return;
        const auto sinceChange =
            SteadyClock::now().time_since_epoch() -
            SteadyClock::duration(changedAtNs_.load(std::memory_order_relaxed));
        const std::size_t frames =
            std::min(output->replaceableFrames(sinceChange), written - history.front().frame);
        if (frames == 0 || !output->rewind(frames)) return;
        const std::size_t from = written - frames;
        auto snapshot = std::prev(
            std::upper_bound(history.begin(), history.end(), from,
                             [](std::size_t frame, const Snapshot& s) { return frame < s.frame; }));
        synth = snapshot->synth;
        block.resize(from - snapshot->frame);
        synth.render(block);
        history.erase(std::next(snapshot), history.end());
        written = from;
        audibleUntil = std::min(audibleUntil, from);
    };

    // Keeps the server's queue full.
    auto topUp = [&] {
        const std::size_t chunks = output->writableFrames() / kChunkFrames;
        if (chunks == 0) return true;
        block.resize(chunks * kChunkFrames);
        for (std::size_t i = 0; i < chunks; ++i) {
            history.push_back({written + i * kChunkFrames, synth});
            synth.render(std::span(block).subspan(i * kChunkFrames, kChunkFrames));
            if (!synth.silent()) audibleUntil = written + (i + 1) * kChunkFrames;
        }
        if (!output->write(block)) return false;
        written += block.size();
        while (history.size() > historyChunks) history.pop_front();
        return true;
    };

    // The stream starts silent; the tone that opened it comes in like any other change, one
    // lead after the gate opened.
    if (!topUp()) return false;
    // Asked only now, so that a slow answer from the system bus cannot hold up the first tone;
    // the queue covers the thread until then.
    if (!priorityAsked_) {
        raiseThreadPriority();
        priorityAsked_ = true;
    }
    while (!stopping_) {
        const std::optional<std::uint32_t> tone = currentTone();
        if (tone != applied) {
            rewrite();
            synth.setTone(tone);
            applied = tone;
        }
        if (!topUp()) return false;

        if (!tone && synth.silent()) {
            const std::size_t played = written - std::min(written, output->queuedFrames());
            if (played >= audibleUntil + framesIn(kHoldAfterTone)) {
                output->stopStream();
                return true;
            }
        }
        if (!output->wait(kLongestWait)) return false;
    }
    return true;
}

}  // namespace beep
