// How the library reaches the speaker: the first way that works, chosen once per process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "pcspkr_event_sink.h"
#include "port_bus.h"

namespace beep {

// Whether the process runs in secure-execution mode (set-user-ID, set-group-ID or file
// capabilities): then nothing the environment names is loaded, and the sound libraries, which
// follow the environment to servers, configuration and plugins, are not tried.
bool secureExecution() noexcept;

struct RouteOptions {
    bool tryDirectPorts = true;
    std::string devPortPath = "/dev/port";
    std::string pcSpeakerPath = kPcSpeakerDevicePath;
    bool trySoundSystem = !secureExecution();
};

struct RouteAttempt {
    std::string way;
    std::string refusal;  // empty for the way that was taken
};

struct SpeakerRoute {
    std::unique_ptr<PortBus> bus;
    std::vector<RouteAttempt> attempts;  // in the order tried; the last one was taken
};

// Tries, in order: direct port I/O, /dev/port, then the emulated speaker heard through the
// kernel's PC-speaker device, through the sound system, or not at all.
SpeakerRoute chooseRoute(const RouteOptions& options);

// The process's bus, chosen with the default options at the first call.
PortBus& processBus() noexcept;

}  // namespace beep
