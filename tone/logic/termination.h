// Termination signals (SIGTERM, SIGINT, SIGHUP, SIGQUIT) taken as events rather than at once, so
// that a tone under way closes its gate before the program ends. They are blocked in every
// thread and read from a descriptor: no handler runs at all, so nothing unsafe can run in one.
#pragma once

namespace vireko {

class TerminationSignals {
public:
    // Blocks the signals in the calling thread and in every thread it starts from now on, so
    // it belongs at the top of main(), before any other thread exists. Where no descriptor can
    // be had, nothing is blocked.
    static void install();
    // Readable while one of them is pending; -1 before install().
    static int descriptor();
    // The signal that has arrived, which is then taken; 0 if none (or before install()).
    static int take();
    // Ends the process by `signal`, as it would have ended had the signal never been blocked.
    [[noreturn]] static void endBy(int signal);
};

}  // namespace vireko
