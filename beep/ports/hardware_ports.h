// The real ports: direct port I/O where the process may use it, else /dev/port.
#pragma once

#include <memory>
#include <string>

#include "port_bus.h"
#include "privileged_calls.h"

namespace beep {

inline constexpr const char* kDevPortPath = "/dev/port";

// Each opener returns a bus, or nothing and the reason in `refusal`. The bus makes its system
// calls through `calls`, which must outlive it.
std::unique_ptr<PortBus> openDirectPorts(std::string& refusal,
                                         PrivilegedCalls& calls = systemCalls());
std::unique_ptr<PortBus> openDevPort(const char* path, std::string& refusal,
                                     PrivilegedCalls& calls = systemCalls());

}  // namespace beep
