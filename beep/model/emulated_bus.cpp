#include "emulated_bus.h"

namespace beep {

EmulatedSpeakerBus::EmulatedSpeakerBus(std::unique_ptr<ToneSink> sink) : sink_(std::move(sink)) {
    if (!sink_) sink_ = std::make_unique<SilentSink>();
}

std::optional<std::uint8_t> EmulatedSpeakerBus::read(std::uint16_t port) noexcept {
    switch (port) {
        case kCounter2DataPort:
            return counter_.readData();
        case kSystemControlPort:
            return control_.value;
        default:
            return 0xFF;  // an unused port reads as all ones
    }
}

void EmulatedSpeakerBus::write(std::uint16_t port, std::uint8_t value) noexcept {
    switch (port) {
        case kTimerControlPort:
            counter_.writeControl(value);
            break;
        case kCounter2DataPort:
            counter_.writeData(value);
            break;
        case kSystemControlPort:
            control_.value = value;
            break;
        default:
            return;
    }
    updateTone();
}

void EmulatedSpeakerBus::updateTone() noexcept {
    // While a new count is being written the counter is stopped; the speaker keeps the old
    // pitch until the count is complete, so a change of pitch has no gap.
    const auto divisor = counter_.divisor();
    if (!divisor && control_.speakerDriven() && tone_) return;
    std::optional<std::uint32_t> tone;
    if (control_.speakerDriven()) tone = divisor;
    if (tone == tone_) return;
    tone_ = tone;
    sink_->setTone(tone);
}

}  // namespace beep
