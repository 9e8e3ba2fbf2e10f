#include "monitor_recorder.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace vireko::testing {

namespace {
constexpr int kRecorderPriority = 10;  // above the library's audio thread, below the server's
}

double steadySeconds(MonitorRecorder::Clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

bool testServerRunning() {
    const char* server = std::getenv("PULSE_SERVER");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string prefix = "unix:";
    // Without PULSE_SERVER, where every client finds the server by itself.
    if (server == nullptr && runtime != nullptr)
        return std::filesystem::exists(std::string(runtime) + "/pulse/native");
    if (server == nullptr || std::string(server).rfind(prefix, 0) != 0) return false;
    return std::filesystem::exists(std::string(server).substr(prefix.size()));
}

void raiseTestThreadPriority() {
    sched_param parameter{};
    parameter.sched_priority = kRecorderPriority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO | SCHED_RESET_ON_FORK, &parameter);
}

std::vector<std::string> pactlLines(const std::string& arguments) {
    std::vector<std::string> lines;
    FILE* output = popen(("LC_ALL=C pactl " + arguments).c_str(), "r");
    if (output == nullptr) return lines;
    char line[512];
    while (std::fgets(line, sizeof line, output) != nullptr) lines.emplace_back(line);
    pclose(output);
    return lines;
}

namespace {

// The source's index, as pactl prints it; empty where there is none.
std::string sourceIndex(const std::string& name) {
    // index, tab, name, tab, ...
    const std::string field = "\t" + name + "\t";
    for (const std::string& line : pactlLines("list short sources"))
        if (line.find(field) != std::string::npos) return line.substr(0, line.find('\t'));
    return {};
}

// Whether the recording of process `pid` is linked to the source `index`: the server lists a
// recording before the session manager links it, with no source.
bool recordingLinked(pid_t pid, const std::string& index) {
    const std::string ownId = "application.process.id = \"" + std::to_string(pid) + "\"";
    std::string source;
    for (const std::string& line : pactlLines("list source-outputs")) {
        if (line.rfind("Source Output #", 0) == 0) source.clear();
        if (const auto at = line.find("\tSource: "); at != std::string::npos)
            source = line.substr(at + 9, line.find_last_not_of(" \n") + 1 - (at + 9));
        if (line.find(ownId) != std::string::npos) return source == index;
    }
    return false;
}

}  // namespace

bool testServerIsPipeWire() {
    return std::ranges::any_of(pactlLines("info"), [](const std::string& line) {
        return line.find("PipeWire") != std::string::npos;
    });
}

MonitorRecorder::MonitorRecorder(const std::string& sink, Graph graph) : graph_(graph) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    fd_.reset(pipeFds[0]);
    beep::UniqueFd writeEnd(pipeFds[1]);
    const std::string device = sink + ".monitor";
    // PipeWire records from its default source where the one asked for is missing: the tests
    // would then measure something else.
    const std::string monitor = sourceIndex(device);
    if (monitor.empty()) throw std::runtime_error("no source " + device);
    child_ = fork();
    if (child_ < 0) throw std::runtime_error("fork");
    if (child_ == 0) {
        sched_param parameter{};
        parameter.sched_priority = kRecorderPriority;
        sched_setscheduler(0, SCHED_FIFO, &parameter);
        dup2(writeEnd.get(), STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
        const char* arguments[] = {"parec",        "--raw",        "--format=float32le",
                                   "--rate=48000", "--channels=1", "--latency-msec=10",
                                   "-d",           device.c_str(), "--property=node.passive=true",
                                   nullptr};
        if (graph != Graph::LeftToStop) arguments[8] = nullptr;
        execvp("parec", const_cast<char* const*>(arguments));
        _exit(127);
    }
    writeEnd.reset();
    reader_ = std::thread([this] {
        raiseTestThreadPriority();
        readLoop();
    });
    bool started = false;
    if (graph == Graph::LeftToStop) {
        // Nothing comes until the sink plays: parec's own recording linked to the monitor is as
        // far as it goes.
        const auto ended = [this] {
            const std::lock_guard lock(mutex_);
            return readerEnded_;
        };
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        while (!started && Clock::now() < deadline && !ended()) {
            started = recordingLinked(child_, monitor);
            if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } else {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::seconds(3),
                          [this] { return samples_.size() > 2400 || readerEnded_; });
        started = samples_.size() > 2400;
    }
    if (!started) {
        stop();  // no child or thread is left behind by the failure
        throw std::runtime_error("parec delivered nothing");
    }
}

