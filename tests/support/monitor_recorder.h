// Records what the test PulseAudio server plays, through parec, with the time each piece
// arrived, so that a sample can be placed on the steady clock.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stall_watch.h"
#include "unique_fd.h"

namespace vireko::testing {

inline constexpr double kRecordRateHz = 48000;

class MonitorRecorder {
public:
    using Clock = std::chrono::steady_clock;
    // How long past its end a recording may take to arrive before the recorder gives up.
    static constexpr std::chrono::seconds kArrivalLimit{5};
    // How far past a sample the arrivals are looked at to place it: long enough to take in a
    // piece that came straight through (PipeWire's monitor delivers in bursts some 80 ms
    // apart), short enough to stay with the server's pace while that sample played. PulseAudio's
    // null sink renders further ahead while no stream plays: its monitor's samples then come
    // about 6 ms sooner, and a tone fitted to them would be placed that much early.
    static constexpr double kFitSeconds = 0.2;
    // Where the graph is left to stop: how long nothing comes once it has.
    static constexpr std::chrono::milliseconds kQuiet{300};

    // What the recording does to PipeWire's graph: it keeps it running, as any recording does,
    // or it only follows it (a passive node), so that the graph stops while the sink plays
    // nothing, as on a desktop where nothing else plays or records. PulseAudio has no such node,
    // and its sink runs either way.
    enum class Graph { KeptRunning, LeftToStop };

    // Starts parec on the monitor of `sink`; waits until the first samples arrive (where the
    // graph is left to stop, until parec is connected), and throws where they do not. Both the
    // recorder and its reader run at real-time priority where the system allows it, so that
    // the arrival times stay true on a busy machine.
    explicit MonitorRecorder(const std::string& sink = "vireko_test",
                             Graph graph = Graph::KeptRunning);
    ~MonitorRecorder();
    MonitorRecorder(const MonitorRecorder&) = delete;
    MonitorRecorder& operator=(const MonitorRecorder&) = delete;

    // Waits until the recording holds every sample played up to `until`, counted in samples
    // rather than cut off by a signal; then stops and returns them all. Throws where they do
    // not arrive within kArrivalLimit. Where the graph is left to stop, the samples cannot be
    // counted from the time (nothing comes while it is stopped): the recording is taken to be
    // complete once nothing more has come for kQuiet after `until`, and it throws where that
    // does not come within kArrivalLimit, or where the graph never stopped for kQuiet.
    std::vector<float> recordUntil(Clock::time_point until);
    // Stops at once, dropping whatever is still on its way.
    void stop();

    // When sample `index` was played: the earliest, over the pieces that arrived within
    // kFitSeconds after it, of a piece's arrival less the time its later samples took to play.
    // The server renders a period at a time, so this is true to within one period.
    Clock::time_point timeOfSample(std::size_t index) const;

    // The longest the machine stalled (see StallWatch) from `from` to `to`, while recording.
    Clock::duration stallBetween(Clock::time_point from, Clock::time_point to) const {
        return stalls_.longestBetween(from, to);
    }
    // How late the worst wake-up from `from` to `to` was, where 1 ms or more (see StallWatch);
    // zero otherwise.
    Clock::duration worstWakeBetween(Clock::time_point from, Clock::time_point to) const {
        return stalls_.worstBetween(from, to);
    }

private:
    void readLoop();
    // recordUntil's wait, for each Graph.
    void waitForSamplesUntil(Clock::time_point until);
    void waitUntilQuiet(Clock::time_point until);

    Graph graph_;
    pid_t child_ = -1;
    beep::UniqueFd fd_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<float> samples_;
    struct Arrival {
        double steadySeconds;
        std::size_t samplesSoFar;
    };
    std::vector<Arrival> arrivals_;
    bool readerEnded_ = false;  // parec's output has closed
    bool stopped_ = false;
    StallWatch stalls_;
};

double steadySeconds(MonitorRecorder::Clock::time_point time);

// Whether the test server that PULSE_SERVER names (or, without it, the one in XDG_RUNTIME_DIR)
// is up. It is missing only where no PulseAudio
// daemon can be installed (a PipeWire desktop), and the tests that listen then skip.
bool testServerRunning();

// What `pactl ARGUMENTS` prints about the test server, a line at a time, untranslated.
std::vector<std::string> pactlLines(const std::string& arguments);

// Whether the test server is PipeWire (its PulseAudio protocol) rather than PulseAudio.
bool testServerIsPipeWire();

// Real-time priority for the calling thread where the system allows it (as root, say), so that
// the times a test takes around its calls are not stretched by a busy machine.
void raiseTestThreadPriority();

}  // namespace vireko::testing
