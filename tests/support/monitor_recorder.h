// Records what the test PulseAudio server plays, through parec, with the time each piece
// arrived, so that a sample can be placed on the steady clock.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vireko::testing {

inline constexpr double kRecordRateHz = 48000;

class MonitorRecorder {
public:
    using Clock = std::chrono::steady_clock;

    // Starts parec on the monitor of `sink`; waits until the first samples arrive.
    explicit MonitorRecorder(const std::string& sink = "vireko_test");
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    // Stops recording and returns every sample.
    std::vector<float> stop();
    // The steady-clock time at which sample `index` was played: taken from the read, among
    // those within a second of it, that arrived with the least delay. The server renders
    // ahead by varying amounts as streams come and go, so a nearby read is the best guide.
    Clock::time_point timeOfSample(std::size_t index) const;

private:
    void readLoop();

    pid_t child_ = -1;
    int fd_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<float> samples_;
    struct Arrival {
        double steadySeconds;
        std::size_t samplesSoFar;
    };
    std::vector<Arrival> arrivals_;
    bool stopped_ = false;
};

double steadySeconds(MonitorRecorder::Clock::time_point time);

// Whether the test server that PULSE_SERVER names is up. It is missing only where no PulseAudio
// daemon can be installed (a PipeWire desktop), and the tests that listen then skip.
bool testServerRunning();

}  // namespace vireko::testing
