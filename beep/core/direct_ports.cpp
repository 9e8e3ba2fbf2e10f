// Direct port I/O with ioperm(2): x86 only, and only with CAP_SYS_RAWIO.
#include <cerrno>
#include <cstring>

#include "hardware_ports.h"

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

namespace beep {

#if defined(__x86_64__) || defined(__i386__)
namespace {

class DirectPortBus final : public PortBus {
public:
    std::uint8_t read(std::uint16_t port) noexcept override { return inb(port); }
    void write(std::uint16_t port, std::uint8_t value) noexcept override { outb(value, port); }
};

}  // namespace

std::unique_ptr<PortBus> openDirectPorts(std::string& refusal) {
    // Ports 0x42 and 0x43 together, and 0x61 on its own.
    if (ioperm(kCounter2DataPort, 2, 1) != 0 || ioperm(kSystemControlPort, 1, 1) != 0) {
        refusal = std::string("ioperm: ") + std::strerror(errno);
        ioperm(kCounter2DataPort, 2, 0);
        return nullptr;
    }
    return std::make_unique<DirectPortBus>();
}

#else

std::unique_ptr<PortBus> openDirectPorts(std::string& refusal) {
    refusal = "no I/O ports on this processor";
    return nullptr;
}

#endif

}  // namespace beep
