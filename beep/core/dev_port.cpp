// The ports through /dev/port, where the byte at offset N is I/O port N.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hardware_ports.h"

namespace beep {

namespace {

class DevPortBus final : public PortBus {
public:
    explicit DevPortBus(int fd) : fd_(fd) {}
    ~DevPortBus() override { ::close(fd_); }
    DevPortBus(const DevPortBus&) = delete;
    DevPortBus& operator=(const DevPortBus&) = delete;

    std::uint8_t read(std::uint16_t port) noexcept override {
        std::uint8_t value = 0xFF;
        if (::pread(fd_, &value, 1, port) != 1) return 0xFF;
        return value;
    }
    void write(std::uint16_t port, std::uint8_t value) noexcept override {
        [[maybe_unused]] const auto written = ::pwrite(fd_, &value, 1, port);
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<PortBus> openDevPort(const char* path, std::string& refusal) {
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        refusal = std::string(path) + ": " + std::strerror(errno);
        return nullptr;
    }
    // Opening is not enough: the port must also answer. Reading the system control port
    // changes nothing.
    std::uint8_t value = 0;
    if (::pread(fd, &value, 1, kSystemControlPort) != 1) {
        refusal = std::string(path) + ": no answer from port 0x61";
        ::close(fd);
        return nullptr;
    }
    // The open file keeps its access; the capability that opened it is no longer needed.
    dropRawIoCapability();
    return std::make_unique<DevPortBus>(fd);
}

}  // namespace beep
