// Direct port I/O with ioperm(2): x86 only, and only with CAP_SYS_RAWIO.
//
// The port permission belongs to a thread (and to the threads it starts afterwards), and so does
// the capability. The first call on each thread asks for the permission, then gives up the
// capability, which is no longer needed: the permission outlives it. A thread that can no longer
// ask was started by one that already has the permission, and has it too.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hardware_ports.h"

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

namespace beep {

bool dropRawIoCapability() noexcept {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, sets) != 0) return false;
    constexpr unsigned kWord = CAP_SYS_RAWIO / 32;
    constexpr std::uint32_t kBit = 1u << (CAP_SYS_RAWIO % 32);
    if (((sets[kWord].effective | sets[kWord].permitted | sets[kWord].inheritable) & kBit) == 0)
        return true;
    sets[kWord].effective &= ~kBit;
    sets[kWord].permitted &= ~kBit;
    sets[kWord].inheritable &= ~kBit;
    return syscall(SYS_capset, &header, sets) == 0;
}

#if defined(__x86_64__) || defined(__i386__)
namespace {

// Ports 0x42 and 0x43 together, and 0x61 on its own.
bool askForPorts() noexcept {
    if (ioperm(kCounter2DataPort, 2, 1) != 0 || ioperm(kSystemControlPort, 1, 1) != 0) {
        const int error = errno;
        ioperm(kCounter2DataPort, 2, 0);
        errno = error;
        return false;
    }
    dropRawIoCapability();
    return true;
}

thread_local bool portsAskedFor = false;

void askOnThisThread() noexcept {
    if (portsAskedFor) return;
    portsAskedFor = true;
    askForPorts();
}

class DirectPortBus final : public PortBus {
public:
    std::uint8_t read(std::uint16_t port) noexcept override {
        askOnThisThread();
        return inb(port);
    }
    void write(std::uint16_t port, std::uint8_t value) noexcept override {
        askOnThisThread();
        outb(value, port);
    }
};

}  // namespace

std::unique_ptr<PortBus> openDirectPorts(std::string& refusal) {
    if (!askForPorts()) {
        refusal = std::string("ioperm: ") + std::strerror(errno);
        return nullptr;
    }
    portsAskedFor = true;
    return std::make_unique<DirectPortBus>();
}

#else

std::unique_ptr<PortBus> openDirectPorts(std::string& refusal) {
    refusal = "no I/O ports on this processor";
    return nullptr;
}

#endif

}  // namespace beep
