// PulseAudio's asynchronous API, loaded with dlopen so that the library needs nothing at link
// time. The audio thread drives its own main loop; the stream is written at absolute positions
// so that the part the device has not yet taken can be rewritten.
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/stream.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "audio_output.h"
#include "loaded_library.h"
#include "recent_worst.h"
#include "stream_clock.h"

namespace beep {

namespace {

constexpr std::chrono::milliseconds kConnectLimit{2000};
constexpr std::chrono::milliseconds kTimingLimit{50};
constexpr std::size_t kFrameBytes = sizeof(float);

// What is used of the library, loaded by these names (see BEEP_LOADED_FUNCTIONS).
#define BEEP_PULSE_FUNCTIONS(X)               \
    X(pa_mainloop_new)                        \
    X(pa_mainloop_get_api)                    \
    X(pa_mainloop_prepare)                    \
    X(pa_mainloop_poll)                       \
    X(pa_mainloop_dispatch)                   \
    X(pa_mainloop_free)                       \
    X(pa_context_new)                         \
    X(pa_context_connect)                     \
    X(pa_context_get_state)                   \
    X(pa_context_errno)                       \
    X(pa_context_disconnect)                  \
    X(pa_context_get_server_info)             \
    X(pa_context_get_sink_info_by_name)       \
    X(pa_context_get_sink_input_info_list)    \
    X(pa_context_get_source_output_info_list) \
    X(pa_proplist_gets)                       \
    X(pa_context_unref)                       \
    X(pa_stream_new)                          \
    X(pa_stream_connect_playback)             \
    X(pa_stream_get_state)                    \
    X(pa_stream_writable_size)                \
    X(pa_stream_write)                        \
    X(pa_stream_update_timing_info)           \
    X(pa_stream_get_timing_info)              \
    X(pa_stream_disconnect)                   \
    X(pa_stream_unref)                        \
    X(pa_operation_get_state)                 \
    X(pa_operation_cancel)                    \
    X(pa_operation_unref)                     \
    X(pa_strerror)
BEEP_LOADED_FUNCTIONS(PulseFunctions, "libpulse.so.0", BEEP_PULSE_FUNCTIONS);

// Kept for the life of the process: the audio thread may still use it while the process exits.
const PulseFunctions& pulse() {
    static const PulseFunctions* const functions = new PulseFunctions;
    return *functions;
}

using SteadyClock = std::chrono::steady_clock;

// Whether PipeWire's graph runs on the default sink: the sink says so, or a stream that plays to
// it or records its monitor runs, other than a passive node, which follows the graph without
// starting it. (PipeWire's pulse server calls a stream whose node does not run corked; on
// PipeWire 1.4 a passive recorder was not corked while the graph was stopped.) The monitor's own
// state is no guide: PipeWire 1.4 calls it idle while it is recorded. Asked for before a stream
// is, and answered while it opens; what has not been answered by then is not waited for, and is
// not known.
class GraphState {
public:
    GraphState() = default;
    GraphState(const GraphState&) = delete;
    GraphState& operator=(const GraphState&) = delete;
    ~GraphState() {
        for (pa_operation* operation : asked_) {
            if (operation == nullptr) continue;
            if (pulse().pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
                pulse().pa_operation_cancel(operation);
            pulse().pa_operation_unref(operation);
        }
    }

    void ask(pa_context* context) {
        asked_[0] = pulse().pa_context_get_sink_info_by_name(
            context, "@DEFAULT_SINK@",
            [](pa_context*, const pa_sink_info* info, int, void* self) {
                auto* state = static_cast<GraphState*>(self);
                if (info == nullptr) return;
                state->sink_ = info->index;
                state->monitor_ = info->monitor_source;
                state->sinkRunning_ = info->state == PA_SINK_RUNNING;
            },
            this);
        asked_[1] = pulse().pa_context_get_sink_input_info_list(
            context, &listed<pa_sink_input_info, &pa_sink_input_info::sink>, &players_);
        asked_[2] = pulse().pa_context_get_source_output_info_list(
            context, &listed<pa_source_output_info, &pa_source_output_info::source>, &recorders_);
    }

    std::optional<bool> running() const {
        if (!sink_ || !players_.known || !recorders_.known) return std::nullopt;
        return sinkRunning_ || players_.drive(*sink_) || recorders_.drive(monitor_);
    }

private:
    // The streams of one list that drive the graph: the sinks or sources they are linked to.
    struct Listed {
        bool known = false;  // the whole list came
        std::vector<std::uint32_t> devices;
        bool drive(std::uint32_t device) const {
            return std::ranges::find(devices, device) != devices.end();
        }
    };

    template <typename Info, std::uint32_t Info::*Device>
    static void listed(pa_context*, const Info* info, int last, void* list) {
        auto* into = static_cast<Listed*>(list);
        if (last > 0) into->known = true;
        if (info != nullptr && drives(info->corked, info->proplist))
            into->devices.push_back(info->*Device);
    }

    static bool drives(int corked, const pa_proplist* properties) {
        const char* passive =
            properties != nullptr ? pulse().pa_proplist_gets(properties, "node.passive") : nullptr;
        return corked == 0 && (passive == nullptr || std::string_view(passive) != "true");
    }

    std::array<pa_operation*, 3> asked_{};
    std::optional<std::uint32_t> sink_;  // the default sink's index
    std::uint32_t monitor_ = 0;          // its monitor's
    bool sinkRunning_ = false;
    Listed players_, recorders_;
};

// The periods of PipeWire's graph, in frames, as the last few streams heard them (the read
// index's smallest step): at a desktop's default they move between 256 and 512 frames from one
// stream to the next, always on the 256-frame grid, and the shortest is the grid.
class RecentPeriods {
public:
    void note(std::size_t period) { periods_[noted_++ % periods_.size()] = period; }
    // SIZE_MAX where none was noted.
    std::size_t shortest() const { return *std::ranges::min_element(periods_); }

private:
    std::array<std::size_t, 4> periods_{SIZE_MAX, SIZE_MAX, SIZE_MAX, SIZE_MAX};
    std::size_t noted_ = 0;
};

class PulseOutput final : public AudioOutput {
public:
    explicit PulseOutput(int wakeFd) : wakeFd_(wakeFd) {}
    ~PulseOutput() override {
        stopStream();
        if (wakeEvent_ != nullptr) api_->io_free(wakeEvent_);
        if (context_ != nullptr) {
            pulse().pa_context_disconnect(context_);
            pulse().pa_context_unref(context_);
        }
        if (loop_ != nullptr) pulse().pa_mainloop_free(loop_);
    }
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    bool connect(std::string& refusal) {
        loop_ = pulse().pa_mainloop_new();
        if (loop_ == nullptr) return fail(refusal, "no main loop");
        api_ = pulse().pa_mainloop_get_api(loop_);
        if (wakeFd_ >= 0)
            wakeEvent_ = api_->io_new(api_, wakeFd_, PA_IO_EVENT_INPUT, drainWakeFd, nullptr);
        context_ = pulse().pa_context_new(api_, "BEEP");
        if (context_ == nullptr) return fail(refusal, "no context");
        // No daemon is started on the user's behalf: the desktop runs one or it does not.
        if (pulse().pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return failWithError(refusal);
        const auto deadline = SteadyClock::now() + kConnectLimit;
        for (;;) {
            const pa_context_state_t state = pulse().pa_context_get_state(context_);
            if (state == PA_CONTEXT_READY) break;
            if (!PA_CONTEXT_IS_GOOD(state)) return failWithError(refusal);
            if (!iterateUntil(deadline)) return fail(refusal, "the server did not answer");
        }
        // Which server answers: PipeWire's pulse server tells the stream's timing its own way.
        pa_operation* operation = pulse().pa_context_get_server_info(
            context_,
            [](pa_context*, const pa_server_info* info, void* self) {
                auto* output = static_cast<PulseOutput*>(self);
                output->serverKnown_ = true;
                if (info == nullptr || info->server_name == nullptr) return;
                // PipeWire calls itself "PulseAudio (on PipeWire 0.3.65)".
                const std::string name = info->server_name;
                const auto pipewire = name.find("PipeWire");
                output->pipewire_ = pipewire != std::string::npos;
                if (output->pipewire_)
                    output->server_ = name.substr(pipewire, name.find(')', pipewire) - pipewire) +
                                      " (its PulseAudio protocol)";
                else
                    output->server_ = "PulseAudio " +
                                      std::string(info->server_version ? info->server_version : "");
            },
            this);
        if (operation == nullptr) return failWithError(refusal);
        while (!serverKnown_ && iterateUntil(deadline)) {
        }
        if (!serverKnown_) pulse().pa_operation_cancel(operation);
        pulse().pa_operation_unref(operation);
        if (!serverKnown_) return fail(refusal, "the server did not say what it is");
        // A server with no sink takes a stream that never plays (PipeWire's pulse server
        // does): the next way is better.
        operation = pulse().pa_context_get_sink_info_by_name(
            context_, "@DEFAULT_SINK@",
            [](pa_context*, const pa_sink_info* info, int last, void* self) {
                auto* output = static_cast<PulseOutput*>(self);
                if (info != nullptr) output->sink_ = Answer::Yes;
                if (last != 0 && output->sink_ == Answer::Unknown) output->sink_ = Answer::No;
            },
            this);
        if (operation == nullptr) return failWithError(refusal);
        while (sink_ == Answer::Unknown && iterateUntil(deadline)) {
        }
        if (sink_ == Answer::Unknown) pulse().pa_operation_cancel(operation);
        pulse().pa_operation_unref(operation);
        if (sink_ != Answer::Yes) return fail(refusal, "the server has no sink");
        return true;
    }

    bool startStream(std::string& refusal) override {
        stopStream();
        if (!PA_CONTEXT_IS_GOOD(pulse().pa_context_get_state(context_)))
            return failWithError(refusal);
        const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, kAudioSampleRateHz, 1};
        stream_ = pulse().pa_stream_new(context_, "PC speaker", &format, nullptr);
        if (stream_ == nullptr) return failWithError(refusal);
        // Nothing of the last stream's is taken for this one's, should it fail to open.
        writtenFrames_ = 0;
        clock_.reset();
        startsAt_.reset();
        timingAsked_ = false;
        timedOnce_ = false;
        lastRead_ = 0;
        if (period_ != SIZE_MAX) lastPeriod_ = period_;
        period_ = SIZE_MAX;
        const std::optional<bool> lastRunning = graphRunning_;
        graphRunning_.reset();
        // Early requests: the server asks for more each deviceLatency() and has the device
        // work only that far ahead of the queue, however deep the queue is, so that a rewrite
        // is heard soon. (With the latency adjusted instead, the device takes the queue in
        // bursts as long as the requests, and a rewrite would land in what it already took.)
        // Timing is asked for after each write, which keeps it as fresh as the requests.
        const auto queued = static_cast<std::uint32_t>(framesIn(kQueuedAudio) * kFrameBytes);
        const auto request = static_cast<std::uint32_t>(framesIn(deviceLatency()) * kFrameBytes);
        pa_buffer_attr attributes{};
        attributes.maxlength = queued;
        attributes.tlength = queued;
        attributes.minreq = request;
        attributes.prebuf = request;
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_EARLY_REQUESTS);
        GraphState graph;
        if (pipewire_) graph.ask(context_);
        if (pulse().pa_stream_connect_playback(stream_, nullptr, &attributes, flags, nullptr,
                                               nullptr) < 0)
            return failWithError(refusal);
        const auto deadline = SteadyClock::now() + kConnectLimit;
        for (;;) {
            const pa_stream_state_t state = pulse().pa_stream_get_state(stream_);
            if (state == PA_STREAM_READY) break;
            if (!PA_STREAM_IS_GOOD(state)) return failWithError(refusal);
            if (!iterateUntil(deadline)) return fail(refusal, "the server did not open a stream");
        }
        openedAt_ = systemSeconds();
        if (pipewire_) {
            graphRunning_ = graph.running();
            startsAt_ = firstCycle(lastRunning);
        }
        return true;
    }

