// PipeWire's own client library, loaded with dlopen like PulseAudio's. The graph pulls a period at
// each cycle: the stream's process callback, on PipeWire's real-time thread, renders it, applying
// the changes of tone that the audio thread placed ahead through a lock-free ring, so that
// nothing on that thread waits for ours. Each cycle also tells exactly when its first frame is
// heard, which is what PipeWire's PulseAudio protocol cannot tell (its timing lags by up to a
// period). Through silence the stream is kept paused, at no cost to the server.
#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "audio_output.h"
#include "loaded_library.h"
#include "pulled_queue.h"
#include "realtime_priority.h"
#include "unique_fd.h"

namespace beep {

namespace {

constexpr std::chrono::milliseconds kConnectLimit{2000};
// A linked stream plays within a cycle or two; one that does not by then never will (nothing
// links it), and the tone is better off on the next way than waiting for it.
constexpr std::chrono::milliseconds kStartLimit{150};
constexpr std::chrono::milliseconds kStopLimit{50};

// What is used of the library, loaded by these names (see BEEP_LOADED_FUNCTIONS).
#define BEEP_PIPEWIRE_FUNCTIONS(X) \
    X(pw_init)                     \
    X(pw_loop_new)                 \
    X(pw_loop_destroy)             \
    X(pw_context_new)              \
    X(pw_context_connect)          \
    X(pw_context_destroy)          \
    X(pw_core_disconnect)          \
    X(pw_proxy_destroy)            \
    X(pw_properties_new)           \
    X(pw_stream_new)               \
    X(pw_stream_add_listener)      \
    X(pw_stream_connect)           \
    X(pw_stream_get_state)         \
    X(pw_stream_set_active)        \
    X(pw_stream_dequeue_buffer)    \
    X(pw_stream_queue_buffer)      \
    X(pw_stream_get_time_n)        \
    X(pw_stream_disconnect)        \
    X(pw_stream_destroy)
BEEP_LOADED_FUNCTIONS(PipeWireFunctions, "libpipewire-0.3.so.0", BEEP_PIPEWIRE_FUNCTIONS);

// Kept for the life of the process, as the PulseAudio functions are.
const PipeWireFunctions& pipewire() {
    static const PipeWireFunctions* const functions = new PipeWireFunctions;
    return *functions;
}

// Set up only where a server is there to be reached: the library's own set-up looks for its
// configuration, and says so on the terminal where there is none.
void initialiseOnce() {
    static const bool initialised = [] {
        pipewire().pw_init(nullptr, nullptr);
        return true;
    }();
    (void)initialised;
}

// The socket the library connects to, as it finds it: PIPEWIRE_REMOTE, a path or a name in the
// runtime folder (PIPEWIRE_RUNTIME_DIR, else XDG_RUNTIME_DIR), else pipewire-0 there.
std::string serverSocket() {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    std::string name = remote != nullptr && *remote != '\0' ? remote : "pipewire-0";
    if (name.front() == '/') return name;
    for (const char* variable : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR"}) {
        const char* folder = std::getenv(variable);
        if (folder != nullptr && *folder != '\0') return std::string(folder) + "/" + name;
    }
    return {};
}

using SteadyClock = std::chrono::steady_clock;

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

class PipeWireOutput final : public AudioOutput {
public:
    explicit PipeWireOutput(int wakeFd)
        : wakeFd_(wakeFd),
          takenFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
          queue_(kPipeWireAskedPeriodFrames) {}
    ~PipeWireOutput() override {
        destroyStream();
        if (registry_ != nullptr) {
            spa_hook_remove(&registryListener_);
            // A proxy the core handed out is not freed with the core.
            pipewire().pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        }
        if (core_ != nullptr) pipewire().pw_core_disconnect(core_);
        if (context_ != nullptr) pipewire().pw_context_destroy(context_);
        if (loop_ != nullptr) {
            pw_loop_leave(loop_);
            pipewire().pw_loop_destroy(loop_);
        }
    }
    PipeWireOutput(const PipeWireOutput&) = delete;
    PipeWireOutput& operator=(const PipeWireOutput&) = delete;

