// Counter 2 of the 8254 programmable interval timer and the gate bits of port 0x61,
// as plain values written from the datasheet.
#pragma once

#include <cstdint>
#include <optional>

namespace beep {

// Bits 5-4 of a control word: how the count is read and written.
enum class CounterAccess : std::uint8_t {
    Latch = 0,  // counter latch command, not a mode change
    LowByteOnly = 1,
    HighByteOnly = 2,
    LowThenHigh = 3,
};

// Bits 3-1 of a control word; 6 and 7 are aliases of 2 and 3 on the 8254.
enum class CounterMode : std::uint8_t {
    InterruptOnTerminalCount = 0,
    OneShot = 1,
    RateGenerator = 2,
    SquareWave = 3,
    SoftwareStrobe = 4,
    HardwareStrobe = 5,
};

class PitCounter2 {
public:
    // A control word for counter 0 or 1, or a read-back command, leaves counter 2 alone.
    void writeControl(std::uint8_t word) noexcept;
    void writeData(std::uint8_t byte) noexcept;
    std::uint8_t readData() noexcept;

    CounterMode mode() const noexcept { return mode_; }
    // The divisor in input-clock ticks once a whole count has been written; a count of 0
    // means 65536.
    std::optional<std::uint32_t> divisor() const noexcept;

private:
    CounterAccess access_ = CounterAccess::LowThenHigh;
    CounterMode mode_ = CounterMode::SquareWave;
    std::uint16_t count_ = 0;
    bool loaded_ = false;
    bool expectHighByte_ = false;
    bool readHighByte_ = false;
};

// Port 0x61 as far as the speaker is concerned.
struct SystemControlPort {
    static constexpr std::uint8_t kCounter2Gate = 0x01;
    static constexpr std::uint8_t kSpeakerDataEnable = 0x02;

    std::uint8_t value = 0;

    bool speakerDriven() const noexcept {
        return (value & (kCounter2Gate | kSpeakerDataEnable)) ==
               (kCounter2Gate | kSpeakerDataEnable);
    }
};

}  // namespace beep
