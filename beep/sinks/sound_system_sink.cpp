#include "sound_system_sink.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include "realtime_priority.h"
#include "stream_player.h"

namespace beep {

namespace {

constexpr std::uint64_t kDivisorMask = 0xFFFFFFFFu;
using SteadyClock = std::chrono::steady_clock;

std::uint32_t divisorOf(std::uint64_t state) {
    return static_cast<std::uint32_t>(state & kDivisorMask);
}
std::uint32_t openingOf(std::uint64_t state) {
    return static_cast<std::uint32_t>(state >> 32);
}

}  // namespace

SoundSystemSink::SoundSystemSink(std::vector<AudioWay> ways,
                                 std::chrono::milliseconds betterWayRetry)
    : ways_(std::move(ways)),
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
    // Not waited for: where the audio thread has the player in hand, it places the change
    // itself once it lets go. It is woken either way, to follow the tone and to measure how late
    // it comes to a change.
    if (std::unique_lock lock(placing_, std::try_to_lock); lock.owns_lock() && following_) {
        try {
            following_->follow(divisor, SteadyClock::time_point(SteadyClock::duration(nowNs)));
        } catch (...) {
            // Left to the audio thread.
        }
    }
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

PlayedTone::Reading SoundSystemSink::toneNow() const {
    const std::uint64_t state = state_.load(std::memory_order_acquire);
    const std::uint32_t divisor = divisorOf(state);
    return {divisor != 0 ? std::optional(divisor) : std::nullopt, state};
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

bool SoundSystemSink::stopping() const {
    return stopping_;
}

void SoundSystemSink::noteLead(std::chrono::nanoseconds floor, std::chrono::nanoseconds lead) {
    floorNs_.store(floor.count(), std::memory_order_relaxed);
    leadNs_.store(lead.count(), std::memory_order_relaxed);
}

SoundSystemSink::Lead SoundSystemSink::lastLead() const {
    return {std::chrono::nanoseconds(floorNs_.load(std::memory_order_relaxed)),
            std::chrono::nanoseconds(leadNs_.load(std::memory_order_relaxed))};
}

void SoundSystemSink::heardOut(const Reading& closed) {
    heardOut_.store(closed.stamp, std::memory_order_release);
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
        auto playing = firstPlayingWay(ways_, ways_.size(), wakeFd_.get(), refusal);
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
    std::unique_lock placing(placing_);
    if (output_->toneRendering() != nullptr) following_ = &player;
    const bool played = player.play(placing);
    following_ = nullptr;
    return played;
}

void SoundSystemSink::tryBetterWays() {
    betterTriedAt_ = SteadyClock::now();
    playedSinceTry_ = false;
    std::string refusal;
    auto better = firstPlayingWay(ways_, way_, wakeFd_.get(), refusal);
    if (!better) return;
    better->output->stopStream();
    output_ = std::move(better->output);
    way_ = better->way;
}

}  // namespace beep