    // When a new stream's first frame is heard through PipeWire's pulse server; an error moves
    // only the tone's opening, as its later changes keep their distance from it (StreamPlayer).
    // - Where the graph was not running as the stream was asked for (no stream that played to the
    //   sink or recorded it ran, but as a passive node), the stream starts it, and its first frame
    //   is heard one period after the stream opened (measured: 0-0.6 ms more, at 256, 512 and 1024
    //   frames, on a null sink; a suspended card takes longer to wake, and the tone is later).
    //   The period is not known before the stream plays: at a desktop's default it was 256 or
    //   512 frames from one stream to the next. The shortest of the last four streams' that
    //   started the graph themselves is taken (one heard while another stream drove the graph
    //   says nothing of it), so that a tone is at worst later than asked by the difference
    //   (5.3 ms at a desktop's default), not sooner; sooner only where another stream started
    //   the graph just before this one joined it.
    // - Where the graph ran on through the silence (for another stream): on the first of its
    //   cycles after the stream's first data reaches the server. It is taken to have run on where
    //   the server said it was running when this stream and the last were asked for, and the
    //   last stream began on the cycles of the one before; where the server did not answer, where
    //   the last two streams each did so, at a period of twice the margin or more. The cycles are
    //   taken at the shortest of the last four streams' periods (at a desktop's default one
    //   stream heard them 256 frames apart and the next 512, on one grid): where the graph runs
    //   on at a longer one, the tone is up to that much late. A cycle due so soon after the stream
    //   opened that the data may miss it is let pass before any is written, and the next one is
    //   then certain, as a frame is not heard before it was written. Should the graph stop after
    //   the server answered, the stream starts a period after it opened: later than this, or where
    //   a cycle was let pass, sooner by less than the margin. Had another stream stopped and
    //   started it again in the silence, the first frame may come up to a period sooner or later.
    // - Otherwise the stream is taken to start at once, and its first tone may be up to a period
    //   late: at 1024 frames, 21 ms.
    std::optional<double> firstCycle(std::optional<bool> lastRunning) {
        if (graphRunning_ == false) {
            const std::size_t period = startedPeriods_.shortest();
            if (period == SIZE_MAX) return std::nullopt;
            return openedAt_ + double(period) / kAudioSampleRateHz;
        }
        // cycleAt_ is kept only with a period.
        const double period = double(recentPeriods_.shortest()) / kAudioSampleRateHz;
        const double margin = std::chrono::duration<double>(kPipeWirePulseFirstCycleMargin).count();
        const double now = systemSeconds();
        if (!cycleAt_ || std::abs(now - cycleSeenAt_) > kPipeWirePulseCycleMemorySeconds)
            return std::nullopt;
        const bool ranOn = graphRunning_ && lastRunning
                               ? *graphRunning_ && *lastRunning && cyclesHeldFor_ >= 1
                               : cyclesHeldFor_ >= 2 && period >= 2 * margin;
        if (!ranOn) return std::nullopt;
        double next = *cycleAt_ + std::ceil((now - *cycleAt_) / period) * period;
        if (next - now < margin) {
            std::this_thread::sleep_for(std::chrono::duration<double>(next - now + 1e-4));
            next += period;
        }
        return next;
    }

