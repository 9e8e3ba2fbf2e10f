// The three speaker operations as port sequences on the 8254 timer and port 0x61.
#pragma once

#include <cstdint>

#include "port_bus.h"

namespace beep {

// The timer's input clock as the library uses it (the datasheet says 1193182).
inline constexpr std::uint32_t kTimerClockHz = 1193180;

// 1011 0110: counter 2, low byte then high byte, mode 3 (square wave), binary.
inline constexpr std::uint8_t kCounter2SquareWave = 0xB6;

// Port 0x61 bit 0 gates counter 2, bit 1 lets its output drive the speaker.
inline constexpr std::uint8_t kGateOpenMask = 0x03;
inline constexpr std::uint8_t kGateCloseMask = 0xFC;

// The 16-bit count loaded for a frequency argument. Only the low 16 bits of the argument
// count. A low half of 0 has no quotient; the count 0 is loaded instead, which the 8254
// itself reads as 65536 (the lowest pitch it can make).
std::uint16_t countForArgument(std::int32_t argument) noexcept;

// Each runs its whole port sequence under the bus's sequence lock, so calls from several threads
// at once leave the counter and port 0x61 as one of them would alone.
void programFrequency(PortBus& bus, std::int32_t argument) noexcept;
void openGate(PortBus& bus) noexcept;
void closeGate(PortBus& bus) noexcept;

}  // namespace beep
