// Whether the machine itself held its threads back. A virtual machine whose processors are all
// busy is now and then descheduled by its host for milliseconds; every thread waits then, the
// sound server's real-time ones too, and a server that must finish each period in time (PipeWire's
// graph, 5.3 ms at 256 frames) loses one for every stream that plays. What a stall spoils says
// nothing of the player, so the tests need to know of it.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace vireko::testing {

class StallWatch {
public:
    using Clock = std::chrono::steady_clock;
    // A wake-up this late is a stall. A 5.3 ms period must also hold each node's own wake-up
    // and work, and was seen dropped where the worst wake-up came 2.2 ms and 3.0 ms late, with
    // no stall of 4 ms. An idle machine wakes within half a millisecond.
    static constexpr std::chrono::microseconds kNoticed{2000};
    // Late wake-ups kept, though shorter than a stall: said beside a fault that is judged.
    static constexpr std::chrono::microseconds kKept{1000};

    // One thread on each processor, at a real-time priority above any server's where the
    // system allows it, wakes every millisecond and notes each wake-up that came late.
    StallWatch();
    ~StallWatch();
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    void stop();
    // How late the worst wake-up due from `from` to `to` was, where kKept or more; zero
    // otherwise.
    Clock::duration worstBetween(Clock::time_point from, Clock::time_point to) const;
    // The longest stall (kNoticed or later) from `from` to `to`; zero where there was none.
    Clock::duration longestBetween(Clock::time_point from, Clock::time_point to) const {
        const Clock::duration worst = worstBetween(from, to);
        return worst >= kNoticed ? worst : Clock::duration::zero();
    }

private:
    void watch(unsigned processor);

    struct Stall {
        Clock::time_point due;
        Clock::duration late;
    };
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<Stall> stalls_;
    std::vector<std::thread> threads_;
};

}  // namespace vireko::testing
