// A mono float stream to the desktop's sound system, through libraries loaded at run time.
#pragma once

#include <memory>
#include <span>
#include <string>

namespace beep {

inline constexpr unsigned kAudioSampleRateHz = 48000;

class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    // Blocks while the device's buffer is full. False once the device or server is gone.
    virtual bool write(std::span<const float> samples) = 0;
};

// PulseAudio's client library, which also reaches PipeWire through pipewire-pulse.
bool pulseLibraryLoads(std::string& refusal);
std::unique_ptr<AudioOutput> openPulseOutput(unsigned latencyMs, std::string& refusal);

// ALSA's "default" device.
bool alsaLibraryLoads(std::string& refusal);
std::unique_ptr<AudioOutput> openAlsaOutput(unsigned latencyMs, std::string& refusal);

}  // namespace beep
