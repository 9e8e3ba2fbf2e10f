#include "speaker_route.h"

#include "emulated_bus.h"
#include "hardware_ports.h"

namespace beep {

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

    route.bus = std::make_unique<EmulatedSpeakerBus>(std::make_unique<SilentSink>());
    route.attempts.push_back({"emulated speaker (silent)", {}});
    return route;
}

PortBus& processBus() noexcept {
    static PortBus* const bus = []() noexcept -> PortBus* {
        try {
            // Kept for the life of the process: the speaker may still be sounding at exit.
            return chooseRoute(RouteOptions{}).bus.release();
        } catch (...) {
            static EmulatedSpeakerBus fallback(nullptr);
            return &fallback;
        }
    }();
    return *bus;
}

}  // namespace beep
