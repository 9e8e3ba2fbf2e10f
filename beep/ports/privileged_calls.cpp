#include "privileged_calls.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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
    // A thread's port permission is copied to the process it forks: a child reads the port and
    // says so, or dies of SIGSEGV (without a core file) where this thread holds no permission.
    // The child only makes system calls and the one read, so _Fork, which runs no fork handlers
    // of the host program's, is safe from any thread.
    bool threadHoldsPort(std::uint16_t port) noexcept override {
#if defined(__x86_64__) || defined(__i386__)
        int answer[2];
        if (pipe2(answer, O_CLOEXEC) != 0) return false;
        const pid_t child = _Fork();
        if (child == 0) {
            ::close(answer[0]);
            prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
            signal(SIGSEGV, SIG_DFL);  // not a crash reporter's or a sanitizer's handler
            const std::uint8_t value = ::inb(port);
            [[maybe_unused]] const auto said = ::write(answer[1], &value, 1);
            _exit(0);
        }
        ::close(answer[1]);
        std::uint8_t value = 0;
        ssize_t got = -1;
        if (child > 0) {
            while ((got = ::read(answer[0], &value, 1)) < 0 && errno == EINTR) {
            }
            while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        ::close(answer[0]);
        return got == 1;
#else
        (void)port;
        return false;
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
