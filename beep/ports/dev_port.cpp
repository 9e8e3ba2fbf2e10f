// The ports through /dev/port, where the byte at offset N is I/O port N.
#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "hardware_ports.h"
#include "unique_fd.h"

namespace beep {

namespace {

class DevPortBus final : public PortBus {
public:
    DevPortBus(UniqueFd fd, PrivilegedCalls& calls) : fd_(std::move(fd)), calls_(calls) {}

    std::optional<std::uint8_t> read(std::uint16_t port) noexcept override {
        std::uint8_t value = 0;
        if (calls_.pread(fd_.get(), &value, 1, port) != 1) return std::nullopt;
        return value;
    }
    void write(std::uint16_t port, std::uint8_t value) noexcept override {
        [[maybe_unused]] const auto written = calls_.pwrite(fd_.get(), &value, 1, port);
    }

private:
    UniqueFd fd_;
    PrivilegedCalls& calls_;
};

}  // namespace

std::unique_ptr<PortBus> openDevPort(const char* path, std::string& refusal,
                                     PrivilegedCalls& calls) {
    UniqueFd fd(calls.open(path, O_RDWR | O_CLOEXEC));
    if (!fd) {
        refusal = std::string(path) + ": " + std::strerror(errno);
        return nullptr;
    }
    // Opening is not enough: the port must also answer. Reading the system control port
    // changes nothing.
    std::uint8_t value = 0;
    if (calls.pread(fd.get(), &value, 1, kSystemControlPort) != 1) {
        refusal = std::string(path) + ": no answer from port 0x61";
        return nullptr;
    }
    // The open file keeps its access; the capability that opened it is no longer needed.
    dropRawIoCapability(calls);
    return std::make_unique<DevPortBus>(std::move(fd), calls);
}

}  // namespace beep
