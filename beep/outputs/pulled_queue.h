// The sound written ahead of a graph that pulls it a period at a time (PipeWire's): the audio
// thread writes and rewrites, each cycle of the graph takes the next period. What a cycle has
// not taken can still be rewritten. Each cycle says when its first frame is heard, which places
// the stream on the clock. Not locked: the caller holds one lock over both sides.
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include "audio_output.h"
#include "stream_clock.h"

namespace beep {

class PulledQueue {
public:
    // When a cycle's first frame is heard, and when the cycle ran: monotonic seconds. The
    // difference is the delay to the device.
    struct CycleTiming {
        double ranAt = 0;
        double heardAt = 0;
    };
    // Where the stream stands for placing a change, from `now` on (monotonic seconds).
    struct Placement {
        std::size_t firstReplaceable = 0;
        std::optional<double> frameZero;  // when frame 0 is heard
        double leadSeconds = 0;           // the longest a change can wait to be heard
    };

    // Room for `depth` frames queued, and as much again, so that what a cycle has yet to take
    // is never overwritten; `period` is taken to be the graph's until a cycle says otherwise.
    PulledQueue(std::size_t depth, std::size_t period)
        : depth_(depth), frames_(2 * depth, 0.0F), period_(period) {}

    // A new stream, taken to start at `now`: frame 0 is heard then, and its first cycle
    // passes over the silence due by the time that cycle is heard, so that what follows keeps
    // to the time it was placed for, however late the first cycle comes.
    void restart(double now) {
        taken_ = 0;
        written_ = 0;
        clock_.reset();
        lastCycle_.reset();
        startedAt_ = now;
    }

    std::size_t writable() const { return depth_ - std::min(depth_, queued()); }
    std::size_t queued() const { return written_ - std::min(written_, taken_); }
    // Queued, and in the graph on its way to the device.
    std::size_t unplayed() const { return queued() + delay_; }

    // At the write position. What a cycle already took (the queue ran short) is passed over.
    void write(std::span<const float> samples) {
        for (std::size_t i = taken_ > written_ ? taken_ - written_ : 0; i < samples.size(); ++i)
            frames_[(written_ + i) % frames_.size()] = samples[i];
        written_ += samples.size();
    }

    bool rewind(std::size_t frames) {
        if (frames > written_) return false;
        written_ -= frames;
        return true;
    }

    // One cycle of the graph: fills `period` with the next frames, silence where none were
    // written.
    void take(std::span<float> period, std::optional<CycleTiming> timing) {
        if (timing) {
            if (!lastCycle_) passOverWhatIsDue(timing->heardAt);
            clock_.note(timing->heardAt - double(taken_) / kAudioSampleRateHz, timing->ranAt);
            lastCycle_ = timing->ranAt;
            delay_ = static_cast<std::size_t>(
                std::lround(std::max(0.0, timing->heardAt - timing->ranAt) * kAudioSampleRateHz));
        }
        for (std::size_t i = 0; i < period.size(); ++i)
            period[i] = taken_ + i < written_ ? frames_[(taken_ + i) % frames_.size()] : 0.0F;
        taken_ += period.size();
        period_ = period.size();
    }

    // A change waits for the next cycle at worst and is heard the device's delay after it;
    // `slack` is for that cycle coming late and for the change to be placed.
    Placement placement(double now, double slack) const {
        const double period = double(period_) / kAudioSampleRateHz;
        const double delay = double(delay_) / kAudioSampleRateHz;
        Placement placement;
        std::size_t replaceable = taken_;
        if (lastCycle_) {
            // The next cycle takes its period once it is near.
            if (now + slack >= *lastCycle_ + period) replaceable += period_;
            placement.frameZero = clock_.origin();
        } else {
            // The first cycle comes within a period and passes over what is due by then.
            const double due = now + slack + period + delay - startedAt_;
            replaceable = static_cast<std::size_t>(
                std::ceil(std::max(0.0, due) * kAudioSampleRateHz - kSameFrameTolerance));
            placement.frameZero = startedAt_;
        }
        // Frames a cycle took before they were written (it came before the first write) are
        // gone: what is placed there would be passed over.
        placement.firstReplaceable =
            written_ < taken_ ? replaceable : std::min(written_, replaceable);
        placement.leadSeconds = period + delay + slack;
        return placement;
    }

private:
    // Up to the frame heard at `heardAt`, what is silent; a tone placed earlier than that
    // starts late, and the clock says so. Counted from frame 0, whatever untimed cycles
    // already took.
    void passOverWhatIsDue(double heardAt) {
        const double due = std::round((heardAt - startedAt_) * kAudioSampleRateHz);
        for (const std::size_t until = due > 0 ? static_cast<std::size_t>(due) : 0; taken_ < until;
             ++taken_) {
            if (taken_ < written_ && frames_[taken_ % frames_.size()] != 0.0F) break;
        }
    }

    std::size_t depth_;
    std::vector<float> frames_;  // frame F at F % size
    std::size_t taken_ = 0;      // by the graph
    std::size_t written_ = 0;    // the write position
    StreamClock clock_;
    std::optional<double> lastCycle_;  // when it ran, since the stream started
    double startedAt_ = 0;
    // The graph's period and the delay to the device, in frames, as the last cycle found;
    // kept for the next stream.
    std::size_t period_;
    std::size_t delay_ = 0;
};

}  // namespace beep