MonitorRecorder::~MonitorRecorder() {
    stop();
}

void MonitorRecorder::readLoop() {
    std::vector<char> buffer(4096);
    std::size_t pendingBytes = 0;
    for (;;) {
        const ssize_t got =
            read(fd_.get(), buffer.data() + pendingBytes, buffer.size() - pendingBytes);
        if (got <= 0) break;
        const double now = steadySeconds(Clock::now());
        pendingBytes += static_cast<std::size_t>(got);
        const std::size_t whole = pendingBytes / sizeof(float);
        {
            const std::lock_guard lock(mutex_);
            const std::size_t before = samples_.size();
            samples_.resize(before + whole);
            std::memcpy(samples_.data() + before, buffer.data(), whole * sizeof(float));
            arrivals_.push_back({now, samples_.size()});
        }
        arrived_.notify_all();
        std::memmove(buffer.data(), buffer.data() + whole * sizeof(float),
                     pendingBytes - whole * sizeof(float));
        pendingBytes -= whole * sizeof(float);
    }
    {
        const std::lock_guard lock(mutex_);
        readerEnded_ = true;
    }
    arrived_.notify_all();
}

std::vector<float> MonitorRecorder::recordUntil(Clock::time_point until) {
    if (graph_ == Graph::LeftToStop)
        waitUntilQuiet(until);
    else
        waitForSamplesUntil(until);
    stop();
    const std::lock_guard lock(mutex_);
    return samples_;
}

void MonitorRecorder::waitForSamplesUntil(Clock::time_point until) {
    std::unique_lock lock(mutex_);
    // Where the sample played at `until` falls: from the read that came with the least
    // delay, which is the truest guide to the server's clock.
    double origin = 1e300;
    for (const Arrival& arrival : arrivals_)
        origin =
            std::min(origin, arrival.steadySeconds - double(arrival.samplesSoFar) / kRecordRateHz);
    const auto needed = static_cast<std::size_t>(
        std::max(0.0, std::ceil((steadySeconds(until) - origin) * kRecordRateHz)));
    const bool complete =
        arrived_.wait_until(lock, until + kArrivalLimit, [&] { return samples_.size() >= needed; });
    if (!complete)
        throw std::runtime_error("the recording stalled at " + std::to_string(samples_.size()) +
                                 " of " + std::to_string(needed) + " samples");
}

void MonitorRecorder::waitUntilQuiet(Clock::time_point until) {
    std::this_thread::sleep_until(until);
    std::unique_lock lock(mutex_);
    for (std::size_t had = SIZE_MAX; samples_.size() != had && !readerEnded_;) {
        had = samples_.size();
        if (Clock::now() > until + kArrivalLimit)
            throw std::runtime_error("the recording did not end");
        arrived_.wait_for(lock, kQuiet, [&] { return samples_.size() != had || readerEnded_; });
    }
    // A graph that never stopped would have delivered as much as the time it took.
    if (arrivals_.empty()) throw std::runtime_error("the recording is empty");
    const double span = arrivals_.back().steadySeconds - arrivals_.front().steadySeconds;
    const double played =
        double(arrivals_.back().samplesSoFar - arrivals_.front().samplesSoFar) / kRecordRateHz;
    if (span - played < std::chrono::duration<double>(kQuiet).count())
        throw std::runtime_error("the graph never stopped while recording");
}

void MonitorRecorder::stop() {
    if (stopped_) return;
    stopped_ = true;
    if (child_ > 0) {
        kill(child_, SIGTERM);
        waitpid(child_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    fd_.reset();
    stalls_.stop();
}

MonitorRecorder::Clock::time_point MonitorRecorder::timeOfSample(std::size_t index) const {
    const std::lock_guard lock(mutex_);
    auto arrival =
        std::upper_bound(arrivals_.begin(), arrivals_.end(), index,
                         [](std::size_t i, const Arrival& a) { return i < a.samplesSoFar; });
    double seconds = 1e300;
    // A piece that waited in a buffer on its way would make its samples look late: a later
    // piece that came straight through, less the samples played between, places them sooner.
    const double horizon = arrival == arrivals_.end() ? 0 : arrival->steadySeconds + kFitSeconds;
    for (; arrival != arrivals_.end() && arrival->steadySeconds < horizon; ++arrival)
        seconds = std::min(seconds, arrival->steadySeconds -
                                        double(arrival->samplesSoFar - 1 - index) / kRecordRateHz);
    return Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace vireko::testing
