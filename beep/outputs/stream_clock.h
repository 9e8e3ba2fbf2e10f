// When frame 0 of a stream is heard, on the system clock, from the server's timings: each gives
// an estimate that is late by however long the timing took, never early. The earliest is kept,
// rising only as fast as two clocks can drift apart. The stream itself may come to play later
// than that for good: a stall that the server does not make up, or a cycle of PipeWire's graph
// it missed (a machine held back for milliseconds), after which it plays a period later. Such a
// slip is followed where every estimate for a while was later than the clock.
#pragma once

#include <algorithm>
#include <optional>

namespace beep {

class StreamClock {
public:
    // How fast the server's clock and the system's may part: ample for any sound card.
    static constexpr double kDrift = 1e-4;
    // A later estimate by more than this is a stall, followed at once.
    static constexpr double kJumpSeconds = 0.050;
    // Every estimate of a window this long later by more than kSlipSeconds is a slip. Many
    // timings come in such a window, some of them right after a cycle of the server.
    static constexpr double kWindowSeconds = 0.150;
    static constexpr double kSlipSeconds = 0.0015;

    void reset() { origin_.reset(); }

    // An estimate of when frame 0 is heard, from a timing taken at `taken`; both in seconds.
    void note(double estimate, double taken) {
        if (!origin_) {
            origin_ = estimate;
            startWindow(estimate, taken);
            takenAt_ = taken;
            return;
        }
        const double drift = kDrift * std::max(0.0, taken - takenAt_);
        takenAt_ = taken;
        if (estimate >= *origin_ + drift + kJumpSeconds) {
            origin_ = estimate;
            startWindow(estimate, taken);
            return;
        }
        origin_ = std::min(estimate, *origin_ + drift);
        windowEarliest_ = std::min(windowEarliest_, estimate);
        if (taken - windowStart_ >= kWindowSeconds) {
            if (windowEarliest_ > *origin_ + kSlipSeconds) origin_ = windowEarliest_;
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
