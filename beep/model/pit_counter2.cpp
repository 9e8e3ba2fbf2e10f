#include "pit_counter2.h"

namespace beep {

namespace {
constexpr std::uint8_t kSelectCounter2 = 0x80;
constexpr std::uint8_t kSelectMask = 0xC0;
}  // namespace

void PitCounter2::writeControl(std::uint8_t word) noexcept {
    if ((word & kSelectMask) != kSelectCounter2) return;
    const auto access = static_cast<CounterAccess>((word >> 4) & 0x03);
    if (access == CounterAccess::Latch) return;  // latching does not touch the count
    access_ = access;
    auto mode = static_cast<std::uint8_t>((word >> 1) & 0x07);
    if (mode >= 6) mode = static_cast<std::uint8_t>(mode - 4);
    mode_ = static_cast<CounterMode>(mode);
    // A control word stops the counter until a new count arrives, and restarts the
    // low/high byte sequence.
    loaded_ = false;
    expectHighByte_ = false;
    readHighByte_ = false;
}

void PitCounter2::writeData(std::uint8_t byte) noexcept {
    switch (access_) {
        case CounterAccess::LowByteOnly:
            count_ = byte;
            loaded_ = true;
            break;
        case CounterAccess::HighByteOnly:
            count_ = static_cast<std::uint16_t>(byte << 8);
            loaded_ = true;
            break;
        case CounterAccess::LowThenHigh:
        case CounterAccess::Latch:
            if (!expectHighByte_) {
                count_ = static_cast<std::uint16_t>((count_ & 0xFF00u) | byte);
                expectHighByte_ = true;
            } else {
                count_ = static_cast<std::uint16_t>((count_ & 0x00FFu) | (byte << 8));
                expectHighByte_ = false;
                loaded_ = true;
            }
            break;
    }
}

std::uint8_t PitCounter2::readData() noexcept {
    // Reads return the loaded count rather than a running one: nothing here counts down.
    switch (access_) {
        case CounterAccess::LowByteOnly:
            return static_cast<std::uint8_t>(count_ & 0xFFu);
        case CounterAccess::HighByteOnly:
            return static_cast<std::uint8_t>(count_ >> 8);
        case CounterAccess::LowThenHigh:
        case CounterAccess::Latch:
            break;
    }
    const bool high = readHighByte_;
    readHighByte_ = !readHighByte_;
    return high ? static_cast<std::uint8_t>(count_ >> 8)
                : static_cast<std::uint8_t>(count_ & 0xFFu);
}

std::optional<std::uint32_t> PitCounter2::divisor() const noexcept {
    if (!loaded_) return std::nullopt;
    return count_ == 0 ? 65536u : std::uint32_t{count_};
}

}  // namespace beep