    // The stream ends rather than being corked through the silence. PulseAudio keeps its sink
    // working at the latency of every stream connected, corked or not: with one corked, the
    // test server's sink woke 250 times a second through a silence instead of 20. PipeWire's
    // pulse server would keep a corked stream at no cost, but the next tone would be no sooner:
    // it waits for the stream's first cycle of the graph either way.
    void stopStream() override {
        if (stream_ == nullptr) return;
        if (pipewire_ && clock_.origin() && period_ != SIZE_MAX) {
            // On the shortest period of the last streams: at a desktop's default one stream heard
            // the cycles 256 frames apart and the next 512, and each began on the 256-frame grid
            // of the last (30 of 30, within 0.03 ms).
            recentPeriods_.note(period_);
            const double unit = double(recentPeriods_.shortest()) / kAudioSampleRateHz;
            const bool held =
                cycleAt_ && std::abs(std::remainder(*clock_.origin() - *cycleAt_, unit)) <
                                kPipeWirePulseCycleTolerance;
            cyclesHeldFor_ = held ? cyclesHeldFor_ + 1 : 0;
            cycleAt_ = clock_.origin();
            cycleSeenAt_ = systemSeconds();
            if (graphRunning_ == false) startedPeriods_.note(period_);
        } else if (pipewire_) {
            cycleAt_.reset();
            cyclesHeldFor_ = 0;
        }
        pulse().pa_stream_disconnect(stream_);
        // The request goes out only while the main loop runs, and it does not run while idle.
        const auto deadline = SteadyClock::now() + kTimingLimit;
        while (pulse().pa_stream_get_state(stream_) != PA_STREAM_TERMINATED &&
               PA_CONTEXT_IS_GOOD(pulse().pa_context_get_state(context_)) &&
               iterateUntil(deadline)) {
        }
        pulse().pa_stream_unref(stream_);
        stream_ = nullptr;
    }

