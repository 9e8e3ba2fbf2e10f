#include "clock.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>

namespace vireko {

namespace {
// Between two readings of the clock: short enough that the wait ends on time.
constexpr double kLongestRestSeconds = 0.010;
}  // namespace

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

double SystemClock::elapsedSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SystemClock::rest(double maxSeconds) {
    std::this_thread::sleep_for(
        std::chrono::duration<double>(std::clamp(maxSeconds, 0.0, kLongestRestSeconds)));
}

void waitFor(Clock& clock, double waitSeconds, const std::function<bool()>& stop) {
    const double start = clock.elapsedSeconds();
    for (;;) {
        if (stop && stop()) return;
        const double left = waitSeconds - (clock.elapsedSeconds() - start);
        if (left <= 0) return;
        clock.rest(left);
    }
}

}  // namespace vireko
