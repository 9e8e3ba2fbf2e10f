// The emulated speaker heard through the sound system: an audio thread renders the square wave
// while the three functions only publish the gate and the count.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio_output.h"
#include "tone_sink.h"

namespace beep {

class SoundSystemSink final : public ToneSink {
public:
    using OutputOpener = std::function<std::unique_ptr<AudioOutput>(std::string& refusal)>;

    static constexpr unsigned kLatencyMs = 15;
    static constexpr std::size_t kChunkFrames = 128;
    // Once silent this long the stream is closed and the device may idle.
    static constexpr double kIdleSeconds = 5.0;

    // PulseAudio first, then ALSA.
    static std::vector<OutputOpener> defaultOutputs();

    explicit SoundSystemSink(std::vector<OutputOpener> outputs = defaultOutputs());
    ~SoundSystemSink() override;
    SoundSystemSink(const SoundSystemSink&) = delete;
    SoundSystemSink& operator=(const SoundSystemSink&) = delete;

    void setTone(std::optional<std::uint32_t> divisor) noexcept override;

private:
    void run();
    std::unique_ptr<AudioOutput> openOutput();

    std::vector<OutputOpener> outputs_;
    // Low 32 bits: the divisor while sounding, else 0. High 32 bits: how many times the gate
    // has opened, so that a failed connection is tried again at the next opening only.
    std::atomic<std::uint64_t> state_{0};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace beep
