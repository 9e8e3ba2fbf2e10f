#include "speaker_guardian.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>

#include "hardware_ports.h"
#include "pcspkr_event_sink.h"
#include "speaker_ops.h"
#include "unique_fd.h"

namespace beep {

namespace {

constexpr char kGuarding = 'g';
constexpr char kNothingToGuard = 'n';
constexpr char kGateOpen = '1';
constexpr char kGateClosed = '0';
// How long the program waits for the guardian to say whether it guards.
constexpr int kAnswerLimitMs = 2000;

int programEnd = -1;  // the program's end of the socket, while a guardian watches
pid_t guardianProcess = 0;

// The guardian's answer: whether it guards, and its process id, which the program cannot learn
// from fork() as the guardian is not its child.
struct Answer {
    pid_t process = 0;
    char kind = kNothingToGuard;
    char unused[3] = {};
};

// The guardian's own way to the speaker's gate.
struct GateAccess {
    std::unique_ptr<PortBus> ports;
    std::unique_ptr<PcSpeakerEventSink> device;

    void close() {
        if (ports) closeGate(*ports);
        if (device) device->setTone(std::nullopt);
    }
};

// Whether this process could reach any of the ways below, found in a few system calls rather
// than a fork: the ports, directly or through /dev/port, need CAP_SYS_RAWIO, and may still be
// refused with it (a container, a locked-down kernel); the kernel's device needs only to be
// opened for writing, which an ordinary user may be allowed. The port asked for is given back
// (the library has not asked for it yet): threads started later must not inherit it alone.
bool mayReachGate(PrivilegedCalls& calls) {
    if (holdsRawIo(calls)) {
        if (calls.ioperm(kSystemControlPort, 1, 1) == 0) {
            calls.ioperm(kSystemControlPort, 1, 0);
            return true;
        }
        if (UniqueFd port(calls.open(kDevPortPath, O_RDWR | O_CLOEXEC)); port) return true;
    }
    std::string refusal;
    return openPcSpeakerDevice(kPcSpeakerDevicePath, refusal) != nullptr;
}

// The same ways, in the same order, as the library; none of the sound system.
std::optional<GateAccess> reachGate(PrivilegedCalls& calls) {
    GateAccess access;
    std::string refusal;
    if ((access.ports = openDirectPorts(refusal, calls))) return access;
    if ((access.ports = openDevPort(kDevPortPath, refusal, calls))) return access;
    if ((access.device = openPcSpeakerDevice(kPcSpeakerDevicePath, refusal))) return access;
    return std::nullopt;
}

[[noreturn]] void guard(int socket, PrivilegedCalls& calls) {
    prctl(PR_SET_NAME, kGuardianName, 0, 0, 0);
    // Nothing of the program's is held open here but the socket: its pipes and files close when
    // it ends, not when the guardian does.
    if (const int null = ::open("/dev/null", O_RDWR); null >= 0) {
        for (int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, standard);
        if (null > STDERR_FILENO) ::close(null);
    }
    if (socket > 3) close_range(3, unsigned(socket) - 1, 0);
    close_range(unsigned(socket) + 1, ~0u, 0);

    // Termination signals are for the program, which closes the gate itself on them; the
    // guardian ends with the program.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        sigaction(signal, &ignore, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    std::optional<GateAccess> access = reachGate(calls);
    Answer answer;
    answer.kind = access ? kGuarding : kNothingToGuard;
    answer.process = getpid();
    if (!access || ::write(socket, &answer, sizeof answer) != ssize_t(sizeof answer)) _exit(0);
    bool open = false;
    for (;;) {
        char note = 0;
        const ssize_t got = ::read(socket, &note, 1);
        if (got == 1) {
            open = note == kGateOpen ? true : note == kGateClosed ? false : open;
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        break;  // the program has ended
    }
    if (open) access->close();
    _exit(0);
}

}  // namespace

void SpeakerGuardian::start(PrivilegedCalls& calls) noexcept {
    static bool started = false;
    if (started) return;
    started = true;
    if (!mayReachGate(calls)) return;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    UniqueFd program(ends[0]), guardian(ends[1]);
    // Forked twice: the first child ends at once, so that the guardian is nobody's child here
    // and is reaped by whoever reaps orphans whenever it ends, first or last, and this process
    // has no child of its own that it never waits for.
    const pid_t parent = fork();
    if (parent < 0) return;
    if (parent == 0) {
        program.reset();
        const pid_t child = fork();
        if (child == 0) guard(guardian.get(), calls);
        _exit(child < 0 ? 1 : 0);
    }
    guardian.reset();
    while (waitpid(parent, nullptr, 0) < 0 && errno == EINTR) {
    }
    pollfd ready{program.get(), POLLIN, 0};
    Answer answer;
    if (poll(&ready, 1, kAnswerLimitMs) == 1 &&
        ::read(program.get(), &answer, sizeof answer) == ssize_t(sizeof answer) &&
        answer.kind == kGuarding) {
        programEnd = program.release();
        guardianProcess = answer.process;
    }
    // Else nothing to guard, or no answer: the guardian ends by itself when it finds the socket
    // closed.
}

void SpeakerGuardian::noteGate(bool open) noexcept {
    if (programEnd < 0) return;
    const char note = open ? kGateOpen : kGateClosed;
    // A guardian that is stopped reads nothing, and the socket fills after a few hundred notes:
    // the note is then lost rather than the program held up.
    [[maybe_unused]] const auto sent = ::send(programEnd, &note, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}

pid_t SpeakerGuardian::process() noexcept {
    return guardianProcess;
}

}  // namespace beep