    bool connect(std::string& refusal) {
        if (!takenFd_) return fail(refusal, "no eventfd");
        loop_ = pipewire().pw_loop_new(nullptr);
        if (loop_ == nullptr) return fail(refusal, "no loop");
        // The loop is ours alone: this thread iterates it, from here on.
        pw_loop_enter(loop_);
        if (wakeFd_ >= 0) pw_loop_add_io(loop_, wakeFd_, SPA_IO_IN, false, drain, nullptr);
        pw_loop_add_io(loop_, takenFd_.get(), SPA_IO_IN, false, drain, nullptr);
        context_ = pipewire().pw_context_new(loop_, nullptr, 0);
        if (context_ == nullptr) return failWithErrno(refusal, "no context");
        // No server is started on the user's behalf: the desktop runs one or it does not.
        core_ = pipewire().pw_context_connect(context_, nullptr, 0);
        if (core_ == nullptr) return failWithErrno(refusal, "no server");
        static const pw_core_events coreEvents = [] {
            pw_core_events events{};
            events.version = PW_VERSION_CORE_EVENTS;
            events.info = [](void* self, const pw_core_info* info) {
                auto* output = static_cast<PipeWireOutput*>(self);
                if (info->version != nullptr)
                    output->server_ = std::string("PipeWire ") + info->version + " (its own API)";
            };
            events.done = [](void* self, std::uint32_t id, int seq) {
                auto* output = static_cast<PipeWireOutput*>(self);
                if (id == PW_ID_CORE && seq == output->syncSeq_) output->synced_ = true;
            };
            // The server went away (it stopped, or restarted): streams then fall back to
            // unconnected rather than to an error, and only this says the connection is dead.
            events.error = [](void* self, std::uint32_t id, int, int result, const char*) {
                if (id == PW_ID_CORE && result == -EPIPE)
                    static_cast<PipeWireOutput*>(self)->lost_ = true;
            };
            return events;
        }();
        pw_core_add_listener(core_, &coreListener_, &coreEvents, this);
        // What the graph holds: a stream plays only where a sink is there and a session
        // manager links the stream to it. Followed from here on, so that a sink that goes
        // is known at the next tone.
        registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
        if (registry_ == nullptr) return failWithErrno(refusal, "no registry");
        static const pw_registry_events registryEvents = [] {
            pw_registry_events events{};
            events.version = PW_VERSION_REGISTRY_EVENTS;
            events.global = [](void* self, std::uint32_t id, std::uint32_t, const char* type,
                               std::uint32_t, const spa_dict* props) {
                static_cast<PipeWireOutput*>(self)->noteGlobal(id, type, props);
            };
            events.global_remove = [](void* self, std::uint32_t id) {
                auto* output = static_cast<PipeWireOutput*>(self);
                output->sinks_.erase(id);
                if (output->manager_ == id) output->manager_.reset();
            };
            return events;
        }();
        pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
        if (!roundTrip(SteadyClock::now() + kConnectLimit))
            return fail(refusal, lost_ ? "the server went away" : "the server did not answer");
        return canPlay(refusal);
    }

    bool startStream(std::string& refusal) override {
        // What happened through the silence (a hang-up, a sink gone) is seen only now that
        // the loop runs again.
        iterate(std::chrono::milliseconds(0));
        if (!canPlay(refusal)) return false;
        // A stream kept paused through the silence resumes within a cycle or two; a new one
        // waits for the session manager to link it, 5 to 15 ms, and its first cycle comes up
        // to a period later.
        if (paused_ && pipewire().pw_stream_get_state(stream_, nullptr) == PW_STREAM_STATE_PAUSED) {
            restartQueue();
            paused_ = false;
            pipewire().pw_stream_set_active(stream_, true);
        } else {
            destroyStream();
            if (!newStream(refusal)) return false;
        }
        return untilStreaming(refusal);
    }

