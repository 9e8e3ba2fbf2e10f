// PulseAudio's simple API, loaded with dlopen so that the library needs nothing at link time.
#include <dlfcn.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include "audio_output.h"

namespace beep {

namespace {

struct PulseFunctions {
    decltype(&pa_simple_new) simpleNew = nullptr;
    decltype(&pa_simple_write) simpleWrite = nullptr;
    decltype(&pa_simple_free) simpleFree = nullptr;
    decltype(&pa_strerror) strerror = nullptr;
    std::string refusal;

    PulseFunctions() {
        void* library = dlopen("libpulse-simple.so.0", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            refusal = "libpulse-simple.so.0 cannot be loaded";
            return;
        }
        simpleNew = reinterpret_cast<decltype(simpleNew)>(dlsym(library, "pa_simple_new"));
        simpleWrite = reinterpret_cast<decltype(simpleWrite)>(dlsym(library, "pa_simple_write"));
        simpleFree = reinterpret_cast<decltype(simpleFree)>(dlsym(library, "pa_simple_free"));
        strerror = reinterpret_cast<decltype(strerror)>(dlsym(library, "pa_strerror"));
        if (!simpleNew || !simpleWrite || !simpleFree || !strerror) {
            simpleNew = nullptr;
            refusal = "libpulse-simple.so.0 lacks the simple API";
        }
    }
};

const PulseFunctions& pulse() {
    static const PulseFunctions functions;
    return functions;
}

class PulseOutput final : public AudioOutput {
public:
    explicit PulseOutput(pa_simple* stream) : stream_(stream) {}
    ~PulseOutput() override { pulse().simpleFree(stream_); }
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    bool write(std::span<const float> samples) override {
        int error = 0;
        return pulse().simpleWrite(stream_, samples.data(), samples.size_bytes(), &error) == 0;
    }

private:
    pa_simple* stream_;
};

}  // namespace

bool pulseLibraryLoads(std::string& refusal) {
    refusal = pulse().refusal;
    return pulse().simpleNew != nullptr;
}

std::unique_ptr<AudioOutput> openPulseOutput(unsigned latencyMs, std::string& refusal) {
    if (!pulseLibraryLoads(refusal)) return nullptr;
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, kAudioSampleRateHz, 1};
    // A short target length keeps the tone's start and end within a few tens of ms.
    const auto bytes =
        static_cast<std::uint32_t>(kAudioSampleRateHz * latencyMs / 1000 * sizeof(float));
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = bytes;
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    int error = 0;
    pa_simple* stream = pulse().simpleNew(nullptr, "BEEP", PA_STREAM_PLAYBACK, nullptr,
                                          "PC speaker", &format, nullptr, &attributes, &error);
    if (stream == nullptr) {
        refusal = std::string("PulseAudio: ") + pulse().strerror(error);
        return nullptr;
    }
    return std::make_unique<PulseOutput>(stream);
}

}  // namespace beep
