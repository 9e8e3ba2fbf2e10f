#include "termination.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>

namespace vireko {

namespace {

int descriptorOfProcess = -1;

sigset_t terminationSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&set, signal);
    return set;
}

}  // namespace

void TerminationSignals::install() {
    const sigset_t set = terminationSet();
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
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    sigaction(signal, &standard, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    raise(signal);  // pending while blocked; delivered as the mask opens
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    std::_Exit(128 + signal);  // a signal whose default is to be ignored does not end it
}

}  // namespace vireko
