// Preloaded into a test to make the sound libraries impossible to load with dlopen. Built twice:
// hiding all three, and (with VIREKO_HIDE_PULSE_ONLY) hiding the sound servers' own (PipeWire's
// and PulseAudio's) alone, so that the library falls back to ALSA. A library that a plugin links
// against is still loaded the usual way.
#include <dlfcn.h>

#include <cstring>

extern "C" __attribute__((visibility("default"))) void* dlopen(const char* file, int mode) {
    using Open = void* (*)(const char*, int);
    static const auto realOpen = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "dlopen"));
#ifdef VIREKO_HIDE_PULSE_ONLY
    const bool hidden =
        file != nullptr && (std::strstr(file, "libpulse") || std::strstr(file, "libpipewire"));
#else
    const bool hidden =
        file != nullptr && (std::strstr(file, "libpulse") || std::strstr(file, "libpipewire") ||
                            std::strstr(file, "libasound"));
#endif
    return hidden ? nullptr : realOpen(file, mode);
}
