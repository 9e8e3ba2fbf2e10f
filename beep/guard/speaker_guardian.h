// A small process that keeps the real speaker from being left sounding by a program that dies
// in the middle of a tone (SIGKILL, a crash, the out-of-memory killer), which no code of the
// program itself can catch.
#pragma once

#include <sys/types.h>

#include "privileged_calls.h"

namespace beep {

// The process name the guardian goes by, its own so that `killall vireko` (which matches the
// name in /proc/PID/stat) ends the program and leaves its guardian to close the gate. Shorter
// than the kernel's 15 characters: a name of exactly 15 is taken as cut short, and killall then
// compares the command line, which the guardian shares with its program.
inline constexpr const char* kGuardianName = "speaker-guard";

// The guardian is started at the top of main(), before any thread starts and while the program
// still holds its privilege, and only where this process could reach a route it guards (direct
// port I/O, /dev/port or the kernel's PC-speaker device): elsewhere the speaker is heard through
// the sound system (a dead client's stream ends by itself) or not at all, and no process is
// forked. It reaches the speaker the way the library will and then does nothing but wait,
// blocked on a socket, for the program's notes of the gate. When the program's end closes that
// socket, it closes the gate if the program's last note was "open", and ends. It never opens the
// gate, and leaves a speaker alone that the program did not leave open. It is not the program's
// child but its grandchild, reaped by whoever reaps orphans, whenever it ends.
class SpeakerGuardian {
public:
    // Starts the guardian once; later calls do nothing. `calls` must outlive the process.
    static void start(PrivilegedCalls& calls = systemCalls()) noexcept;
    // The program opened the gate (before beep_on) or closed it (after beep_off). Never waits:
    // a guardian that is stopped or hung does not hold the program up.
    static void noteGate(bool open) noexcept;
    // The guardian's process id while one watches, else 0.
    static pid_t process() noexcept;
};

}  // namespace beep
