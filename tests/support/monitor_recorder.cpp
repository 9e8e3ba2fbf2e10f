#include "monitor_recorder.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace vireko::testing {

double steadySeconds(MonitorRecorder::Clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

bool testServerRunning() {
    const char* server = std::getenv("PULSE_SERVER");
    const std::string prefix = "unix:";
    if (server == nullptr || std::string(server).rfind(prefix, 0) != 0) return false;
    return std::filesystem::exists(std::string(server).substr(prefix.size()));
}

MonitorRecorder::MonitorRecorder(const std::string& sink) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe");
    const std::string device = sink + ".monitor";
    child_ = fork();
    if (child_ == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execlp("parec", "parec", "--raw", "--format=float32le", "--rate=48000", "--channels=1",
               "--latency-msec=10", "-d", device.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    fd_ = pipeFds[0];
    reader_ = std::thread([this] { readLoop(); });
    for (int i = 0; i < 300; ++i) {
        {
            const std::lock_guard lock(mutex_);
            if (samples_.size() > 2400) return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("parec delivered nothing");
}

MonitorRecorder::~MonitorRecorder() {
    stop();
}

void MonitorRecorder::readLoop() {
    std::vector<char> buffer(4096);
    std::size_t pendingBytes = 0;
    for (;;) {
        const ssize_t got = read(fd_, buffer.data() + pendingBytes, buffer.size() - pendingBytes);
        if (got <= 0) return;
        const double now = steadySeconds(Clock::now());
        pendingBytes += static_cast<std::size_t>(got);
        const std::size_t whole = pendingBytes / sizeof(float);
        const std::lock_guard lock(mutex_);
        const std::size_t before = samples_.size();
        samples_.resize(before + whole);
        std::memcpy(samples_.data() + before, buffer.data(), whole * sizeof(float));
        std::memmove(buffer.data(), buffer.data() + whole * sizeof(float),
                     pendingBytes - whole * sizeof(float));
        pendingBytes -= whole * sizeof(float);
        arrivals_.push_back({now, samples_.size()});
    }
}

std::vector<float> MonitorRecorder::stop() {
    if (!stopped_) {
        stopped_ = true;
        kill(child_, SIGTERM);
        waitpid(child_, nullptr, 0);
        if (reader_.joinable()) reader_.join();
        close(fd_);
    }
    const std::lock_guard lock(mutex_);
    return samples_;
}

MonitorRecorder::Clock::time_point MonitorRecorder::timeOfSample(std::size_t index) const {
    const std::lock_guard lock(mutex_);
    // Each read bounds the time of sample 0 from above: its last sample was played no later
    // than it arrived.
    double origin = 1e300;
    const auto window = static_cast<std::size_t>(kRecordRateHz);
    for (const Arrival& arrival : arrivals_) {
        if (arrival.samplesSoFar + window < index || arrival.samplesSoFar > index + window)
            continue;
        origin =
            std::min(origin, arrival.steadySeconds - double(arrival.samplesSoFar) / kRecordRateHz);
    }
    const double seconds = origin + double(index) / kRecordRateHz;
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace vireko::testing
