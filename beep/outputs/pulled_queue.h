// The tone for a graph that pulls it a period at a time (PipeWire's): each cycle of the graph
// renders its own period, on the graph's real-time thread, applying each change of tone at the
// frame it was placed at. The audio thread, or the caller that made the change, places the changes
// through a lock-free ring and reads where the stream stands from what the last cycle published:
// nothing a cycle does waits on another thread. Each cycle says when its first frame is heard,
// which places the stream on the clock.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "audio_output.h"
#include "spsc_ring.h"
#include "square_synth.h"
#include "stream_clock.h"
#include "tone_rendering.h"

namespace beep {

class PulledQueue final : public ToneRendering {
public:
    // When a cycle's first frame is heard, and when the cycle ran: monotonic seconds. The
    // difference is the delay to the device.
    struct CycleTiming {
        double ranAt = 0;
        double heardAt = 0;
    };
    // Where the stream stands for placing a change, from `now` on (monotonic seconds).
    struct Placement {
        std::size_t firstReplaceable = 0;  // the first frame a cycle has not begun
        std::optional<double> frameZero;   // when frame 0 is heard
        double leadSeconds = 0;            // the longest a change can wait to be heard
        double floorSeconds = 0;           // the graph's period and delay to the device
    };
    // Changes placed and not yet reached by a cycle: a few a frame through a lead of 85 ms, for a
    // program that toggles the gate as fast as it can call (a caller gives the first change of a
    // frame at once and leaves the rest to the audio thread, which gives the last at each wake).
    static constexpr std::size_t kWaitingChanges = 4096;

    // `period` is taken to be the graph's until a cycle says otherwise.
    explicit PulledQueue(std::size_t period) : synth_(kAudioSampleRateHz) {
        Status status;
        status.periodFrames = period;
        status_.publish(status);
    }

    // The placing side: the audio thread, or a caller placing its own change, one at a time.

    // A new stream, taken to start at `now`: frame 0 is heard then, and its first cycle
    // passes over the silence due by the time that cycle is heard, so that what follows keeps
    // to the time it was placed for, however late the first cycle comes. Changes placed in the
    // stream before are dropped, and the next cycle starts from silence.
    void restart(double now) {
        startedAt_.store(now, std::memory_order_relaxed);
        generation_.store(++placingGeneration_, std::memory_order_release);
        placed_ = 0;
    }

    // A cycle that has already begun past the frame applies the change at the start of the
    // next one.
    bool place(std::size_t frame, std::optional<std::uint32_t> tone) override {
        if (!changes_.push(
                {frame, tone.value_or(0), static_cast<std::uint32_t>(placingGeneration_)}))
            return false;
        ++placed_;
        return true;
    }

    // A change waits for the next cycle at worst and is heard the device's delay after it;
    // `slack` is for that cycle coming late and for the change to be placed.
    Placement placement(double now, double slack) const {
        const Status status = current();
        const double period = double(status.periodFrames) / kAudioSampleRateHz;
        const double delay = double(status.delayFrames) / kAudioSampleRateHz;
        const double startedAt = startedAt_.load(std::memory_order_relaxed);
        Placement placement;
        if (!std::isnan(status.lastCycle)) {
            // The next cycle takes its period once it is near.
            placement.firstReplaceable = status.taken;
            if (now + slack >= status.lastCycle + period)
                placement.firstReplaceable += status.periodFrames;
            placement.frameZero = status.origin;
        } else {
            // The first timed cycle comes within a period and passes over what is due by then;
            // untimed ones (the graph's clock not yet running) may have taken more already.
            const double due = now + slack + period + delay - startedAt;
            placement.firstReplaceable = static_cast<std::size_t>(
                std::ceil(std::max(0.0, due) * kAudioSampleRateHz - kSameFrameTolerance));
            if (status.taken > 0)
                placement.firstReplaceable =
                    std::max(placement.firstReplaceable, status.taken + status.periodFrames);
            placement.frameZero = startedAt;
        }
        placement.floorSeconds = period + delay;
        placement.leadSeconds = placement.floorSeconds + slack;
        return placement;
    }

    std::size_t lateFrames() const override { return current().lateFrames; }

    std::size_t heardFrames() const override { return heard(current()); }

    bool heardOut(std::size_t silence) const override {
        const Status status = current();
        return status.applied == placed_ && status.silent != 0 &&
               heard(status) >= status.audibleUntil + silence;
    }