    bool wait(std::chrono::milliseconds timeout) override {
        if (!iterate(std::chrono::duration_cast<std::chrono::microseconds>(timeout))) return false;
        return good();
    }

    std::size_t writableFrames() override {
        const std::size_t bytes = pulse().pa_stream_writable_size(stream_);
        return bytes == static_cast<std::size_t>(-1) ? 0 : bytes / kFrameBytes;
    }

    bool write(std::span<const float> samples) override {
        const auto offset = static_cast<std::int64_t>(writtenFrames_ * kFrameBytes);
        if (pulse().pa_stream_write(stream_, samples.data(), samples.size_bytes(), nullptr, offset,
                                    PA_SEEK_ABSOLUTE) < 0)
            return false;
        writtenFrames_ += samples.size();
        // The server asks for more just after its device took some: a timing asked for now
        // comes back close to that moment, which places the stream's clock best.
        if (!timingAsked_) {
            if (pa_operation* operation =
                    pulse().pa_stream_update_timing_info(stream_, timingArrived, this)) {
                timingAsked_ = true;
                timingAskedAt_ = SteadyClock::now();
                pulse().pa_operation_unref(operation);
            }
        }
        return true;
    }

    // From the last timing that came back (one is asked for after each write) and the time
    // since, without asking the server again: a change is placed at once. Only a stream's first
    // change waits for a timing of its own: until one has come back, the sink's latency and
    // where the stream stands are not known.
    Standing standing() override {
        Standing standing{writtenFrames_, std::nullopt};
        if (!timedOnce_) {
            timedOnce_ = true;
            askTimingAndWait();
        }
        const pa_timing_info* timing = pulse().pa_stream_get_timing_info(stream_);
        // The device works up to its configured latency ahead of what is heard, and may take
        // that much more at any moment; a rewrite takes a round trip to reach the server.
        const std::chrono::microseconds deviceLead(
            std::max<pa_usec_t>(timing != nullptr ? timing->configured_sink_usec : sinkLatency_,
                                pa_usec_t(deviceLatency().count()) * 1000));
        const std::chrono::nanoseconds roundTrip = std::max<std::chrono::nanoseconds>(
            roundTrips_.worst().value_or(std::chrono::nanoseconds::zero()) +
                kPulseRoundTripBeyondWorst,
            pipewire_ ? kPipeWirePulseRewriteTime : kPulseRewriteTime);
        standing.floor = deviceLead + roundTrip;
        // On PipeWire, a period more than the device lead: the last stream's until this one
        // has played, and before any, the configured latency.
        standing.lead =
            pipewire_ ? deviceLead + periodOr(deviceLead) + roundTrip : 2 * deviceLead + roundTrip;
        if (timing == nullptr || timing->read_index_corrupt) return standing;
        const double reach = std::chrono::duration<double>(deviceLead + roundTrip).count();
        const double readFrames = double(timing->read_index) / kFrameBytes;
        double earliest = 0;
        const std::optional<double> origin = clock_.origin();
        if (pipewire_ && origin) {
            // PipeWire's graph takes a period at each cycle, starting with the frame at the
            // index; the next cycle is when that frame is heard. Its pulse server has the
            // period after that in hand already, and a rewrite that reaches it after the next
            // cycle must spare one more period, and so on. (Measured: rewrites of the period
            // after the index were heard a period late now and then.)
            const double nextCycle = *origin + readFrames / kAudioSampleRateHz;
            const double period = double(period_) / kAudioSampleRateHz;
            const double roundTripSeconds = std::chrono::duration<double>(roundTrip).count();
            const double cycles =
                std::ceil((systemSeconds() + roundTripSeconds - nextCycle) / period);
            earliest = readFrames + (std::max(0.0, cycles) + 1) * double(period_);
        } else {
            // A timing taken before the stream played may be old by now: the index may have
            // moved on since as if it had been playing all along, and no further.
            const double moved = std::max(0.0, secondsSince(timing->timestamp));
            earliest = readFrames + (moved + reach) * kAudioSampleRateHz;
        }
        standing.firstReplaceable =
            std::min(writtenFrames_, static_cast<std::size_t>(std::ceil(earliest)));
        std::optional<double> heardFrom = origin;
        if (!heardFrom && startsAt_) heardFrom = std::max(*startsAt_, systemSeconds());
        if (heardFrom) {
            standing.frameZero = SteadyClock::now() +
                                 std::chrono::duration_cast<SteadyClock::duration>(
                                     std::chrono::duration<double>(*heardFrom - systemSeconds()));
        }
        return standing;
    }

