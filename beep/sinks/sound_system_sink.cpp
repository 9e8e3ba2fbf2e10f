#include "sound_system_sink.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <deque>

#include "realtime_priority.h"
#include "square_synth.h"
#include "tone_rendering.h"

namespace beep {

namespace {

constexpr std::uint64_t kDivisorMask = 0xFFFFFFFFu;
constexpr std::chrono::milliseconds kLongestWait{20};
// A stream that has played nothing for this long is gone (its sink went away, and the server
// left it unlinked rather than ending it): waiting on for it would wake the thread for ever.
constexpr std::chrono::milliseconds kStalledLimit{1000};
using SteadyClock = std::chrono::steady_clock;

std::uint32_t divisorOf(std::uint64_t state) {
    return static_cast<std::uint32_t>(state & kDivisorMask);
}
std::uint32_t openingOf(std::uint64_t state) {
    return static_cast<std::uint32_t>(state >> 32);
}

}  // namespace

// One stream, from the opening of the gate until the tone has been silent for kHoldAfterTone.
// The server's queue is kept full. Each change of tone is placed at the frame heard one lead
// (kChangeLead, or more where the output needs it) after the change was made: what was written
// from there on is taken back and the synth resumes from that exact frame, so that the change
// is heard within milliseconds with the phase running on; a frame not yet written is waited
// for. A change that could only land later than that (the stream was slow to start, the device
// works further ahead) makes the tone's later changes as late, so that a tone lasts exactly as
// long as its gate was open. An output that renders the tone itself is given the changes at
// their frames instead, and nothing is written to it.
class StreamPlayer {
public:
    StreamPlayer(AudioOutput& output, const SoundSystemSink& sink, WakeMargin& wakes)
        : output_(output),
          sink_(sink),
          wakes_(wakes),
          rendering_(output.toneRendering()),
          synth_(kAudioSampleRateHz) {}

    // The stream starts with the tone that opened it placed like any other change, one lead
    // after the gate opened, and silence up to there: nothing written has to be taken back.
    // False where the output was lost.
    bool start() {
        const std::optional<std::uint32_t> tone = sink_.currentTone();
        if (!tone) {
            // The gate opened and closed again while the stream was being opened (the first
            // tone of a process also connects, and on a busy machine that can outlast a short
            // gate): the tone is still heard, late, and as long as its gate was open.
            const auto [divisor, openedAt] = sink_.lastOpening();
            if (divisor != 0) {
                schedule(divisor, openedAt);
                scheduled_ = divisor;
            }
        }
        schedule(tone, sink_.lastChangeAt());
        scheduled_ = tone;
        return topUp();
    }

    // Plays until the hold after the tone is over (true), or the output is lost (false).
    bool play() {
        std::size_t played = 0;
        SteadyClock::time_point movedAt = SteadyClock::now();
        while (!sink_.stopping_) {
            const std::uint64_t state = sink_.state_.load(std::memory_order_acquire);
            const std::optional<std::uint32_t> tone =
                divisorOf(state) != 0 ? std::optional(divisorOf(state)) : std::nullopt;
            if (tone != scheduled_) {
                const SteadyClock::time_point changedAt = sink_.lastChangeAt();
                wakes_.note(SteadyClock::now() - changedAt);
                schedule(tone, changedAt);
                scheduled_ = tone;
            }
            if (!topUp()) return false;
            if (!tone && pending_.empty() && heardOutFor(std::chrono::milliseconds(0)))
                sink_.heardOut_.store(state, std::memory_order_release);
            if (!tone && pending_.empty() && heardOutFor(SoundSystemSink::kHoldAfterTone)) {
                output_.stopStream();
                return true;
            }
            if (!output_.wait(kLongestWait)) return false;
            if (const std::size_t now = playedFrames(); now != played) {
                played = now;
                movedAt = SteadyClock::now();
            } else if (SteadyClock::now() - movedAt > kStalledLimit) {
                return false;
            }
        }
        return true;
    }

private:
    // The synth as it stood at one frame of the stream (the start of a chunk, or a change), for
    // rewriting from there.
    struct Snapshot {
        std::size_t frame;
        SquareWaveSynth synth;
    };
    // A change of tone and the frame it was placed at.
    struct Change {
        std::size_t frame;
        std::optional<std::uint32_t> tone;
    };
    // Where a change was placed, and when it was asked to be heard.
    struct Placed {
        std::size_t frame;
        SteadyClock::time_point asked;
    };
    static constexpr std::size_t kChunkFrames = SoundSystemSink::kChunkFrames;
    static constexpr std::size_t kHistoryFrames = framesIn(kQueuedAudio) + 2 * kChunkFrames;
    // Lateness below this is the rounding to a whole frame, not a late change.
    static constexpr std::chrono::microseconds kRounding{100};

