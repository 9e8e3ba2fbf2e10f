#include "speaker_guardian.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

// The guardian's own way to the speaker's gate.
struct GateAccess {
    std::unique_ptr<PortBus> ports;
    std::unique_ptr<PcSpeakerEventSink> device;

    void close() {
        if (ports) closeGate(*ports);
        if (device) device->setTone(std::nullopt);
    }
};

// The same ways, in the same order, as the library; none of the sound system.
std::optional<GateAccess> reachGate() {
    GateAccess access;
    std::string refusal;
    if ((access.ports = openDirectPorts(refusal))) return access;
    if ((access.ports = openDevPort(kDevPortPath, refusal))) return access;
    if ((access.device = openPcSpeakerDevice(kPcSpeakerDevicePath, refusal))) return access;
    return std::nullopt;
}

[[noreturn]] void guard(int socket) {
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

    std::optional<GateAccess> access = reachGate();
    const char answer = access ? kGuarding : kNothingToGuard;
    if (!access || ::write(socket, &answer, 1) != 1) _exit(0);
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

void SpeakerGuardian::start() noexcept {
    static bool started = false;
    if (started) return;
    started = true;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    UniqueFd program(ends[0]), guardian(ends[1]);
    const pid_t child = fork();
    if (child < 0) return;
    if (child == 0) {
        program.reset();
        guard(guardian.get());
    }
    guardian.reset();
    pollfd ready{program.get(), POLLIN, 0};
    char answer = 0;
    if (poll(&ready, 1, kAnswerLimitMs) == 1 && ::read(program.get(), &answer, 1) == 1 &&
        answer == kGuarding) {
        programEnd = program.release();
        return;
    }
    // Nothing to guard, or no answer: the guardian ends, and is reaped here.
    program.reset();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

void SpeakerGuardian::noteGate(bool open) noexcept {
    if (programEnd < 0) return;
    const char note = open ? kGateOpen : kGateClosed;
    [[maybe_unused]] const auto sent = ::send(programEnd, &note, 1, MSG_NOSIGNAL);
}

}  // namespace beep
