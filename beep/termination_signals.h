// The signals that ask a program to end (SIGTERM, SIGINT, SIGHUP, SIGQUIT), for a program that
// holds the speaker gate open: it blocks them before it starts any thread, takes them as events,
// closes the gate, and only then ends by the signal. The library itself installs nothing.
// One that the program was started with ignored (nohup, a shell's background job) is left out:
// the kernel keeps a blocked signal pending even where it is ignored, and reading it would end
// the program by a signal it was told to ignore.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <initializer_list>

namespace beep {

inline sigset_t terminationSignals() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
        sigaddset(&set, signal);
    }
    return set;
}

// Ends the process by `signal`, as it would have ended had the signal never been blocked.
[[noreturn]] inline void endBySignal(int signal) noexcept {
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

}  // namespace beep