    void schedule(std::optional<std::uint32_t> tone, SteadyClock::time_point changedAt) {
        const AudioOutput::Standing standing = output_.standing();
        std::size_t earliest = standing.firstReplaceable;
        if (!history_.empty()) earliest = std::max(earliest, history_.front().frame);
        if (tone && !scheduled_) {
            // A new tone: it need not be as late as the last one, only not before its end.
            opening_.reset();
            bump_ = {};
            // Sound that is written ahead has to be rewritten in time, and how far ahead the
            // server reads is known only roughly: the fixed lead covers it. A tone rendered by
            // the output needs only the stream's own lead and this thread's lateness.
            lead_ = rendering_ != nullptr
                        ? std::chrono::duration_cast<SteadyClock::duration>(standing.lead +
                                                                            wakes_.margin())
                        : std::max<SteadyClock::duration>(kChangeLead, standing.lead);
            earliest = std::max(earliest, lastClose_);
        }
        const SteadyClock::time_point asked = changedAt + lead_;
        // A stream that has not started playing is taken to start now: it can only start
        // later, and the change is then heard later than asked, never sooner.
        const SteadyClock::time_point frameZero = standing.frameZero.value_or(SteadyClock::now());
        // Each change is heard as much later than asked as the tone's opening was: that
        // lateness is measured again with what is now known of the stream's clock, so that a
        // better clock corrects the tone in progress too. Without a clock yet, a gate that
        // closes (before the stream plays: its first tone still connecting, a busy server)
        // keeps its distance from the opening, and the tone its length.
        SteadyClock::duration lag = bump_;
        if (opening_ && (standing.frameZero || !tone))
            lag += heardAt(frameZero, opening_->frame) - opening_->asked;
        const SteadyClock::time_point target = asked + lag;
        const double wanted = std::ceil(std::chrono::duration<double>(target - frameZero).count() *
                                        kAudioSampleRateHz);
        std::size_t frame = wanted > double(earliest) ? static_cast<std::size_t>(wanted) : earliest;
        // A later change supersedes whatever was to come after it.
        while (!pending_.empty() && pending_.back().frame >= frame) pending_.pop_back();
        if (rendering_ != nullptr) {
            // What the output was given stays given: a change never comes before it.
            frame = std::max(frame, placedUntil_);
            pending_.push_back({frame, tone});
        } else {
            if (frame < written_ && !rewindTo(frame)) frame = written_;
            if (frame <= written_)
                synth_.setTone(tone);
            else
                pending_.push_back({frame, tone});
        }
        if (!tone) lastClose_ = frame;
        if (!opening_) {
            opening_ = Placed{frame, asked};
        } else if (standing.frameZero) {
            // Could not be heard that soon: every later change as late.
            const auto late = heardAt(*standing.frameZero, frame) - target;
            if (late > kRounding) bump_ += late;
        }
    }

    static SteadyClock::time_point heardAt(SteadyClock::time_point frameZero, std::size_t frame) {
        return frameZero + std::chrono::duration_cast<SteadyClock::duration>(
                               std::chrono::duration<double>(double(frame) / kAudioSampleRateHz));
    }

