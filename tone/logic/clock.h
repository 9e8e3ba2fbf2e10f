// The clocks the emit-sound run reads while it waits.
#pragma once

#include <functional>

namespace vireko {

inline constexpr float kSecondsPerDay = 86400.0f;

class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since local midnight, single precision; starts again at 0 at midnight.
    virtual float timeOfDay() = 0;
    // Seconds on a clock that only moves forward, from an arbitrary origin.
    virtual double elapsedSeconds() = 0;
    // A short rest between two readings while waiting, at most `maxSeconds`, so that a wait
    // does not burn a core.
    virtual void rest(double maxSeconds) = 0;
};

class SystemClock final : public Clock {
public:
    float timeOfDay() override;
    double elapsedSeconds() override;
    void rest(double maxSeconds) override;  // and never more than 10 ms
};

// Reads the clock until `waitSeconds` have passed, or until `stop` says the wait must end at
// once (the program is being ended). The seconds are measured on the clock that only moves
// forward: the time of day jumps at midnight and with the system's clock, and late in the day
// a single-precision time of day moves in steps of almost 8 ms.
void waitFor(Clock& clock, double waitSeconds, const std::function<bool()>& stop = {});

}  // namespace vireko
