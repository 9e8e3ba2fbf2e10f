// The kernel's PC-speaker input device: EV_SND / SND_TONE events with the pitch in hertz.
#pragma once

#include <memory>
#include <string>

#include "tone_sink.h"
#include "unique_fd.h"

namespace beep {

inline constexpr const char* kPcSpeakerDevicePath = "/dev/input/by-path/platform-pcspkr-event-spkr";

// The kernel's own timer clock, with which it turns hertz back into a count.
inline constexpr std::uint32_t kKernelTimerClockHz = 1193182;
inline constexpr int kKernelLowestToneHz = 21;
inline constexpr int kKernelHighestToneHz = 32766;

// The value to send for a divisor: one whose kernel count equals the divisor where there is
// one, else the accepted value whose pitch comes nearest.
int kernelToneValue(std::uint32_t divisor);

class PcSpeakerEventSink final : public ToneSink {
public:
    // Anything that accepts input_event records will do.
    explicit PcSpeakerEventSink(UniqueFd fd) : fd_(std::move(fd)) {}

    void setTone(std::optional<std::uint32_t> divisor) noexcept override;

private:
    UniqueFd fd_;
};

// Opens the device write-only, if it is a character device that answers EVIOCGSND.
std::unique_ptr<PcSpeakerEventSink> openPcSpeakerDevice(const char* path, std::string& refusal);

}  // namespace beep
