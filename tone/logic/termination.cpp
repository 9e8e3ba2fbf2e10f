#include "termination.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "termination_signals.h"

namespace vireko {

namespace {

int descriptorOfProcess = -1;

}  // namespace

void TerminationSignals::install() {
    const sigset_t set = beep::terminationSignals();
    if (descriptorOfProcess < 0)
        descriptorOfProcess = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    // Blocked only where they can be read: without the descriptor they keep their default
    // action, and end the program at once as they would have without it.
    if (descriptorOfProcess >= 0) pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int TerminationSignals::descriptor() {
    return descriptorOfProcess;
}

int TerminationSignals::take() {
    if (descriptorOfProcess < 0) return 0;
    signalfd_siginfo info{};
    if (read(descriptorOfProcess, &info, sizeof info) != ssize_t(sizeof info)) return 0;
    return static_cast<int>(info.ssi_signo);
}

void TerminationSignals::endBy(int signal) {
    beep::endBySignal(signal);
}

}  // namespace vireko
