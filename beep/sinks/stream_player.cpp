#include "stream_player.h"

#include <algorithm>
#include <cmath>

#include "tone_rendering.h"

namespace beep {

namespace {

constexpr std::chrono::milliseconds kLongestWait{20};
// A stream that has played nothing for this long is gone (its sink went away, and the server
// left it unlinked rather than ending it): waiting on for it would wake the thread for ever.
constexpr std::chrono::milliseconds kStalledLimit{1000};

}  // namespace

bool StreamPlayer::start() {
    const PlayedTone::Reading reading = tone_.toneNow();
    seenStamp_ = reading.stamp;
    const std::optional<std::uint32_t> tone = reading.tone;
    if (!tone) {
        // The gate opened and closed again while the stream was being opened (the first
        // tone of a process also connects, and on a busy machine that can outlast a short
        // gate): the tone is still heard, late, and as long as its gate was open.
        const auto [divisor, openedAt] = tone_.lastOpening();
        if (divisor != 0) {
            schedule(divisor, openedAt);
            scheduled_ = divisor;
        }
    }
    schedule(tone, tone_.lastChangeAt());
    scheduled_ = tone;
    return topUp();
}

bool StreamPlayer::play(std::unique_lock<std::mutex>& placing) {
    std::size_t played = 0;
    SteadyClock::time_point movedAt = SteadyClock::now();
    // Once it ends, a change from the caller waits for the audio thread and the next stream.
    const auto lost = [this] {
        finished_ = true;
        return false;
    };
    while (!tone_.stopping()) {
        const PlayedTone::Reading reading = tone_.toneNow();
        const std::optional<std::uint32_t> tone = reading.tone;
        if (reading.stamp != seenStamp_) {
            // Woken by the change: as late to it as to one it has to place itself, whether its
            // caller placed it already or not.
            seenStamp_ = reading.stamp;
            wakes_.note(SteadyClock::now() - tone_.lastChangeAt());
        }
        if (tone != scheduled_) {
            schedule(tone, tone_.lastChangeAt());
            scheduled_ = tone;
        }
        if (!topUp()) return lost();
        if (!tone && pending_.empty() && heardOutFor(std::chrono::milliseconds(0)))
            tone_.heardOut(reading);
        if (!tone && pending_.empty() && heardOutFor(kHoldAfterTone)) {
            finished_ = true;
            placing.unlock();
            output_.stopStream();
            placing.lock();
            return true;
        }
        placing.unlock();
        const bool waited = output_.wait(kLongestWait);
        placing.lock();
        if (!waited) return lost();
        if (const std::size_t now = playedFrames(); now != played) {
            played = now;
            movedAt = SteadyClock::now();
        } else if (SteadyClock::now() - movedAt > kStalledLimit) {
            return lost();
        }
    }
    finished_ = true;
    return true;
}

bool StreamPlayer::follow(std::optional<std::uint32_t> tone, SteadyClock::time_point changedAt) {
    if (rendering_ == nullptr || finished_) return false;
    if (tone != scheduled_) {
        schedule(tone, changedAt);
        scheduled_ = tone;
    }
    // A change on the frame of the last one given is left to the audio thread, which the call
    // wakes, a lead before that frame: there a later change on the same frame supersedes it,
    // where a caller toggling faster than the frames go would fill the output's ring. So is
    // what the output has no room for yet.
    if (!pending_.empty() && placedUntil_ > 0 && pending_.front().frame <= placedUntil_)
        return true;
    return topUp();
}

void StreamPlayer::schedule(std::optional<std::uint32_t> tone, SteadyClock::time_point changedAt) {
    const AudioOutput::Standing standing = output_.standing();
    std::size_t earliest = standing.firstReplaceable;
    if (!history_.empty()) earliest = std::max(earliest, history_.front().frame);
    double notBefore = double(earliest);
    if (rendering_ != nullptr) {
        // The output applied a change later than it was placed (whoever placed it was held up
        // past the cycle it placed it for): the rest of that tone is as late, to keep its length.
        const std::size_t late = rendering_->lateFrames();
        if (late > seenLate_ && scheduled_)
            bump_ += std::chrono::duration_cast<SteadyClock::duration>(
                std::chrono::duration<double>(double(late - seenLate_) / kAudioSampleRateHz));
        seenLate_ = std::max(seenLate_, late);
    }
    if (tone && !scheduled_) {
        // A new tone: it need not be as late as the last one, only not before its end, and a
        // silence since, so that the two do not run into one.
        opening_.reset();
        bump_ = {};
        // The stream's own lead, and the audio thread's lateness to a change as it has been of
        // late: a change its caller places is not as late, but one the caller leaves to the audio
        // thread must not make the tone longer.
        lead_ = std::chrono::duration_cast<SteadyClock::duration>(standing.lead + wakes_.margin());
        tone_.noteLead(standing.floor, lead_);
        if (lastClose_) {
            // As much of the silence as it takes to be heard between them, at most.
            const double silence =
                std::clamp(std::chrono::duration<double>(changedAt - lastClose_->changedAt).count(),
                           0.0, SquareWaveSynth::kRampSeconds);
            notBefore = std::max(notBefore, lastClose_->frame + silence * kAudioSampleRateHz);
        }
    }
    const SteadyClock::time_point asked = changedAt + lead_;
    // A stream that has not started playing, where the output cannot tell when it will, is
    // taken to start now: it can only start later, and the change is then heard later than
    // asked, never sooner.
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
    // When the change is heard, in frames and their fractions: kept exact from one change to
    // the next, so that changes closer together than a frame do not each round up and make
    // every later tone later still. It lands on the first whole frame from there.
    double at = std::max(
        notBefore, std::chrono::duration<double>(target - frameZero).count() * kAudioSampleRateHz);
    const auto landing = static_cast<std::size_t>(std::ceil(at - kSameFrameTolerance));
    std::size_t frame = landing;
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
    if (frame != landing) at = double(frame);
    if (!tone) lastClose_ = Closing{at, changedAt};
    if (!opening_) {
        opening_ = Placed{at, asked};
    } else if (standing.frameZero) {
        // Could not be heard that soon: every later change as late.
        const auto late = heardAt(*standing.frameZero, at) - target;
        if (late > kLatenessRounding) bump_ += late;
    }
}

StreamPlayer::SteadyClock::time_point StreamPlayer::heardAt(SteadyClock::time_point frameZero,
                                                            double frame) {
    return frameZero + std::chrono::duration_cast<SteadyClock::duration>(
                           std::chrono::duration<double>(frame / kAudioSampleRateHz));
}

bool StreamPlayer::rewindTo(std::size_t frame) {
    if (history_.empty() || frame < history_.front().frame || !output_.rewind(written_ - frame))
        return false;
    auto snapshot =
        std::prev(std::upper_bound(history_.begin(), history_.end(), frame,
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

bool StreamPlayer::topUp() {
    if (rendering_ != nullptr) {
        // Those the output has no room for yet wait for the next wake-up.
        while (!pending_.empty() &&
               rendering_->place(pending_.front().frame, pending_.front().tone)) {
            placedUntil_ = pending_.front().frame;
            pending_.pop_front();
        }
        return true;
    }
    std::size_t frames = std::max(output_.writableFrames(), takenBack_);
    // What was taken back goes out a piece at a time, each sent by the main loop's next pass
    // before the next is rendered.
    if (takenBack_ > 0) frames = std::min(frames, framesIn(kRewritePiece));
    const std::size_t chunks = frames / kRenderChunkFrames;
    if (chunks == 0) return true;
    block_.resize(chunks * kRenderChunkFrames);
    for (std::size_t at = 0; at < block_.size();) {
        if (at % kRenderChunkFrames == 0) history_.push_back({written_ + at, synth_});
        std::size_t until = (at / kRenderChunkFrames + 1) * kRenderChunkFrames;
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

std::size_t StreamPlayer::playedFrames() {
    if (rendering_ != nullptr) return rendering_->heardFrames();
    return written_ - std::min(written_, output_.queuedFrames());
}

bool StreamPlayer::heardOutFor(std::chrono::milliseconds silence) {
    if (rendering_ != nullptr) return rendering_->heardOut(framesIn(silence));
    if (!synth_.silent()) return false;
    return playedFrames() >= audibleUntil_ + framesIn(silence);
}

}  // namespace beep
