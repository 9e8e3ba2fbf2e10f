// A software PC speaker: counter 2 and port 0x61 modelled in memory, heard through a sink.
#pragma once

#include <memory>

#include "pit_counter2.h"
#include "port_bus.h"
#include "tone_sink.h"

namespace beep {

// Callers hold the bus's sequence lock, so the sink has one caller at a time.
class EmulatedSpeakerBus final : public PortBus {
public:
    explicit EmulatedSpeakerBus(std::unique_ptr<ToneSink> sink);

    std::optional<std::uint8_t> read(std::uint16_t port) noexcept override;
    void write(std::uint16_t port, std::uint8_t value) noexcept override;
    // See ToneSink::finishTone().
    void finishTone() noexcept {
        if (sink_) sink_->finishTone();
    }

private:
    void updateTone() noexcept;

    PitCounter2 counter_;
    SystemControlPort control_;
    std::optional<std::uint32_t> tone_;
    std::unique_ptr<ToneSink> sink_;
};

}  // namespace beep
