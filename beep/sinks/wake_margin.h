// How late the audio thread comes to a change of tone after it was made, kept over the last
// changes: where the output renders the tone itself, this and the stream's own period and delay
// are all a change has to wait for, so the lead follows what this machine does now rather
// than a fixed worst case. A change later still is heard late (and its tone's later changes as
// late), never lost.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>

#include "timing.h"

namespace beep {

class WakeMargin {
public:
    // Enough changes to span several tones, so that one quiet tone does not forget a busy one.
    static constexpr std::size_t kRemembered = 32;

    void note(std::chrono::nanoseconds late) {
        lates_[next_++ % kRemembered] = std::max(late, std::chrono::nanoseconds::zero());
    }

    std::chrono::nanoseconds margin() const {
        if (next_ == 0) return kWakeMarginUnmeasured;
        const std::size_t count = std::min(next_, kRemembered);
        return *std::max_element(lates_.begin(), lates_.begin() + std::ptrdiff_t(count)) +
               kWakeMarginBeyondWorst;
    }

private:
    std::array<std::chrono::nanoseconds, kRemembered> lates_{};
    std::size_t next_ = 0;
};

}  // namespace beep
