#include "sound_system_sink.h"

#include "square_synth.h"

namespace beep {

namespace {
constexpr std::uint64_t kDivisorMask = 0xFFFFFFFFu;
std::uint32_t divisorOf(std::uint64_t state) {
    return static_cast<std::uint32_t>(state & kDivisorMask);
}
std::uint32_t openingOf(std::uint64_t state) {
    return static_cast<std::uint32_t>(state >> 32);
}
}  // namespace

std::vector<SoundSystemSink::OutputOpener> SoundSystemSink::defaultOutputs() {
    return {[](std::string& refusal) { return openPulseOutput(kLatencyMs, refusal); },
            [](std::string& refusal) { return openAlsaOutput(kLatencyMs, refusal); }};
}

SoundSystemSink::SoundSystemSink(std::vector<OutputOpener> outputs)
    : outputs_(std::move(outputs)) {}

SoundSystemSink::~SoundSystemSink() {
    stopping_ = true;
    state_.fetch_add(std::uint64_t{1} << 32);
    state_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void SoundSystemSink::setTone(std::optional<std::uint32_t> divisor) noexcept {
    const std::uint64_t previous = state_.load(std::memory_order_relaxed);
    std::uint32_t opening = openingOf(previous);
    if (divisor && divisorOf(previous) == 0) ++opening;
    state_.store((std::uint64_t{opening} << 32) | (divisor ? *divisor : 0u),
                 std::memory_order_release);
    state_.notify_one();
    if (divisor && !thread_.joinable()) {
        try {
            thread_ = std::thread([this] { run(); });
        } catch (...) {
            // No thread, no sound; the caller is never told.
        }
    }
}

std::unique_ptr<AudioOutput> SoundSystemSink::openOutput() {
    for (const auto& open : outputs_) {
        std::string refusal;
        if (auto output = open(refusal)) return output;
    }
    return nullptr;
}

void SoundSystemSink::run() {
    SquareWaveSynth synth(kAudioSampleRateHz);
    std::vector<float> chunk(kChunkFrames);
    std::unique_ptr<AudioOutput> output;
    std::optional<std::uint32_t> failedOpening;
    const auto idleLimitFrames = static_cast<std::size_t>(kIdleSeconds * kAudioSampleRateHz);
    std::size_t idleFrames = 0;

    while (!stopping_) {
        const std::uint64_t state = state_.load(std::memory_order_acquire);
        const std::uint32_t divisor = divisorOf(state);
        if (!output) {
            if (divisor == 0 || failedOpening == openingOf(state)) {
                state_.wait(state, std::memory_order_acquire);
                continue;
            }
            output = openOutput();
            if (!output) {
                failedOpening = openingOf(state);
                continue;
            }
            synth = SquareWaveSynth(kAudioSampleRateHz);
            idleFrames = 0;
        }
        synth.setTone(divisor != 0 ? std::optional(divisor) : std::nullopt);
        synth.render(chunk);
        if (!output->write(chunk)) {
            // The server went away: drop the stream and wait for the next opening of the gate.
            output.reset();
            failedOpening = openingOf(state);
            continue;
        }
        idleFrames = synth.silent() ? idleFrames + chunk.size() : 0;
        if (idleFrames >= idleLimitFrames) output.reset();
    }
}

}  // namespace beep