    // Takes back the frames from `frame` on, and runs the synth from the snapshot before that
    // frame forward to it exactly.
    bool rewindTo(std::size_t frame) {
        if (history_.empty() || frame < history_.front().frame || !output_.rewind(written_ - frame))
            return false;
        auto snapshot = std::prev(
            std::upper_bound(history_.begin(), history_.end(), frame,
                             [](std::size_t f, const Snapshot& s) { return f < s.frame; }));
        synth_ = snapshot->synth;
        block_.resize(frame - snapshot->frame);
        synth_.render(block_);
        history_.erase(std::next(snapshot), history_.end());
        takenBack_ += written_ - frame;
        written_ = frame;
        audibleUntil_ = std::min(audibleUntil_, frame);
        return true;
    }

    // Keeps the server's queue full, in whole chunks, each with its snapshot; a change waiting
    // for its frame comes in there, with a snapshot of its own. What was taken back is written
    // again at once, whatever the server has asked for: the change goes out now, and the queue
    // does not run short until the server's next request.
    bool topUp() {
        if (rendering_ != nullptr) {
            // Those the output has no room for yet wait for the next wake-up.
            while (!pending_.empty() &&
                   rendering_->place(pending_.front().frame, pending_.front().tone)) {
                placedUntil_ = pending_.front().frame;
                pending_.pop_front();
            }
            return true;
        }
        const std::size_t chunks = std::max(output_.writableFrames(), takenBack_) / kChunkFrames;
        if (chunks == 0) return true;
        block_.resize(chunks * kChunkFrames);
        for (std::size_t at = 0; at < block_.size();) {
            if (at % kChunkFrames == 0) history_.push_back({written_ + at, synth_});
            std::size_t until = (at / kChunkFrames + 1) * kChunkFrames;
            if (!pending_.empty()) {
                if (pending_.front().frame <= written_ + at) {
                    synth_.setTone(pending_.front().tone);
                    pending_.pop_front();
                    if (history_.back().frame == written_ + at) history_.pop_back();
                    history_.push_back({written_ + at, synth_});
                    continue;
                }
                until = std::min(until, pending_.front().frame - written_);
            }
            const bool audible = !synth_.silent();
            synth_.render(std::span(block_).subspan(at, until - at));
            if (audible) audibleUntil_ = written_ + until;
            at = until;
        }
        if (!output_.write(block_)) return false;
        written_ += block_.size();
        takenBack_ -= std::min(takenBack_, block_.size());
        while (history_.size() > 1 && history_[1].frame + kHistoryFrames <= written_)
            history_.pop_front();
        return true;
    }

    std::size_t playedFrames() {
        if (rendering_ != nullptr) return rendering_->heardFrames();
        return written_ - std::min(written_, output_.queuedFrames());
    }

    // The tone has ended and `silence` after it has played.
    bool heardOutFor(std::chrono::milliseconds silence) {
        if (rendering_ != nullptr) return rendering_->heardOut(framesIn(silence));
        if (!synth_.silent()) return false;
        return playedFrames() >= audibleUntil_ + framesIn(silence);
    }