    bool rewind(std::size_t frames) override {
        if (frames > writtenFrames_) return false;
        writtenFrames_ -= frames;
        return true;
    }

    std::string serverName() const override { return server_; }

    // What the server has read is played only once its device has taken it: the sink's latency
    // later, or through PipeWire's pulse server, the period after the one its graph read it in
    // (a process that ends once its last frames are counted played must not cut them). There
    // the read index moves a period at a time, and is not carried on between timings.
    std::size_t queuedFrames() override {
        const pa_timing_info* timing = pulse().pa_stream_get_timing_info(stream_);
        if (timing == nullptr) return writtenFrames_;
        auto readFrames = static_cast<double>(timing->read_index) / kFrameBytes;
        if (pipewire_) {
            readFrames -= double(knownPeriod().value_or(framesIn(deviceLatency())));
        } else {
            if (timing->playing)
                readFrames += std::max(0.0, secondsSince(timing->timestamp)) * kAudioSampleRateHz;
            readFrames -= 1e-6 * double(timing->sink_usec) * kAudioSampleRateHz;
        }
        const auto read = static_cast<std::size_t>(std::max(0.0, readFrames));
        return writtenFrames_ > read ? writtenFrames_ - read : 0;
    }

private:
    static void drainWakeFd(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void*) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = ::read(fd, &count, sizeof count);
    }