    // The graph's side: one cycle, rendering `period` and applying the changes that fall in it.
    void take(std::span<float> period, std::optional<CycleTiming> timing) {
        if (const std::uint64_t generation = generation_.load(std::memory_order_acquire);
            generation != cycle_.generation) {
            const Status last = cycle_.status;
            cycle_ = Cycle{};
            cycle_.generation = generation;
            cycle_.status.periodFrames = last.periodFrames;
            cycle_.status.delayFrames = last.delayFrames;
            cycle_.startedAt = startedAt_.load(std::memory_order_relaxed);
            synth_ = SquareWaveSynth(kAudioSampleRateHz);
            clock_.reset();
        }
        if (timing) {
            if (std::isnan(cycle_.status.lastCycle)) passOverWhatIsDue(timing->heardAt);
            clock_.note(timing->heardAt - double(cycle_.status.taken) / kAudioSampleRateHz,
                        timing->ranAt);
            cycle_.status.lastCycle = timing->ranAt;
            cycle_.status.origin = clock_.origin().value_or(cycle_.startedAt);
            cycle_.status.delayFrames = static_cast<std::size_t>(
                std::lround(std::max(0.0, timing->heardAt - timing->ranAt) * kAudioSampleRateHz));
        }
        const std::size_t from = cycle_.status.taken;
        for (std::size_t at = 0; at < period.size();) {
            const PlacedChange* change = nextChange();
            if (change != nullptr && change->frame >= from + period.size()) change = nullptr;
            const std::size_t until =
                change == nullptr ? period.size()
                                  : std::max(at, change->frame - std::min(change->frame, from));
            render(period.subspan(at, until - at), from + at);
            at = until;
            if (change != nullptr) {
                // Placed in a cycle already begun: applied here, and said to be this late.
                cycle_.status.lateFrames += from + at - std::min(from + at, change->frame);
                synth_.setTone(change->divisor != 0 ? std::optional(change->divisor)
                                                    : std::nullopt);
                changes_.pop();
                ++cycle_.status.applied;
            }
        }
        cycle_.status.taken += period.size();
        cycle_.status.periodFrames = period.size();
        cycle_.status.silent = synth_.silent() ? 1 : 0;
        cycle_.status.generation = cycle_.generation;
        status_.publish(cycle_.status);
    }

private:
    struct PlacedChange {
        std::size_t frame = 0;
        std::uint32_t divisor = 0;     // 0: the gate closes
        std::uint32_t generation = 0;  // its low bits
    };
    // What the last cycle found, for the audio thread. Frames are counted from the start of the
    // stream; the period and the delay to the device are kept for the next stream.
    struct Status {
        std::uint64_t generation = 0;
        std::size_t taken = 0;                                        // by the graph
        double lastCycle = std::numeric_limits<double>::quiet_NaN();  // when it ran; NaN: none
        double origin = 0;                                            // when frame 0 is heard
        std::size_t periodFrames = 0;
        std::size_t delayFrames = 0;
        std::uint64_t applied = 0;     // changes
        std::size_t audibleUntil = 0;  // the frame after the last one that was not silent
        std::uint64_t silent = 1;      // the synth, at the end of the cycle
        std::size_t lateFrames = 0;    // how much later than placed the changes were, in all
    };
    // The graph thread's own.
    struct Cycle {
        std::uint64_t generation = 0;
        double startedAt = 0;
        Status status;
    };

    // Frames taken by the graph that have gone on to the device.
    static std::size_t heard(const Status& status) {
        return status.taken - std::min(status.taken, status.delayFrames);
    }

    // What the last cycle of this stream found; before any, the graph as the last stream found it.
    Status current() const {
        Status status = status_.read();
        if (status.generation == placingGeneration_) return status;
        Status fresh;
        fresh.periodFrames = status.periodFrames;
        fresh.delayFrames = status.delayFrames;
        return fresh;
    }

    // The next change of this stream, passing over those placed in an earlier one; one placed
    // in a stream restarted since this cycle began waits for that stream's cycles.
    const PlacedChange* nextChange() {
        const auto cycleGeneration = static_cast<std::uint32_t>(cycle_.generation);
        const PlacedChange* change = changes_.front();
        while (change != nullptr &&
               static_cast<std::int32_t>(change->generation - cycleGeneration) < 0) {
            changes_.pop();
            change = changes_.front();
        }
        return change != nullptr && change->generation == cycleGeneration ? change : nullptr;
    }

    void render(std::span<float> frames, std::size_t first) {
        if (frames.empty()) return;
        const bool audible = !synth_.silent();
        synth_.render(frames);
        if (audible) cycle_.status.audibleUntil = first + frames.size();
    }

    // Up to the frame heard at `heardAt`, what is silent; a tone placed earlier than that
    // starts late, and the clock says so. Counted from frame 0, whatever untimed cycles
    // already took.
    void passOverWhatIsDue(double heardAt) {
        if (!synth_.silent()) return;
        const double due = std::round((heardAt - cycle_.startedAt) * kAudioSampleRateHz);
        std::size_t until = due > 0 ? static_cast<std::size_t>(due) : 0;
        if (const PlacedChange* change = nextChange()) until = std::min(until, change->frame);
        cycle_.status.taken = std::max(cycle_.status.taken, until);
    }

    SpscRing<PlacedChange, kWaitingChanges> changes_;
    LatestValue<Status> status_;
    std::atomic<std::uint64_t> generation_{0};  // of the stream, counted by restart()
    std::atomic<double> startedAt_{0};
    // The placing side's own.
    std::uint64_t placingGeneration_ = 0;
    std::uint64_t placed_ = 0;  // changes, in this stream
    // The graph thread's own.
    Cycle cycle_;
    SquareWaveSynth synth_;
    StreamClock clock_;
};

}  // namespace beep
