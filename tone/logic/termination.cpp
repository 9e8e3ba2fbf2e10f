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
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (descriptorOfProcess < 0)
        descriptorOfProcess = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
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