    // Asks for the stream's timing and waits for it, within kTimingLimit.
    void askTimingAndWait() {
        bool done = false;
        pa_operation* operation = pulse().pa_stream_update_timing_info(
            stream_, [](pa_stream*, int, void* flag) { *static_cast<bool*>(flag) = true; }, &done);
        if (operation == nullptr) return;
        const auto deadline = SteadyClock::now() + kTimingLimit;
        while (!done && iterateUntil(deadline) && good()) {
        }
        if (!done) pulse().pa_operation_cancel(operation);
        pulse().pa_operation_unref(operation);
        if (const pa_timing_info* timing = pulse().pa_stream_get_timing_info(stream_);
            done && timing != nullptr)
            noteTiming(*timing);
    }

    static void timingArrived(pa_stream* stream, int success, void* self) {
        auto* output = static_cast<PulseOutput*>(self);
        output->timingAsked_ = false;
        if (stream != output->stream_ || !success) return;
        output->roundTrips_.note(SteadyClock::now() - output->timingAskedAt_);
        if (const pa_timing_info* timing = pulse().pa_stream_get_timing_info(stream))
            output->noteTiming(*timing);
    }

    // When frame 0 is heard, in seconds of the system clock, from one timing. PulseAudio takes
    // the read index when it sends the timing, and the frame there is heard sink_usec later.
    // PipeWire's pulse server takes the index at the last cycle of its graph, up to a period
    // before, and reports no sink latency: the period taken then plays out over the next one.
    // Its period is the step by which the index moves. The earliest estimate is the one taken
    // closest to a cycle (see StreamClock).
    void noteTiming(const pa_timing_info& timing) {
        if (!pipewire_ && !timing.playing && !timing.read_index_corrupt && !clock_.origin()) {
            // Before the stream plays, PulseAudio's sink has rendered sink_usec ahead of what
            // is heard, and the stream's first frame is heard after that. A sink that can take
            // back what it rendered does so once a stream with a shorter latency connects, and
            // then reports only what it kept; one that cannot (a null sink without rewinds, a
            // Bluetooth one) plays it all out first: with no rewinds on the test server's sink,
            // the first tone after a silence came up to 9 ms later than a held stream's. Where
            // the sink takes back only once the stream's data comes, after this timing, the first
            // tone is heard that much sooner than asked, at most the lead less the first frame
            // that may be rewritten: on a null sink with rewinds, about 2 ms, the tone up to 1 ms
            // longer.
            const auto rendered = std::min<pa_usec_t>(
                timing.sink_usec, std::chrono::microseconds(kQueuedAudio).count());
            startsAt_ = seconds(timing.timestamp) + 1e-6 * double(rendered);
        }
        if (!timing.playing || timing.read_index_corrupt || timing.read_index <= 0) return;
        const auto read = static_cast<std::size_t>(timing.read_index) / kFrameBytes;
        sinkLatency_ = timing.configured_sink_usec;
        if (read > lastRead_) period_ = std::min(period_, read - lastRead_);
        lastRead_ = read;
        const double taken = seconds(timing.timestamp);
        double estimate =
            taken + 1e-6 * double(timing.sink_usec) - double(read) / kAudioSampleRateHz;
        if (pipewire_) estimate += double(period_) / kAudioSampleRateHz;
        clock_.note(estimate, taken);
    }

