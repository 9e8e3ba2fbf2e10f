// A small process that keeps the real speaker from being left sounding by a program that dies
// in the middle of a tone (SIGKILL, a crash, the out-of-memory killer), which no code of the
// program itself can catch.
#pragma once

namespace beep {

// The guardian is forked at the top of main(), before any thread starts and while the program
// still holds its privilege. It reaches the speaker the way the library will (direct port I/O,
// /dev/port or the kernel's PC-speaker device) and then does nothing but wait, blocked on a
// socket, for the program's notes of the gate. When the program's end closes that socket, it
// closes the gate if the program's last note was "open", and ends. It never opens the gate, and
// leaves a speaker alone that the program did not leave open. Where the speaker is heard through
// the sound system (a dead client's stream ends by itself) or not at all, there is nothing to
// guard and no guardian stays.
class SpeakerGuardian {
public:
    // Starts the guardian once; later calls do nothing.
    static void start() noexcept;
    // The program opened the gate (before beep_on) or closed it (after beep_off).
    static void noteGate(bool open) noexcept;
};

}  // namespace beep