    // Pauses the stream rather than ending it: the graph no longer runs it, and the sink is
    // left idle (it may suspend), while the next tone need not wait for a new stream.
    void stopStream() override {
        if (stream_ == nullptr || paused_) return;
        paused_ = true;
        pipewire().pw_stream_set_active(stream_, false);
        roundTrip(SteadyClock::now() + kStopLimit);
    }

    bool wait(std::chrono::milliseconds timeout) override {
        if (!iterate(timeout) || lost_) return false;
        raiseProcessThread();
        if (stream_ == nullptr || paused_) return true;
        // Unlinked (its sink went away): the graph pulls no more, and what is queued would
        // never play out. A relink to another sink comes sooner than the limit.
        if (pipewire().pw_stream_get_state(stream_, nullptr) == PW_STREAM_STATE_STREAMING) {
            unlinkedSince_.reset();
            return true;
        }
        if (!unlinkedSince_) unlinkedSince_ = SteadyClock::now();
        return SteadyClock::now() - *unlinkedSince_ < kStartLimit;
    }

    // The tone is rendered by the graph's cycles (toneRendering()): nothing is written here.
    std::size_t writableFrames() override { return 0; }
    bool write(std::span<const float>) override { return true; }
    bool rewind(std::size_t) override { return false; }
    std::size_t queuedFrames() override { return 0; }
    ToneRendering* toneRendering() override { return &queue_; }

    Standing standing() override {
        const double now = monotonicSeconds();
        const PulledQueue::Placement placement = queue_.placement(now, kPipeWireCycleSlackSeconds);
        Standing standing;
        standing.firstReplaceable = placement.firstReplaceable;
        standing.lead = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(placement.leadSeconds));
        standing.floor = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(placement.floorSeconds));
        if (placement.frameZero)
            standing.frameZero =
                SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                         std::chrono::duration<double>(*placement.frameZero - now));
        return standing;
    }

    std::string serverName() const override { return server_.empty() ? "PipeWire" : server_; }