    std::chrono::milliseconds deviceLatency() const {
        return pipewire_ ? kPipeWirePulseDeviceLatency : kDeviceLatency;
    }

    // The graph's period in frames: this stream's, else the last stream's, where one was seen.
    std::optional<std::size_t> knownPeriod() const {
        const std::size_t period = period_ != SIZE_MAX ? period_ : lastPeriod_;
        return period != SIZE_MAX ? std::optional(period) : std::nullopt;
    }

    std::chrono::microseconds periodOr(std::chrono::microseconds otherwise) const {
        const std::optional<std::size_t> period = knownPeriod();
        return period ? std::chrono::microseconds(*period * 1000000 / kAudioSampleRateHz)
                      : otherwise;
    }

    static double seconds(const timeval& time) {
        return double(time.tv_sec) + 1e-6 * double(time.tv_usec);
    }
    static double systemSeconds() {
        timeval now{};
        gettimeofday(&now, nullptr);
        return seconds(now);
    }
    static double secondsSince(const timeval& then) { return systemSeconds() - seconds(then); }

    bool good() const {
        if (!PA_CONTEXT_IS_GOOD(pulse().pa_context_get_state(context_))) return false;
        return stream_ == nullptr || PA_STREAM_IS_GOOD(pulse().pa_stream_get_state(stream_));
    }