    AudioOutput& output_;
    const SoundSystemSink& sink_;
    WakeMargin& wakes_;
    ToneRendering* rendering_;     // where the output renders the tone itself
    std::size_t placedUntil_ = 0;  // the frame of the last change given to it
    SquareWaveSynth synth_;
    std::deque<Snapshot> history_;  // those that may still be rewritten from, oldest first
    std::deque<Change> pending_;    // past the write position, or not yet given to the output
    std::size_t written_ = 0;
    std::size_t takenBack_ = 0;     // rewound and not yet written again
    std::size_t audibleUntil_ = 0;  // the frame after the last one that was not silent
    std::optional<std::uint32_t> scheduled_;
    std::optional<Placed> opening_;  // of the tone now sounding or last sounded
    SteadyClock::duration bump_{0};  // how much later still, where a change could not be as soon
    std::size_t lastClose_ = 0;      // the frame where the last tone ended
    SteadyClock::duration lead_ = kChangeLead;  // for every change of the tone
    std::vector<float> block_;
};

std::vector<SoundSystemSink::OutputOpener> SoundSystemSink::defaultOutputs() {
    std::vector<OutputOpener> openers;
    for (const AudioBackend& backend : chosenSoundWays().ways) openers.emplace_back(backend.open);
    return openers;
}

SoundSystemSink::SoundSystemSink(std::vector<OutputOpener> outputs,
                                 std::chrono::milliseconds betterWayRetry)
    : outputs_(std::move(outputs)),
      betterWayRetry_(betterWayRetry),
      wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

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
    const std::int64_t nowNs = SteadyClock::now().time_since_epoch().count();
    if (divisor && divisorOf(previous) == 0) {
        ++opening;
        openedAtNs_.store(nowNs, std::memory_order_relaxed);
    }
    if (divisor) lastDivisor_.store(*divisor, std::memory_order_relaxed);
    changedAtNs_.store(nowNs, std::memory_order_relaxed);
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

void SoundSystemSink::finishTone() noexcept {
    const auto until = SteadyClock::now() + kFinishLimit;
    for (;;) {
        const std::uint64_t state = state_.load(std::memory_order_acquire);
        if (divisorOf(state) != 0 || heardOut_.load(std::memory_order_acquire) == state ||
            SteadyClock::now() >= until)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::optional<std::uint32_t> SoundSystemSink::currentTone() const {
    const std::uint32_t divisor = divisorOf(state_.load(std::memory_order_acquire));
    return divisor != 0 ? std::optional(divisor) : std::nullopt;
}

std::chrono::steady_clock::time_point SoundSystemSink::lastChangeAt() const {
    return SteadyClock::time_point(
        SteadyClock::duration(changedAtNs_.load(std::memory_order_relaxed)));
}

std::pair<std::uint32_t, std::chrono::steady_clock::time_point> SoundSystemSink::lastOpening()
    const {
    // Written before the state that announced them, and read after it.
    return {lastDivisor_.load(std::memory_order_relaxed),
            SteadyClock::time_point(
                SteadyClock::duration(openedAtNs_.load(std::memory_order_relaxed)))};
}

void SoundSystemSink::run() {
    std::optional<std::uint32_t> failedOpening;
    while (!stopping_) {
        const std::uint64_t state = state_.load(std::memory_order_acquire);
        if (divisorOf(state) == 0 || failedOpening == openingOf(state)) {
            if (divisorOf(state) == 0) heardOut_.store(state, std::memory_order_release);
            if (divisorOf(state) == 0 && output_ && way_ > 0 && playedSinceTry_ &&
                SteadyClock::now() - betterTriedAt_ >= betterWayRetry_) {
                tryBetterWays();
                continue;
            }
            state_.wait(state, std::memory_order_acquire);
            continue;
        }
        playedSinceTry_ = true;
        if (!playStream()) {
            // Not reconnecting in a loop: the next opening of the gate tries again.
            output_.reset();
            failedOpening = openingOf(state_.load(std::memory_order_acquire));
        }
    }
    // Closed by the thread that opened it: a connection's loop belongs to the thread that
    // entered it, and leaving it from another one is refused.
    output_.reset();
}

bool SoundSystemSink::playStream() {
    std::string refusal;
    // A connection kept from an earlier tone may have gone stale (its server restarted, its
    // sink went): then every way is tried again, the best first.
    if (output_ && !output_->startStream(refusal)) output_.reset();
    if (!output_) {
        auto playing = firstPlayingWay(outputs_, outputs_.size(), wakeFd_.get(), refusal);
        if (!playing) return false;
        output_ = std::move(playing->output);
        way_ = playing->way;
        betterTriedAt_ = SteadyClock::now();
    }
    StreamPlayer player(*output_, *this, wakeMargin_);
    if (!player.start()) return false;
    // Asked only now, so that a slow answer from the system bus cannot hold up the first tone;
    // the queue covers the thread until then.
    if (!priorityAsked_) {
        raiseThreadPriority();
        priorityAsked_ = true;
    }
    return player.play();
}

void SoundSystemSink::tryBetterWays() {
    betterTriedAt_ = SteadyClock::now();
    playedSinceTry_ = false;
    std::string refusal;
    auto better = firstPlayingWay(outputs_, way_, wakeFd_.get(), refusal);
    if (!better) return;
    better->output->stopStream();
    output_ = std::move(better->output);
    way_ = better->way;
}

}  // namespace beep
