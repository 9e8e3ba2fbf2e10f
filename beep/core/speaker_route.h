// How the library reaches the speaker: the first way that works, chosen once per process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "port_bus.h"

namespace beep {

struct RouteOptions {
    bool tryDirectPorts = true;
    std::string devPortPath = "/dev/port";
    std::string pcSpeakerPath = "/dev/input/by-path/platform-pcspkr-event-spkr";
    bool trySoundSystem = true;
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
