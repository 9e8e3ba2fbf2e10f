#include "pcspkr_event_sink.h"

#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "speaker_ops.h"

namespace beep {

int kernelToneValue(std::uint32_t divisor) {
    const double wantedHz = double(kTimerClockHz) / divisor;
    // The pitch the kernel makes for a value: its clock over its own, truncated, count.
    auto kernelHz = [](int value) {
        const unsigned kernelCount = kKernelTimerClockHz / unsigned(value);
        return double(kKernelTimerClockHz) / double(kernelCount);
    };
    auto clamp = [](long value) {
        return int(
            std::min<long>(kKernelHighestToneHz, std::max<long>(kKernelLowestToneHz, value)));
    };
    // The largest value whose kernel count is not below the divisor, and the one after it.
    const int below = clamp(long(kKernelTimerClockHz / divisor));
    const int above = clamp(long(kKernelTimerClockHz / divisor) + 1);
    if (kKernelTimerClockHz / unsigned(below) == divisor) return below;
    return std::abs(std::log(kernelHz(below) / wantedHz)) <=
                   std::abs(std::log(kernelHz(above) / wantedHz))
               ? below
               : above;
}

void PcSpeakerEventSink::setTone(std::optional<std::uint32_t> divisor) noexcept {
    input_event event{};
    event.type = EV_SND;
    event.code = SND_TONE;
    event.value = divisor ? kernelToneValue(*divisor) : 0;  // 0 stops the tone
    [[maybe_unused]] const auto written = ::write(fd_.get(), &event, sizeof event);
}

std::unique_ptr<PcSpeakerEventSink> openPcSpeakerDevice(const char* path, std::string& refusal) {
    UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
    if (!fd) {
        refusal = std::string(path) + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat status {};
    unsigned long sounds = 0;
    if (::fstat(fd.get(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        refusal = std::string(path) + ": not a character device";
        return nullptr;
    }
    if (::ioctl(fd.get(), EVIOCGSND(sizeof sounds), &sounds) < 0) {
        refusal = std::string(path) + ": not a sound input device (" + std::strerror(errno) + ")";
        return nullptr;
    }
    return std::make_unique<PcSpeakerEventSink>(std::move(fd));
}

}  // namespace beep
