/* BEEP: sound the PC speaker through counter 2 of the 8254 timer. */
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
