#include "clock.h"

#include <chrono>
#include <ctime>
#include <thread>

namespace vireko {

float SystemClock::timeOfDay() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    const auto sinceSecond = now - system_clock::from_time_t(seconds);
    const double fraction = duration<double>(sinceSecond).count();
    return static_cast<float>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec + fraction);
}

void SystemClock::rest() {
    std::this_thread::sleep_for(std::chrono::microseconds(500));
}

void waitFrom(Clock& clock, float start, float waitSeconds) {
    for (;;) {
        float elapsed = clock.timeOfDay() - start;
        if (elapsed < 0) elapsed += kSecondsPerDay;  // the clock passed midnight
        if (elapsed >= waitSeconds) return;
        clock.rest();
    }
}

}  // namespace vireko
