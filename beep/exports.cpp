// The library's three exported functions, the whole of its interface.
#include "beep.h"

#include "speaker_ops.h"
#include "speaker_route.h"

#define BEEP_EXPORT __attribute__((visibility("default")))

extern "C" {

BEEP_EXPORT void beep_freq(std::int32_t frequency) noexcept {
    beep::programFrequency(beep::processBus(), frequency);
}

BEEP_EXPORT void beep_on() noexcept {
    beep::openGate(beep::processBus());
}

BEEP_EXPORT void beep_off() noexcept {
    beep::closeGate(beep::processBus());
}

}  // extern "C"
