// ALSA's "default" device, loaded with dlopen so that the library needs nothing at link time.
// Written without blocking. Its queue is kept short instead of rewritten: the plugins that
// stand between a program and the card (the sound servers' among them) report frames as
// rewindable that they have already passed on, and a rewind then starves the stream.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "audio_output.h"
#include "loaded_library.h"
#include "whole_writes.h"

namespace beep {

namespace {

// How long one wait for room in the device lasts, at most.
constexpr int kRoomWaitMs = 5;

// ALSA reports configuration trouble on stderr; the library reports nothing.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

// What is used of the library, loaded by these names (see BEEP_LOADED_FUNCTIONS).
#define BEEP_ALSA_FUNCTIONS(X)          \
    X(snd_pcm_open)                     \
    X(snd_pcm_set_params)               \
    X(snd_pcm_writei)                   \
    X(snd_pcm_recover)                  \
    X(snd_pcm_drop)                     \
    X(snd_pcm_close)                    \
    X(snd_pcm_avail_update)             \
    X(snd_pcm_delay)                    \
    X(snd_pcm_state)                    \
    X(snd_pcm_get_params)               \
    X(snd_pcm_wait)                     \
    X(snd_pcm_poll_descriptors_count)   \
    X(snd_pcm_poll_descriptors)         \
    X(snd_pcm_poll_descriptors_revents) \
    X(snd_strerror)                     \
    X(snd_lib_error_set_handler)
BEEP_LOADED_FUNCTIONS(AlsaFunctions, "libasound.so.2", BEEP_ALSA_FUNCTIONS);

// Kept for the life of the process: the audio thread may still use it while the process exits.
const AlsaFunctions& alsa() {
    static const AlsaFunctions* const functions = [] {
        auto* loaded = new AlsaFunctions;
        if (loaded->complete) loaded->snd_lib_error_set_handler(quietAlsa);
        return loaded;
    }();
    return *functions;
}

snd_pcm_t* openDevice(std::string& refusal) {
    snd_pcm_t* pcm = nullptr;
    int error = alsa().snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (error == 0) {
        const auto latencyUs = static_cast<unsigned>(kAlsaQueuedAudio.count() * 1000);
        error =
            alsa().snd_pcm_set_params(pcm, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                                      1, kAudioSampleRateHz, 1, latencyUs);
        if (error != 0) alsa().snd_pcm_close(pcm);
    }
    if (error != 0) {
        refusal = std::string("ALSA default device: ") + alsa().snd_strerror(error);
        return nullptr;
    }
    return pcm;
}

class AlsaOutput final : public AudioOutput {
public:
    AlsaOutput(snd_pcm_t* pcm, int wakeFd) : pcm_(pcm), wakeFd_(wakeFd) {}
    ~AlsaOutput() override { stopStream(); }
    AlsaOutput(const AlsaOutput&) = delete;
    AlsaOutput& operator=(const AlsaOutput&) = delete;

    // The device is held only while a stream plays: closed, it may idle or serve others.
    bool startStream(std::string& refusal) override {
        writtenFrames_ = 0;
        if (pcm_ == nullptr) pcm_ = openDevice(refusal);
        return pcm_ != nullptr;
    }
    void stopStream() override {
        if (pcm_ == nullptr) return;
        alsa().snd_pcm_drop(pcm_);
        alsa().snd_pcm_close(pcm_);
        pcm_ = nullptr;
    }

    bool wait(std::chrono::milliseconds timeout) override {
        const int count = alsa().snd_pcm_poll_descriptors_count(pcm_);
        if (count <= 0) return false;
        std::vector<pollfd> fds(std::size_t(count) + 1);
        alsa().snd_pcm_poll_descriptors(pcm_, fds.data(), unsigned(count));
        fds[std::size_t(count)] = {wakeFd_, POLLIN, 0};
        if (::poll(fds.data(), fds.size(), static_cast<int>(timeout.count())) < 0) return true;
        if (fds[std::size_t(count)].revents & POLLIN) {
            std::uint64_t wakes = 0;
            [[maybe_unused]] const auto got = ::read(wakeFd_, &wakes, sizeof wakes);
        }
        unsigned short events = 0;
        alsa().snd_pcm_poll_descriptors_revents(pcm_, fds.data(), unsigned(count), &events);
        return (events & (POLLERR | POLLNVAL)) == 0 || recover(-EPIPE);
    }

    std::size_t writableFrames() override {
        const snd_pcm_sframes_t available = alsa().snd_pcm_avail_update(pcm_);
        if (available < 0) {
            recover(static_cast<int>(available));
            return 0;
        }
        return static_cast<std::size_t>(available);
    }

    // Only what writableFrames() allowed is written, so the device has room for it; a plugin
    // in between may still take part of it now and the rest a little later.
    bool write(std::span<const float> samples) override {
        if (!writeWholeBlock(
                samples,
                [this](const float* data, std::size_t frames) {
                    return static_cast<ssize_t>(alsa().snd_pcm_writei(pcm_, data, frames));
                },
                [this](int error) { return recover(error); },
                [this] { return std::min(alsa().snd_pcm_wait(pcm_, kRoomWaitMs), 0); }))
            return false;
        writtenFrames_ += samples.size();
        return true;
    }

    // What was written stays written, and the device's whole buffer is kept written: a change
    // is heard no sooner than that buffer plays out, and waits for its frame to be written.
    Standing standing() override {
        Standing standing{writtenFrames_, std::nullopt};
        snd_pcm_uframes_t buffer = 0, period = 0;
        if (alsa().snd_pcm_get_params(pcm_, &buffer, &period) == 0) {
            standing.floor = std::chrono::microseconds(buffer * 1000000 / kAudioSampleRateHz);
            standing.lead = standing.floor + kAlsaWritingTime;
        }
        snd_pcm_sframes_t delay = 0;
        if (alsa().snd_pcm_state(pcm_) == SND_PCM_STATE_RUNNING &&
            alsa().snd_pcm_delay(pcm_, &delay) == 0) {
            // The next frame written is heard `delay` frames from now.
            const double untilFrameZero =
                (double(delay) - double(writtenFrames_)) / kAudioSampleRateHz;
            standing.frameZero = std::chrono::steady_clock::now() +
                                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(untilFrameZero));
        }
        return standing;
    }
    bool rewind(std::size_t) override { return false; }

    std::size_t queuedFrames() override {
        snd_pcm_sframes_t delay = 0;
        if (alsa().snd_pcm_delay(pcm_, &delay) < 0 || delay < 0) return 0;
        return static_cast<std::size_t>(delay);
    }

private:
    // An underrun or a suspend is recovered; a vanished device is not.
    bool recover(int error) { return alsa().snd_pcm_recover(pcm_, error, 1) >= 0; }

    snd_pcm_t* pcm_;
    int wakeFd_;
    std::size_t writtenFrames_ = 0;  // since the stream started
};

}  // namespace

bool alsaLibraryLoads(std::string& refusal) {
    refusal = alsa().refusal;
    return alsa().complete;
}

std::unique_ptr<AudioOutput> openAlsaOutput(int wakeFd, std::string& refusal) {
    if (!alsaLibraryLoads(refusal)) return nullptr;
    snd_pcm_t* pcm = openDevice(refusal);
    if (pcm == nullptr) return nullptr;
    return std::make_unique<AlsaOutput>(pcm, wakeFd);
}

}  // namespace beep
