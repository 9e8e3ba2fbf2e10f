// Direct port I/O with ioperm(2): x86 only, and only with CAP_SYS_RAWIO.
//
// The port permission belongs to a thread (and to the threads it starts afterwards), and so does
// the capability. The first call on each thread asks for the permission, then gives up the
// capability, which is no longer needed: the permission outlives it. A thread that can no longer
// ask was mostly started by one that already had the permission, and has it too; but one started
// before the grant, whose capability the program has since given up, has neither, and a port
// instruction there is SIGSEGV. Such a thread is found out once, and makes no port access.
#include <cerrno>
#include <cstring>

#include "hardware_ports.h"

namespace beep {

namespace {

#if defined(__x86_64__) || defined(__i386__)

// Ports 0x42 and 0x43 together, and 0x61 on its own. Where the first request is refused nothing
// is undone: a thread started after the grant holds the ports without the capability to ask for
// them again, and turning 0x42 off (which needs no privilege) would take its ports away.
bool askForPorts(PrivilegedCalls& calls) noexcept {
    if (calls.ioperm(kCounter2DataPort, 2, 1) != 0) return false;
    if (calls.ioperm(kSystemControlPort, 1, 1) != 0) {
        const int error = errno;
        calls.ioperm(kCounter2DataPort, 2, 0);
        errno = error;
        return false;
    }
    dropRawIoCapability(calls);
    return true;
}

class DirectPortBus final : public PortBus {
public:
    explicit DirectPortBus(PrivilegedCalls& calls) : calls_(calls) {
        askedOnThread = this;
        portsOnThread = true;
    }

    std::optional<std::uint8_t> read(std::uint16_t port) noexcept override {
        if (!askOnThisThread()) return std::nullopt;
        return calls_.inb(port);
    }
    void write(std::uint16_t port, std::uint8_t value) noexcept override {
        if (askOnThisThread()) calls_.outb(value, port);
    }

private:
    // The bus this thread has asked for its ports, if any, and whether it holds them.
    static thread_local const DirectPortBus* askedOnThread;
    static thread_local bool portsOnThread;

    bool askOnThisThread() noexcept {
        if (askedOnThread == this) return portsOnThread;
        askedOnThread = this;
        // The ports are granted together, or not at all: one of them answers for all three.
        portsOnThread = askForPorts(calls_) || calls_.threadHoldsPort(kSystemControlPort);
        return portsOnThread;
    }

    PrivilegedCalls& calls_;
};

thread_local const DirectPortBus* DirectPortBus::askedOnThread = nullptr;
thread_local bool DirectPortBus::portsOnThread = false;

}  // namespace

std::unique_ptr<PortBus> openDirectPorts(std::string& refusal, PrivilegedCalls& calls) {
    if (!askForPorts(calls)) {
        refusal = std::string("ioperm: ") + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<DirectPortBus>(calls);
}

#else

}  // namespace

std::unique_ptr<PortBus> openDirectPorts(std::string& refusal, PrivilegedCalls&) {
    refusal = "no I/O ports on this processor";
    return nullptr;
}

#endif

}  // namespace beep