    // One pass of the main loop, waiting at most `timeout` for something to happen.
    bool iterate(std::chrono::microseconds timeout) {
        if (pulse().pa_mainloop_prepare(
                loop_, static_cast<int>(std::max<std::int64_t>(0, timeout.count()))) < 0)
            return false;
        if (pulse().pa_mainloop_poll(loop_) < 0) return false;
        return pulse().pa_mainloop_dispatch(loop_) >= 0;
    }

    bool iterateUntil(SteadyClock::time_point deadline) {
        const auto left = deadline - SteadyClock::now();
        if (left <= SteadyClock::duration::zero()) return false;
        return iterate(std::chrono::duration_cast<std::chrono::microseconds>(left));
    }

    bool fail(std::string& refusal, const char* why) {
        refusal = std::string("PulseAudio: ") + why;
        return false;
    }
    bool failWithError(std::string& refusal) {
        refusal =
            std::string("PulseAudio: ") + pulse().pa_strerror(pulse().pa_context_errno(context_));
        return false;
    }

    int wakeFd_;
    pa_mainloop* loop_ = nullptr;
    pa_mainloop_api* api_ = nullptr;
    pa_io_event* wakeEvent_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::size_t writtenFrames_ = 0;
    bool timingAsked_ = false;  // a timing asked for after a write has not come back
    SteadyClock::time_point timingAskedAt_;
    bool timedOnce_ = false;  // the stream's first timing was asked for and waited on
    // How long the timings asked for after the last writes took to come back (as many as the
    // server asks for in about 130 ms): the lead follows the server's load as it is now.
    RecentWorst roundTrips_;
    StreamClock clock_;  // when frame 0 is heard, system clock seconds (noteTiming)
    // Until the stream plays: when the sink has played out what it rendered before it.
    std::optional<double> startsAt_;
    double openedAt_ = 0;  // when the stream was ready, system clock seconds
    bool serverKnown_ = false;
    enum class Answer { Unknown, Yes, No } sink_ = Answer::Unknown;
    bool pipewire_ = false;          // PipeWire's pulse server rather than PulseAudio
    std::string server_;             // its name and version, for people
    std::size_t lastRead_ = 0;       // the read index, in frames, at the last timing
    std::size_t period_ = SIZE_MAX;  // the smallest step of the read index seen
    // What the last streams found, for a new stream's first tone, which is placed before the
    // stream has a timing: the sink's configured latency stays the same, and the graph's period
    // much the same (at a desktop's default it moves between 256 and 512 frames).
    std::size_t lastPeriod_ = SIZE_MAX;
    pa_usec_t sinkLatency_ = 0;
    // PipeWire's pulse server, for a new stream's first frame (firstCycle): the cycles of its
    // graph as the last stream heard them, when one began, system clock seconds, at the shortest
    // of recentPeriods_.
    std::optional<double> cycleAt_;
    double cycleSeenAt_ = 0;  // when that stream ended
    // How many streams in a row, up to the last, heard them where the stream before it did.
    std::size_t cyclesHeldFor_ = 0;
    // Whether the graph was running as this stream was asked for, where the server answered.
    std::optional<bool> graphRunning_;
    RecentPeriods recentPeriods_;
    RecentPeriods startedPeriods_;  // of the streams that started the graph themselves
};

}  // namespace

bool pulseLibraryLoads(std::string& refusal) {
    refusal = pulse().refusal;
    return pulse().complete;
}

std::unique_ptr<AudioOutput> openPulseOutput(int wakeFd, std::string& refusal) {
    if (!pulseLibraryLoads(refusal)) return nullptr;
    auto output = std::make_unique<PulseOutput>(wakeFd);
    if (!output->connect(refusal)) return nullptr;
    return output;
}

}  // namespace beep
