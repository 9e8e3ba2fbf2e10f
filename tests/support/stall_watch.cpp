#include "stall_watch.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

namespace vireko::testing {

namespace {
constexpr int kWatchPriority = 95;  // above PipeWire's data threads (88) and PulseAudio's
constexpr auto kInterval = std::chrono::milliseconds(1);
}  // namespace

StallWatch::StallWatch() {
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned processor = 0; processor < processors; ++processor)
        threads_.emplace_back([this, processor] { watch(processor); });
}

StallWatch::~StallWatch() {
    stop();
}

void StallWatch::stop() {
    stopping_ = true;
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
}

void StallWatch::watch(unsigned processor) {
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(processor, &only);
    pthread_setaffinity_np(pthread_self(), sizeof only, &only);
    sched_param parameter{};
    parameter.sched_priority = kWatchPriority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter);

    Clock::time_point due = Clock::now();
    while (!stopping_) {
        due += kInterval;
        std::this_thread::sleep_until(due);
        const Clock::time_point woke = Clock::now();
        if (woke - due >= kKept) {
            const std::lock_guard lock(mutex_);
            stalls_.push_back({due, woke - due});
        }
        if (woke - due > kInterval) due = woke;  // no burst of wake-ups to catch up
    }
}

StallWatch::Clock::duration StallWatch::worstBetween(Clock::time_point from,
                                                     Clock::time_point to) const {
    const std::lock_guard lock(mutex_);
    Clock::duration worst{};
    for (const Stall& stall : stalls_)
        if (stall.due + stall.late >= from && stall.due <= to) worst = std::max(worst, stall.late);
    return worst;
}

}  // namespace vireko::testing
