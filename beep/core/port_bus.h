// One-byte access to the PC's I/O ports: the only thing the speaker functions need.
#pragma once

#include <cstdint>

namespace beep {

inline constexpr std::uint16_t kCounter2DataPort = 0x42;
inline constexpr std::uint16_t kTimerControlPort = 0x43;
inline constexpr std::uint16_t kSystemControlPort = 0x61;

class PortBus {
public:
    virtual ~PortBus() = default;
    virtual std::uint8_t read(std::uint16_t port) noexcept = 0;
    virtual void write(std::uint16_t port, std::uint8_t value) noexcept = 0;
};

}  // namespace beep
