// The real ports: direct port I/O where the process may use it, else /dev/port.
#pragma once

#include <memory>
#include <string>

#include "port_bus.h"

namespace beep {

// Each opener returns a bus, or nothing and the reason in `refusal`.
std::unique_ptr<PortBus> openDirectPorts(std::string& refusal);
std::unique_ptr<PortBus> openDevPort(const char* path, std::string& refusal);

// Gives up CAP_SYS_RAWIO on the calling thread (effective, permitted and inheritable sets), once
// the ports are reached without it. False where the sets could not be changed.
bool dropRawIoCapability() noexcept;

}  // namespace beep
