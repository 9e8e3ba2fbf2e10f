// The emulated speaker heard through the sound system: an audio thread renders the square wave
// while the three functions only publish the gate and the count.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio_output.h"
#include "tone_sink.h"
#include "unique_fd.h"

namespace beep {

class SoundSystemSink final : public ToneSink {
public:
    using OutputOpener =
        std::function<std::unique_ptr<AudioOutput>(int wakeFd, std::string& refusal)>;

    // Audio is rendered, and can be rewritten, in pieces of this many frames.
    static constexpr std::size_t kChunkFrames = 128;
    // Once the tone has been silent this long the stream is closed (on PipeWire, paused), so
    // that the server asks nothing while nothing sounds; the connection is kept, and a new
    // stream starts as soon.
    static constexpr std::chrono::milliseconds kHoldAfterTone{300};

    // The ways built, best first (see audioBackends()).
    static std::vector<OutputOpener> defaultOutputs();

    explicit SoundSystemSink(std::vector<OutputOpener> outputs = defaultOutputs());
    ~SoundSystemSink() override;
    SoundSystemSink(const SoundSystemSink&) = delete;
    SoundSystemSink& operator=(const SoundSystemSink&) = delete;

    void setTone(std::optional<std::uint32_t> divisor) noexcept override;

private:
    friend class StreamPlayer;

    void run();
    void wakeAudioThread() noexcept;
    std::unique_ptr<AudioOutput> openOutput();
    // Plays one stream from the opening of the gate until it has been silent for a while.
    // False where the output could not be opened or was lost.
    bool playStream(std::unique_ptr<AudioOutput>& output);
    std::optional<std::uint32_t> currentTone() const;
    std::chrono::steady_clock::time_point lastChangeAt() const;
    // The last tone the gate opened on (its last count) and when it opened.
    std::pair<std::uint32_t, std::chrono::steady_clock::time_point> lastOpening() const;

    std::vector<OutputOpener> outputs_;
    // Low 32 bits: the divisor while sounding, else 0. High 32 bits: how many times the gate
    // has opened, so that a failed connection is tried again at the next opening only.
    std::atomic<std::uint64_t> state_{0};
    // When the state last changed, on the steady clock, so that each change is heard the same
    // lead after it was made, however late the audio thread gets to it.
    std::atomic<std::int64_t> changedAtNs_{0};
    // Of the last opening, for a stream that was still being opened when the gate closed.
    std::atomic<std::uint32_t> lastDivisor_{0};
    std::atomic<std::int64_t> openedAtNs_{0};
    std::atomic<bool> stopping_{false};
    UniqueFd wakeFd_;             // an eventfd that ends the audio thread's waits at once
    bool priorityAsked_ = false;  // by the audio thread, for itself
    std::thread thread_;
};

}  // namespace beep