private:
    bool newStream(std::string& refusal) {
        const PipeWireFunctions& pw = pipewire();
        const std::string period =
            std::to_string(kPipeWireAskedPeriodFrames) + "/" + std::to_string(kAudioSampleRateHz);
        stream_ =
            pw.pw_stream_new(core_, "PC speaker",
                             pw.pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                                  "Playback", PW_KEY_APP_NAME, "BEEP",
                                                  PW_KEY_NODE_LATENCY, period.c_str(), nullptr));
        if (stream_ == nullptr) return failWithErrno(refusal, "no stream");
        static const pw_stream_events streamEvents = [] {
            pw_stream_events events{};
            events.version = PW_VERSION_STREAM_EVENTS;
            events.process = [](void* self) { static_cast<PipeWireOutput*>(self)->process(); };
            return events;
        }();
        pw.pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);
        restartQueue();
        std::uint8_t podBuffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(podBuffer, sizeof podBuffer);
        spa_audio_info_raw format{};
        format.format = SPA_AUDIO_FORMAT_F32;
        format.rate = kAudioSampleRateHz;
        format.channels = 1;
        format.position[0] = SPA_AUDIO_CHANNEL_MONO;
        const spa_pod* params[] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
        const auto flags = static_cast<pw_stream_flags>(
            PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
        if (pw.pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0)
            return failWithErrno(refusal, "the stream was not connected");
        return true;
    }

    // Frame 0 of the stream is heard now, by our reckoning (see PulledQueue).
    void restartQueue() { queue_.restart(monotonicSeconds()); }

    // Until the graph runs the stream.
    bool untilStreaming(std::string& refusal) {
        const auto deadline = SteadyClock::now() + kStartLimit;
        unlinkedSince_.reset();
        for (;;) {
            const char* error = nullptr;
            const pw_stream_state state = pipewire().pw_stream_get_state(stream_, &error);
            if (state == PW_STREAM_STATE_STREAMING) return true;
            if (lost_) return fail(refusal, "the server went away");
            if (state == PW_STREAM_STATE_ERROR)
                return fail(refusal, error != nullptr ? error : "the stream failed");
            if (state == PW_STREAM_STATE_UNCONNECTED)
                return fail(refusal, "the server let the stream go");
            const auto left = deadline - SteadyClock::now();
            if (left <= SteadyClock::duration::zero())
                return fail(refusal, "the graph did not start the stream");
            iterate(std::chrono::duration_cast<std::chrono::milliseconds>(left) +
                    std::chrono::milliseconds(1));
        }
    }

    void destroyStream() {
        if (stream_ == nullptr) return;
        paused_ = false;
        pipewire().pw_stream_disconnect(stream_);
        const auto deadline = SteadyClock::now() + kStopLimit;
        while (pipewire().pw_stream_get_state(stream_, nullptr) != PW_STREAM_STATE_UNCONNECTED &&
               SteadyClock::now() < deadline)
            iterate(std::chrono::milliseconds(5));
        pipewire().pw_stream_destroy(stream_);
        stream_ = nullptr;
        roundTrip(deadline);
    }

    // Messages go out only while the loop runs, and it does not run while idle: this waits
    // until the server has answered everything sent before.
    bool roundTrip(SteadyClock::time_point deadline) {
        synced_ = false;
        syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
        while (!synced_ && !lost_ && SteadyClock::now() < deadline)
            iterate(std::chrono::milliseconds(5));
        return synced_;
    }

    void noteGlobal(std::uint32_t id, const char* type, const spa_dict* props) {
        if (props == nullptr) return;
        const std::string_view kind = type != nullptr ? type : "";
        if (kind == PW_TYPE_INTERFACE_Node) {
            const char* mediaClass = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
            const std::string_view media = mediaClass != nullptr ? mediaClass : "";
            if (media.starts_with("Audio/Sink") || media.starts_with("Audio/Duplex"))
                sinks_.insert(id);
        } else if (kind == PW_TYPE_INTERFACE_Metadata) {
            // The session manager keeps the default sink there; nothing else makes it.
            const char* name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
            if (name != nullptr && std::string_view(name) == "default") manager_ = id;
        }
    }

    // Whether a stream can play here: the server is there, with a sink, and a session manager
    // to link the stream to it.
    bool canPlay(std::string& refusal) const {
        if (lost_) return fail(refusal, "the server went away");
        if (sinks_.empty()) return fail(refusal, "the server has no sink");
        if (!manager_) return fail(refusal, "no session manager runs to link a stream");
        return true;
    }

    // A late cycle is a gap in the tone. The client library may leave its real-time thread at
    // normal priority, behind every busy process on the machine, while the audio thread that
    // only places changes is real-time: that thread has the tighter deadline. Raised once, where
    // the library has not made it real-time already.
    void raiseProcessThread() {
        if (processThreadRaised_) return;
        const pid_t thread = processThread_.load(std::memory_order_relaxed);
        if (thread == 0) return;
        processThreadRaised_ = true;
        raiseThreadPriority(thread);
    }

    static void drain(void*, int fd, std::uint32_t) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = ::read(fd, &count, sizeof count);
    }

    // On PipeWire's real-time thread, once per cycle of the graph.
    void process() {
        // Named for the audio thread to raise (see raiseProcessThread): asking here could
        // allocate and take locks that a thread of normal priority holds.
        if (processThread_.load(std::memory_order_relaxed) == 0)
            processThread_.store(static_cast<pid_t>(syscall(SYS_gettid)),
                                 std::memory_order_relaxed);
        pw_buffer* buffer = pipewire().pw_stream_dequeue_buffer(stream_);
        if (buffer == nullptr) return;
        spa_data& data = buffer->buffer->datas[0];
        if (auto* samples = static_cast<float*>(data.data)) {
            std::size_t frames = data.maxsize / sizeof(float);
            if (buffer->requested != 0) frames = std::min<std::size_t>(frames, buffer->requested);
            pw_time time{};
            std::optional<PulledQueue::CycleTiming> timing;
            if (pipewire().pw_stream_get_time_n(stream_, &time, sizeof time) == 0 &&
                time.rate.denom != 0 && time.now != 0) {
                // The first frame of this period is heard the stream's delay after the cycle.
                const double tick = double(time.rate.num) / time.rate.denom;
                const double ranAt = 1e-9 * double(time.now);
                timing = {ranAt, ranAt + double(time.delay + std::int64_t(time.buffered)) * tick};
            }
            queue_.take(std::span(samples, frames), timing);
            data.chunk->offset = 0;
            data.chunk->stride = sizeof(float);
            data.chunk->size = static_cast<std::uint32_t>(frames * sizeof(float));
        }
        pipewire().pw_stream_queue_buffer(stream_, buffer);
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto sent = ::write(takenFd_.get(), &one, sizeof one);
    }

    // One pass of the loop, waiting at most `timeout` for something to happen.
    bool iterate(std::chrono::milliseconds timeout) {
        const int result = pw_loop_iterate(loop_, static_cast<int>(timeout.count()));
        return result >= 0 || result == -EINTR;
    }

    static bool fail(std::string& refusal, const char* why) {
        refusal = std::string("PipeWire: ") + why;
        return false;
    }
    static bool failWithErrno(std::string& refusal, const char* why) {
        refusal = std::string("PipeWire: ") + why + " (" + std::strerror(errno) + ")";
        return false;
    }

    int wakeFd_;
    UniqueFd takenFd_;  // written by each cycle, so that the audio thread sees it played on
    pw_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    std::set<std::uint32_t> sinks_;         // the sink nodes in the graph
    std::optional<std::uint32_t> manager_;  // the session manager's default metadata
    bool lost_ = false;                     // the server went away
    std::optional<SteadyClock::time_point> unlinkedSince_;  // a playing stream unlinked
    pw_stream* stream_ = nullptr;
    spa_hook streamListener_{};
    std::string server_;
    bool paused_ = false;  // the stream is kept, inactive
    int syncSeq_ = -1;     // of the last round trip asked for
    bool synced_ = false;
    std::atomic<pid_t> processThread_{0};  // as the process callback names it
    bool processThreadRaised_ = false;

    PulledQueue queue_;  // placed in by this thread, rendered from by the process callback
};

}  // namespace

bool pipewireLibraryLoads(std::string& refusal) {
    refusal = pipewire().refusal;
    return pipewire().complete;
}

std::unique_ptr<AudioOutput> openPipeWireOutput(int wakeFd, std::string& refusal) {
    if (!pipewireLibraryLoads(refusal)) return nullptr;
    // A PulseAudio server named by the user is theirs to choose; PipeWire is then used only
    // where it is named too.
    if (std::getenv("PULSE_SERVER") != nullptr && std::getenv("PIPEWIRE_REMOTE") == nullptr) {
        refusal = "PipeWire: PULSE_SERVER names the server, PIPEWIRE_REMOTE does not";
        return nullptr;
    }
    const std::string socket = serverSocket();
    std::error_code error;
    if (socket.empty() || !std::filesystem::is_socket(socket, error)) {
        refusal =
            "PipeWire: no server (" + (socket.empty() ? "no runtime folder" : "no " + socket) + ")";
        return nullptr;
    }
    initialiseOnce();
    auto output = std::make_unique<PipeWireOutput>(wakeFd);
    if (!output->connect(refusal)) return nullptr;
    return output;
}

}  // namespace beep
