// The last few measurements of a delay that varies with how busy the machine is: a lead built
// on the worst of them follows what this machine does now rather than a fixed worst case. (The
// audio thread's wake-ups after a change span several tones this way; the round trips of
// PulseAudio's timings, one a request, the last 130 ms or so.) A change later still than the
// lead is heard late (and its tone's later changes as late), never lost.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <optional>

namespace beep {

class RecentWorst {
public:
    static constexpr std::size_t kRemembered = 32;

    void note(std::chrono::nanoseconds value) {
        values_[next_++ % kRemembered] = std::max(value, std::chrono::nanoseconds::zero());
    }

    // Nothing until a first measurement.
    std::optional<std::chrono::nanoseconds> worst() const {
        if (next_ == 0) return std::nullopt;
        return *std::max_element(values_.begin(), values_.begin() + count());
    }

private:
    std::ptrdiff_t count() const { return std::ptrdiff_t(std::min(next_, kRemembered)); }

    std::array<std::chrono::nanoseconds, kRemembered> values_{};
    std::size_t next_ = 0;
};

}  // namespace beep
