// vpc: what the emulated PC's init script runs, besides beep-probe.
//   vpc stamp LABEL             prints "stamp LABEL SECONDS" on the monotonic clock
//   vpc no-ioperm CMD ARGS...   runs CMD with ioperm and iopl failing with ENOSYS, as on a
//                               kernel built without them, so that the library takes /dev/port
//   vpc as-user CMD ARGS...     runs CMD as user 1000, without any capability
//   vpc interruptible CMD ARGS... runs CMD with SIGINT and SIGQUIT at their default actions,
//                               which a shell ignores in the jobs it starts in the background
//   vpc tones STEP...           calls the library's three functions through the program's own
//                               binding: "freq:HZ", "on", "off", "wait:MS"; stamps on and off.
//                               "raw:N" passes N, any 32-bit value, to beep_freq itself.
//                               "thread-on", "thread-off" make that call on a new thread;
//                               "thread-freq:HZ" calls beep_freq on a new thread.
//                               "rawio:LABEL" prints "rawio LABEL yes|no": whether the process
//                               still holds CAP_SYS_RAWIO, effective or permitted.
//                               "crash" dies of SIGSEGV on the spot. Like the program, it starts
//                               the speaker guardian first.
//   vpc port61 LABEL            prints "port61 LABEL VALUE", port 0x61 read through /dev/port
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "beep.h"
#include "beep_library.h"
#include "privileged_calls.h"
#include "speaker_guardian.h"

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void stamp(const std::string& label) {
    std::printf("stamp %s %.6f\n", label.c_str(), now());
    std::fflush(stdout);
}

int noIoperm(char** command) {
    // Allow everything but ioperm and iopl, which fail with ENOSYS.
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioperm, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_iopl, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
    };
    sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        std::perror("seccomp");
        return 1;
    }
    execv(command[0], command);
    std::perror("execv");
    return 127;
}

int asUser(char** command) {
    if (setgroups(0, nullptr) != 0 || setgid(1000) != 0 || setuid(1000) != 0) {
        std::perror("setuid");
        return 1;
    }
    execv(command[0], command);
    std::perror("execv");
    return 127;
}

int interruptible(char** command) {
    for (int signal : {SIGINT, SIGQUIT}) std::signal(signal, SIG_DFL);
    execv(command[0], command);
    std::perror("execv");
    return 127;
}

int tones(int count, char** steps) {
    vireko::BeepLibrary speaker;
    for (int i = 0; i < count; ++i) {
        const std::string step = steps[i];
        if (step.rfind("freq:", 0) == 0) {
            speaker.beepFreq(static_cast<std::int16_t>(std::atoi(step.c_str() + 5)));
        } else if (step == "on") {
            stamp("on");
            speaker.beepOn();
        } else if (step == "off") {
            speaker.beepOff();
            stamp("off");
        } else if (step == "thread-on") {
            stamp("on");
            std::thread([&speaker] { speaker.beepOn(); }).join();
        } else if (step.rfind("thread-freq:", 0) == 0) {
            const auto hz = static_cast<std::int16_t>(std::atoi(step.c_str() + 12));
            std::thread([&speaker, hz] { speaker.beepFreq(hz); }).join();
        } else if (step == "thread-off") {
            std::thread([&speaker] { speaker.beepOff(); }).join();
            stamp("off");
        } else if (step.rfind("rawio:", 0) == 0) {
            std::printf("rawio %s %s\n", step.c_str() + 6, beep::holdsRawIo() ? "yes" : "no");
            std::fflush(stdout);
        } else if (step.rfind("raw:", 0) == 0) {
            void* library = dlopen(vireko::kBeepLibraryName, RTLD_NOW);
            auto* beepFreq =
                library ? reinterpret_cast<decltype(&beep_freq)>(dlsym(library, "beep_freq"))
                        : nullptr;
            if (beepFreq == nullptr) return 1;
            beepFreq(static_cast<std::int32_t>(std::atol(step.c_str() + 4)));
        } else if (step == "crash") {
            std::fflush(stdout);
            raise(SIGSEGV);
        } else if (step.rfind("wait:", 0) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(step.c_str() + 5)));
        } else {
            std::fprintf(stderr, "unknown step %s\n", step.c_str());
            return 2;
        }
    }
    return 0;
}

}  // namespace

int port61(const char* label) {
    const int fd = open("/dev/port", O_RDONLY | O_CLOEXEC);
    unsigned char value = 0;
    if (fd < 0 || pread(fd, &value, 1, 0x61) != 1) {
        std::perror("/dev/port");
        return 1;
    }
    close(fd);
    std::printf("port61 %s %u\n", label, value);
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "stamp") == 0) {
        stamp(argv[2]);
        return 0;
    }
    if (argc >= 3 && std::strcmp(argv[1], "no-ioperm") == 0) return noIoperm(argv + 2);
    if (argc >= 3 && std::strcmp(argv[1], "as-user") == 0) return asUser(argv + 2);
    if (argc >= 3 && std::strcmp(argv[1], "interruptible") == 0) return interruptible(argv + 2);
    if (argc >= 3 && std::strcmp(argv[1], "port61") == 0) return port61(argv[2]);
    if (argc >= 2 && std::strcmp(argv[1], "tones") == 0) {
        beep::SpeakerGuardian::start();
        return tones(argc - 2, argv + 2);
    }
    std::fputs("usage: vpc stamp LABEL | no-ioperm CMD... | as-user CMD... | tones STEP...\n",
               stderr);
    return 2;
}
