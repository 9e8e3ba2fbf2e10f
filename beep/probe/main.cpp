// beep-probe: tells which way libbeep.so.3 would reach the speaker, and why the ways before it
// were refused; `--tone HZ MS` sounds a tone that way; `--library [PATH]` loads the library the
// way the program does and says which file that was, or why it could not be loaded.
#include <dlfcn.h>
#include <link.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "audio_output.h"
#include "sound_system_sink.h"
#include "speaker_ops.h"
#include "speaker_route.h"

namespace {

void usage() {
    std::fputs(
        "usage: beep-probe [--tone HZ MS | --library [PATH]]\n"
        "  Without arguments, tells how the speaker library reaches the speaker.\n"
        "  --tone HZ MS    also sounds HZ hertz (20..20000) for MS milliseconds that way.\n"
        "  --library PATH  loads the speaker library as the program does (by default\n"
        "                  libbeep.so.3, found through the run path) and finds its functions.\n",
        stderr);
}

// Whether the sound system would take a stream right now, and if not, why.
void reportSoundSystem() {
    std::string refusal;
    auto accepts = [&refusal](std::unique_ptr<beep::AudioOutput> output) {
        return output != nullptr && output->startStream(refusal);
    };
    if (accepts(beep::openPulseOutput(-1, refusal))) {
        std::puts("  sound system: PulseAudio (or PipeWire) accepts a stream");
        return;
    }
    std::printf("  sound system: %s\n", refusal.c_str());
    if (accepts(beep::openAlsaOutput(-1, refusal))) {
        std::puts("  sound system: the ALSA default device accepts a stream");
        return;
    }
    std::printf("  sound system: %s\n", refusal.c_str());
}

// Loads the library by name as Vireko does, beside this program once installed, and binds its
// three functions. Exit status 0 where all three are there.
int probeLibrary(const char* name) {
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::printf("%s cannot be loaded: %s\n", name, dlerror());
        return 1;
    }
    link_map* loaded = nullptr;
    if (dlinfo(library, RTLD_DI_LINKMAP, &loaded) == 0 && loaded != nullptr)
        std::printf("%s loaded from %s\n", name, loaded->l_name);
    int missing = 0;
    for (const char* function : {"beep_freq", "beep_on", "beep_off"}) {
        const bool found = dlsym(library, function) != nullptr;
        std::printf("  %-10s %s\n", function, found ? "found" : "missing");
        missing += found ? 0 : 1;
    }
    return missing == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && argc <= 3 && std::strcmp(argv[1], "--library") == 0)
        return probeLibrary(argc == 3 ? argv[2] : "libbeep.so.3");
    long hz = 0, ms = 0;
    if (argc == 4 && std::strcmp(argv[1], "--tone") == 0) {
        hz = std::strtol(argv[2], nullptr, 10);
        ms = std::strtol(argv[3], nullptr, 10);
        if (hz < 20 || hz > 20000 || ms <= 0 || ms > 60000) {
            usage();
            return 2;
        }
    } else if (argc != 1) {
        usage();
        return 2;
    }

    const beep::SpeakerRoute route = beep::chooseRoute(beep::RouteOptions{});
    std::puts("The speaker library tries, in order:");
    for (const auto& attempt : route.attempts) {
        if (attempt.refusal.empty())
            std::printf("  %-26s used\n", attempt.way.c_str());
        else
            std::printf("  %-26s refused: %s\n", attempt.way.c_str(), attempt.refusal.c_str());
    }
    const bool viaSoundSystem = route.attempts.back().way == "sound system";
    if (viaSoundSystem) reportSoundSystem();

    if (hz != 0) {
        std::printf("Sounding %ld Hz for %ld ms.\n", hz, ms);
        beep::programFrequency(*route.bus, static_cast<std::int32_t>(hz));
        beep::openGate(*route.bus);
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        beep::closeGate(*route.bus);
        // Let the sound card play out what is already buffered.
        if (viaSoundSystem) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}
