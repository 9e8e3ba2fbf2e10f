#include "speaker_ops.h"

namespace beep {

std::uint16_t countForArgument(std::int32_t argument) noexcept {
    const auto n = static_cast<std::uint32_t>(argument) & 0xFFFFu;
    if (n == 0) return 0;
    // Arguments 1..18 give a quotient above 65535; like the hardware, keep its low 16 bits.
    return static_cast<std::uint16_t>(kTimerClockHz / n);
}

void programFrequency(PortBus& bus, std::int32_t argument) noexcept {
    const std::lock_guard sequence(bus.sequenceLock());
    bus.write(kTimerControlPort, kCounter2SquareWave);
    const std::uint16_t count = countForArgument(argument);
    bus.write(kCounter2DataPort, static_cast<std::uint8_t>(count & 0xFFu));
    bus.write(kCounter2DataPort, static_cast<std::uint8_t>(count >> 8));
}

void openGate(PortBus& bus) noexcept {
    const std::lock_guard sequence(bus.sequenceLock());
    // Where port 0x61 cannot be read, nothing is written back: a guess would set its other bits.
    if (const auto value = bus.read(kSystemControlPort))
        bus.write(kSystemControlPort, static_cast<std::uint8_t>(*value | kGateOpenMask));
}

void closeGate(PortBus& bus) noexcept {
    const std::lock_guard sequence(bus.sequenceLock());
    if (const auto value = bus.read(kSystemControlPort))
        bus.write(kSystemControlPort, static_cast<std::uint8_t>(*value & kGateCloseMask));
}

}  // namespace beep
