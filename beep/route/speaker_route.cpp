#include "speaker_route.h"

#include <sys/auxv.h>

#include <array>
#include <cstdlib>
#include <new>

#include "audio_output.h"
#include "emulated_bus.h"
#include "sound_system_sink.h"

namespace beep {

namespace {

struct RouteNames {
    Route route;
    std::string_view name;
    std::string_view key;
};

constexpr std::array kRouteNames{
    RouteNames{Route::DirectPorts, "direct port I/O", "direct"},
    RouteNames{Route::DevPort, "/dev/port", "dev-port"},
    RouteNames{Route::KernelDevice, "kernel PC-speaker device", "kernel"},
    RouteNames{Route::SoundSystem, "sound system", "sound-system"},
    RouteNames{Route::Silence, "silence", "silence"},
};

const RouteNames& namesOf(Route route) noexcept {
    return kRouteNames[static_cast<std::size_t>(route)];
}

}  // namespace

std::string_view routeName(Route route) noexcept {
    return namesOf(route).name;
}

std::string_view routeKey(Route route) noexcept {
    return namesOf(route).key;
}

std::optional<Route> routeFromKey(std::string_view key) noexcept {
    for (const RouteNames& names : kRouteNames)
        if (names.key == key) return names.route;
    return std::nullopt;
}

bool secureExecution() noexcept {
    return getauxval(AT_SECURE) != 0;
}

SpeakerRoute chooseRoute(const RouteOptions& options) {
    SpeakerRoute route;
    std::string refusal;
    if (options.tryDirectPorts) {
        route.bus = openDirectPorts(refusal, *options.calls);
        route.attempts.push_back({Route::DirectPorts, refusal});
        if (route.bus) return route;
    }
    refusal.clear();
    route.bus = openDevPort(options.devPortPath.c_str(), refusal, *options.calls);
    route.attempts.push_back({Route::DevPort, refusal});
    if (route.bus) return route;

    auto emulate = [&route](std::unique_ptr<ToneSink> sink, Route way) {
        route.bus = std::make_unique<EmulatedSpeakerBus>(std::move(sink));
        route.attempts.push_back({way, {}});
        return std::move(route);
    };

    refusal.clear();
    if (auto device = openPcSpeakerDevice(options.pcSpeakerPath.c_str(), refusal))
        return emulate(std::move(device), Route::KernelDevice);
    route.attempts.push_back({Route::KernelDevice, refusal});

    if (options.trySoundSystem) {
        if (soundLibrariesLoad(refusal))
            return emulate(std::make_unique<SoundSystemSink>(), Route::SoundSystem);
        route.attempts.push_back({Route::SoundSystem, refusal});
    } else if (secureExecution()) {
        route.attempts.push_back({Route::SoundSystem, "not tried in secure-execution mode"});
    }
    return emulate(std::make_unique<SilentSink>(), Route::Silence);
}

namespace {

EmulatedSpeakerBus* heardThroughSoundSystem = nullptr;

}  // namespace

PortBus& processBus() noexcept {
    static PortBus* const bus = []() noexcept -> PortBus* {
        try {
            // Kept for the life of the process: the speaker may still be sounding at exit.
            SpeakerRoute route = chooseRoute(RouteOptions{});
            PortBus* chosen = route.bus.release();
            if (route.taken() == Route::SoundSystem) {
                // A tone through the sound system ends a little after its gate closed: a
                // program that ends at once (a tone from the command line) must not cut it.
                heardThroughSoundSystem = static_cast<EmulatedSpeakerBus*>(chosen);
                std::atexit([] { heardThroughSoundSystem->finishTone(); });
            }
            return chosen;
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
