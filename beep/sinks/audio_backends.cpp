// The ways to the sound system that this build has, best first.
#include <vector>

#include "audio_output.h"

namespace beep {

#ifdef VIREKO_HAVE_PIPEWIRE
bool pipewireLibraryLoads(std::string& refusal);
std::unique_ptr<AudioOutput> openPipeWireOutput(int wakeFd, std::string& refusal);
#endif
#ifdef VIREKO_HAVE_PULSE
bool pulseLibraryLoads(std::string& refusal);
std::unique_ptr<AudioOutput> openPulseOutput(int wakeFd, std::string& refusal);
#endif
#ifdef VIREKO_HAVE_ALSA
bool alsaLibraryLoads(std::string& refusal);
std::unique_ptr<AudioOutput> openAlsaOutput(int wakeFd, std::string& refusal);
#endif

std::span<const AudioBackend> audioBackends() {
    static const AudioBackend backends[] = {
#ifdef VIREKO_HAVE_PIPEWIRE
        {"PipeWire", pipewireLibraryLoads, openPipeWireOutput},
#endif
#ifdef VIREKO_HAVE_PULSE
        {"PulseAudio (or PipeWire)", pulseLibraryLoads, openPulseOutput},
#endif
#ifdef VIREKO_HAVE_ALSA
        {"the ALSA default device", alsaLibraryLoads, openAlsaOutput},
#endif
        {"", nullptr, nullptr},  // keeps the array from being empty
    };
    return std::span(backends, std::size(backends) - 1);
}

std::optional<std::string> acceptingSoundWay(std::string& refusal) {
    refusal.clear();
    for (const AudioBackend& backend : audioBackends()) {
        std::string why;
        const auto output = backend.open(-1, why);
        if (output != nullptr && output->startStream(why)) {
            const std::string server = output->serverName();
            return server.empty() ? std::string(backend.name) : server;
        }
        refusal += (refusal.empty() ? "" : "; ") + why;
    }
    if (refusal.empty()) refusal = "no sound-system way was built";
    return std::nullopt;
}

bool soundLibrariesLoad(std::string& refusal) {
    refusal.clear();
    for (const AudioBackend& backend : audioBackends()) {
        std::string why;
        if (backend.libraryLoads(why)) return true;
        refusal += (refusal.empty() ? "" : "; ") + why;
    }
    if (refusal.empty()) refusal = "built without PulseAudio and ALSA";
    return false;
}

}  // namespace beep
