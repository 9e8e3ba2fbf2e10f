#include "privileged_calls.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

namespace beep {

namespace {

constexpr std::uint64_t kRawIo = std::uint64_t{1} << CAP_SYS_RAWIO;

class SystemCalls final : public PrivilegedCalls {
public:
    int ioperm(unsigned long from, unsigned long count, int turnOn) noexcept override {
#if defined(__x86_64__) || defined(__i386__)
        return ::ioperm(from, count, turnOn);
#else
        (void)from, (void)count, (void)turnOn;
        errno = ENOSYS;
        return -1;
#endif
    }
    int open(const char* path, int flags) noexcept override {
        return ::open(path, flags);
    }
    ssize_t pread(int fd, void* buffer, size_t count, off_t offset) noexcept override {
        return ::pread(fd, buffer, count, offset);
    }
    ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) noexcept override {
        return ::pwrite(fd, buffer, count, offset);
    }

    bool capget(Capabilities& sets) noexcept override {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct words[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, words) != 0) return false;
        auto join = [&words](std::uint32_t __user_cap_data_struct::*set) {
            return std::uint64_t{words[0].*set} | (std::uint64_t{words[1].*set} << 32);
        };
        sets.effective = join(&__user_cap_data_struct::effective);
        sets.permitted = join(&__user_cap_data_struct::permitted);
        sets.inheritable = join(&__user_cap_data_struct::inheritable);
        return true;
    }
    bool capset(const Capabilities& sets) noexcept override {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct words[_LINUX_CAPABILITY_U32S_3] = {};
        for (unsigned i = 0; i < 2; ++i) {
            words[i].effective = static_cast<std::uint32_t>(sets.effective >> (32 * i));
            words[i].permitted = static_cast<std::uint32_t>(sets.permitted >> (32 * i));
            words[i].inheritable = static_cast<std::uint32_t>(sets.inheritable >> (32 * i));
        }
        return syscall(SYS_capset, &header, words) == 0;
    }

    std::uint8_t inb(std::uint16_t port) noexcept override {
#if defined(__x86_64__) || defined(__i386__)
        return ::inb(port);
#else
        (void)port;
        return 0xFF;
#endif
    }
    void outb(std::uint8_t value, std::uint16_t port) noexcept override {
#if defined(__x86_64__) || defined(__i386__)
        ::outb(value, port);
#else
        (void)value, (void)port;
#endif
    }
};

}  // namespace

PrivilegedCalls& systemCalls() noexcept {
    // Built in place and never destroyed: a caller on another thread may use it during exit().
    alignas(SystemCalls) static unsigned char storage[sizeof(SystemCalls)];
    static PrivilegedCalls* const calls = new (storage) SystemCalls;
    return *calls;
}

bool holdsRawIo(PrivilegedCalls& calls) noexcept {
    PrivilegedCalls::Capabilities sets;
    return calls.capget(sets) && ((sets.effective | sets.permitted) & kRawIo) != 0;
}

bool dropRawIoCapability(PrivilegedCalls& calls) noexcept {
    PrivilegedCalls::Capabilities sets;
    if (!calls.capget(sets)) return false;
    if (((sets.effective | sets.permitted | sets.inheritable) & kRawIo) == 0) return true;
    sets.effective &= ~kRawIo;
    sets.permitted &= ~kRawIo;
    sets.inheritable &= ~kRawIo;
    return calls.capset(sets);
}

}  // namespace beep
