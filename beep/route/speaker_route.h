// How the library reaches the speaker: the first way that works, chosen once per process.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hardware_ports.h"
#include "pcspkr_event_sink.h"
#include "port_bus.h"

namespace beep {

// The ways, in the order they are tried.
enum class Route {
    DirectPorts,   // ioperm and the port instructions
    DevPort,       // /dev/port
    KernelDevice,  // the emulated speaker, heard through the kernel's PC-speaker device
    SoundSystem,   // the emulated speaker, heard through PulseAudio, PipeWire or ALSA
    Silence,       // the emulated speaker, heard nowhere
};

// The way as people call it: "direct port I/O", "/dev/port", "kernel PC-speaker device", ...
std::string_view routeName(Route route) noexcept;
// A short key for scripts and logs ("direct", "dev-port", "kernel", "sound-system", "silence"),
// and back.
std::string_view routeKey(Route route) noexcept;
std::optional<Route> routeFromKey(std::string_view key) noexcept;

// Whether the process runs in secure-execution mode (set-user-ID, set-group-ID or file
// capabilities): then nothing the environment names is loaded, and the sound libraries, which
// follow the environment to servers, configuration and plugins, are not tried.
bool secureExecution() noexcept;

struct RouteOptions {
    bool tryDirectPorts = true;
    std::string devPortPath = kDevPortPath;
    std::string pcSpeakerPath = kPcSpeakerDevicePath;
    bool trySoundSystem = !secureExecution();
    PrivilegedCalls* calls = &systemCalls();  // must outlive the bus
};

struct RouteAttempt {
    Route route;
    std::string refusal;  // empty for the way that was taken
};

struct SpeakerRoute {
    std::unique_ptr<PortBus> bus;
    std::vector<RouteAttempt> attempts;  // in the order tried; the last one was taken

    Route taken() const { return attempts.back().route; }
};

// Tries, in order: direct port I/O, /dev/port, then the emulated speaker heard through the
// kernel's PC-speaker device, through the sound system, or not at all.
SpeakerRoute chooseRoute(const RouteOptions& options);

// The process's bus, chosen with the default options at the first call.
PortBus& processBus() noexcept;

}  // namespace beep
