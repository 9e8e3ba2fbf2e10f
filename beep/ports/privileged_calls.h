// The system calls behind the real ports, the only ones that need privilege, behind one seam so
// that a refusal on any thread can be tried without root.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace beep {

class PrivilegedCalls {
public:
    virtual ~PrivilegedCalls() = default;

    // As the system calls of the same names: 0 or a count on success, -1 and errno on failure.
    virtual int ioperm(unsigned long from, unsigned long count, int turnOn) noexcept = 0;
    virtual int open(const char* path, int flags) noexcept = 0;
    virtual ssize_t pread(int fd, void* buffer, size_t count, off_t offset) noexcept = 0;
    virtual ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) noexcept = 0;

    // The calling thread's capability sets, as three masks indexed by capability number.
    struct Capabilities {
        std::uint64_t effective = 0, permitted = 0, inheritable = 0;
    };
    virtual bool capget(Capabilities& sets) noexcept = 0;
    virtual bool capset(const Capabilities& sets) noexcept = 0;

    // The port instructions, valid once ioperm() has granted the port on this thread.
    virtual std::uint8_t inb(std::uint16_t port) noexcept = 0;
    virtual void outb(std::uint8_t value, std::uint16_t port) noexcept = 0;
    // Whether the calling thread may use `port` already (granted to it, or to the thread that
    // started it), found without a fault where it may not.
    virtual bool threadHoldsPort(std::uint16_t port) noexcept = 0;
};

// The system's own calls.
PrivilegedCalls& systemCalls() noexcept;

// Whether the calling thread holds CAP_SYS_RAWIO, effective or permitted.
bool holdsRawIo(PrivilegedCalls& calls = systemCalls()) noexcept;

// Gives up CAP_SYS_RAWIO on the calling thread (effective, permitted and inheritable sets), once
// the ports are reached without it. False where the sets could not be changed.
bool dropRawIoCapability(PrivilegedCalls& calls = systemCalls()) noexcept;

}  // namespace beep
