#include "speaker_route.h"

#include <sys/auxv.h>

#include <new>

#include "emulated_bus.h"
#include "hardware_ports.h"
#include "pcspkr_event_sink.h"
#include "sound_system_sink.h"

namespace beep {

bool secureExecution() noexcept {
    return getauxval(AT_SECURE) != 0;
}

SpeakerRoute chooseRoute(const RouteOptions& options) {
    SpeakerRoute route;
    std::string refusal;
    if (options.tryDirectPorts) {
        route.bus = openDirectPorts(refusal);
        route.attempts.push_back({"direct port I/O", refusal});
        if (route.bus) return route;
    }
    refusal.clear();
    route.bus = openDevPort(options.devPortPath.c_str(), refusal);
    route.attempts.push_back({options.devPortPath, refusal});
    if (route.bus) return route;

    auto emulate = [&route](std::unique_ptr<ToneSink> sink, std::string way) {
        route.bus = std::make_unique<EmulatedSpeakerBus>(std::move(sink));
        route.attempts.push_back({std::move(way), {}});
        return std::move(route);
    };

    refusal.clear();
    if (auto device = openPcSpeakerDevice(options.pcSpeakerPath.c_str(), refusal))
        return emulate(std::move(device), "kernel PC-speaker device");
    route.attempts.push_back({"kernel PC-speaker device", refusal});

    if (options.trySoundSystem) {
        std::string pulseRefusal, alsaRefusal;
        const bool pulse = pulseLibraryLoads(pulseRefusal);
        const bool alsa = alsaLibraryLoads(alsaRefusal);
        if (pulse || alsa) return emulate(std::make_unique<SoundSystemSink>(), "sound system");
        route.attempts.push_back({"sound system", pulseRefusal + "; " + alsaRefusal});
    } else if (secureExecution()) {
        route.attempts.push_back({"sound system", "not tried in secure-execution mode"});
    }
    return emulate(std::make_unique<SilentSink>(), "silence");
}

PortBus& processBus() noexcept {
    static PortBus* const bus = []() noexcept -> PortBus* {
        try {
            // Kept for the life of the process: the speaker may still be sounding at exit.
            return chooseRoute(RouteOptions{}).bus.release();
        } catch (...) {
            // Built in place and never destroyed, like the chosen bus: exit() must not take
            // it from a caller on another thread.
            alignas(EmulatedSpeakerBus) static unsigned char storage[sizeof(EmulatedSpeakerBus)];
            return new (storage) EmulatedSpeakerBus(nullptr);
        }
    }();
    return *bus;
}

}  // namespace beep
