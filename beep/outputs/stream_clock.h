// When frame 0 of a stream is heard, on the system clock, from the server's timings: each gives
// an estimate that is late by however long the timing took, never early. The earliest is kept,
// rising only as fast as two clocks can drift apart. The stream itself may come to play later
// than that for good: a stall that the server does not make up, or a cycle of PipeWire's graph
// it missed (a machine held back for milliseconds), after which it plays a period later. Such a
// slip is followed where every estimate for a while was later than the clock.
#pragma once

#include <algorithm>
#include <optional>

#include "timing.h"

namespace beep {

class StreamClock {
public:
    void reset() { origin_.reset(); }

    // An estimate of when frame 0 is heard, from a timing taken at `taken`; both in seconds.
    void note(double estimate, double taken) {
        if (!origin_) {
            origin_ = estimate;
            startWindow(estimate, taken);
            takenAt_ = taken;
            return;
        }
        const double drift = kClockDriftRate * std::max(0.0, taken - takenAt_);
        takenAt_ = taken;
        if (estimate >= *origin_ + drift + kClockJumpSeconds) {
            origin_ = estimate;
            startWindow(estimate, taken);
            return;
        }
        origin_ = std::min(estimate, *origin_ + drift);
        windowEarliest_ = std::min(windowEarliest_, estimate);
        if (taken - windowStart_ >= kClockWindowSeconds) {
            if (windowEarliest_ > *origin_ + kClockSlipSeconds) origin_ = windowEarliest_;
            startWindow(estimate, taken);
        }
    }

    // When frame 0 is heard, once there was a timing.
    std::optional<double> origin() const { return origin_; }

private:
    void startWindow(double estimate, double taken) {
        windowEarliest_ = estimate;
        windowStart_ = taken;
    }

    std::optional<double> origin_;
    double takenAt_ = 0;         // of the last estimate
    double windowEarliest_ = 0;  // the earliest estimate since windowStart_
    double windowStart_ = 0;
};

}  // namespace beep
