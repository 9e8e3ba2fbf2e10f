// The time of day, as the emit-sound run reads it while it waits.
#pragma once

namespace vireko {

inline constexpr float kSecondsPerDay = 86400.0f;

class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since local midnight, single precision; starts again at 0 at midnight.
    virtual float timeOfDay() = 0;
    // A short rest between two readings while waiting, so that a wait does not burn a core.
    virtual void rest() = 0;
};

class SystemClock final : public Clock {
public:
    float timeOfDay() override;
    void rest() override;  // at most 1 ms
};

// Reads the clock until `waitSeconds` have passed since `start`, also across midnight.
void waitFrom(Clock& clock, float start, float waitSeconds);

}  // namespace vireko
