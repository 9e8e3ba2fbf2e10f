/* BEEP: sound the PC speaker through counter 2 of the 8254 timer.

   Any of the three may be called from any thread, but none from a signal handler: each holds a
   lock for its whole port sequence, and the first call also chooses how the speaker is reached.

   Privilege: where the ports are reached directly (ioperm, which needs CAP_SYS_RAWIO), the
   first call on each thread asks for ports 0x42, 0x43 and 0x61 and then gives up CAP_SYS_RAWIO
   on that thread; threads it starts afterwards inherit the ports without the capability. Where
   /dev/port is used, the thread that opened it gives the capability up. Threads that never call
   the library keep theirs. The library installs no signal handler and leaves the gate as it is
   when it is unloaded or the process ends: a program that must not leave the speaker sounding
   closes the gate on its own termination signals (see beep-probe(1)). */
#ifndef BEEP_H
#define BEEP_H

#include <stdint.h>

#ifdef __cplusplus
#define BEEP_NOEXCEPT noexcept
extern "C" {
#else
#define BEEP_NOEXCEPT
#endif

/* Loads counter 2 with 1193180 / (frequency & 0xFFFF) for a square wave; the gate is left
   as it is. */
void beep_freq(int32_t frequency) BEEP_NOEXCEPT;
/* Opens the speaker gate: the speaker sounds whatever counter 2 holds. */
void beep_on(void) BEEP_NOEXCEPT;
/* Closes the speaker gate. */
void beep_off(void) BEEP_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
