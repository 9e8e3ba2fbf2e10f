// beep-probe: tells which way libbeep.so.3 would reach the speaker, and why the ways before it
// were refused; `--tone HZ MS` sounds a tone that way; `--off` closes the gate that way; `--library
// [PATH]` loads the library the way the program does and says which file that was and which way
// that library takes, or why it could not be loaded.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "audio_output.h"
#include "beep.h"
#include "emulated_bus.h"
#include "pcspkr_event_sink.h"
#include "privileged_calls.h"
#include "speaker_guardian.h"
#include "speaker_ops.h"
#include "speaker_route.h"
#include "termination_signals.h"

namespace {

void usage() {
    std::fputs(
        "usage: beep-probe [--tone HZ MS | --off | --library [PATH] | --route]\n"
        "  Without arguments, tells how the speaker library reaches the speaker.\n"
        "  --tone HZ MS    also sounds HZ hertz (20..20000) for MS milliseconds that way.\n"
        "  --off           closes the speaker gate that way, for a speaker left sounding.\n"
        "  --route         prints only the way's short name, for scripts and tests.\n"
        "  --library PATH  loads the speaker library as the program does (by default\n"
        "                  libbeep.so.3, found through the run path), finds its functions\n"
        "                  and tells which way that library takes.\n",
        stderr);
}

std::string name(beep::Route route) {
    return std::string(beep::routeName(route));
}

// --off: closes the speaker gate the way the library would reach it, for a speaker left
// sounding by a program that could not close it (killed by SIGKILL, or crashed).
int silence(const beep::SpeakerRoute& route, const beep::RouteOptions& options) {
    switch (route.taken()) {
        case beep::Route::KernelDevice: {
            // A new process's emulated gate is already closed, so the device is told directly.
            std::string refusal;
            auto device = beep::openPcSpeakerDevice(options.pcSpeakerPath.c_str(), refusal);
            if (!device) {
                std::printf("The speaker could not be silenced: %s\n", refusal.c_str());
                return 1;
            }
            device->setTone(std::nullopt);
            break;
        }
        case beep::Route::SoundSystem:
        case beep::Route::Silence:
            std::puts("Nothing to silence: a tone through the sound system ends with its program.");
            return 0;
        case beep::Route::DirectPorts:
        case beep::Route::DevPort:
            beep::closeGate(*route.bus);
            break;
    }
    std::puts("The speaker gate is closed.");
    return 0;
}

// What the loaded library did when it chose its way, seen from this process: the files it
// opened, the sound libraries it loaded, and the capability it gives up once the ports answer.
std::string observedRoute(bool heldRawIo) {
    std::string devices;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target == beep::kDevPortPath) return name(beep::Route::DevPort);
        if (target.rfind("/dev/input/event", 0) == 0)
            return name(beep::Route::KernelDevice) + " (" + target + ")";
    }
    std::string libraries;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        for (const beep::AudioWay& way : beep::audioWays()) {
            if (line.find(way.library) != std::string::npos &&
                libraries.find(way.library) == std::string::npos)
                libraries += std::string(libraries.empty() ? "" : ", ") + std::string(way.library);
        }
    }
    if (!libraries.empty()) {
        // The library picks its way at its first tone, by the code that decides here: the
        // first way whose stream plays.
        std::string refusal;
        const auto way = beep::acceptingSoundWay(refusal);
        return name(beep::Route::SoundSystem) + " (" + libraries + " loaded; " +
               (way ? "a tone goes to " + *way : "nothing takes a stream now: " + refusal) + ")";
    }
    if (heldRawIo && !beep::holdsRawIo()) return name(beep::Route::DirectPorts);
    return name(beep::Route::Silence) + " (no device opened, no sound library loaded)";
}

// Loads the library by name as Vireko does, beside this program once installed, binds its
// three functions, and closes the gate through it, which makes it choose its way. Exit status
// 0 where all three are there.
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
    if (auto* beepOff = reinterpret_cast<decltype(&beep_off)>(dlsym(library, "beep_off"))) {
        const bool heldRawIo = beep::holdsRawIo();
        beepOff();
        std::printf("  it reaches the speaker by: %s\n", observedRoute(heldRawIo).c_str());
    }
    return missing == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else, while the process may still reach the ports: a guardian that
    // closes the gate should this program die in the middle of a tone.
    beep::SpeakerGuardian::start();
    // Blocked before the library starts any thread, and waited for while a tone sounds, so that
    // a termination signal closes the gate before the program ends by it.
    const sigset_t termination = beep::terminationSignals();
    pthread_sigmask(SIG_BLOCK, &termination, nullptr);

    if (argc >= 2 && argc <= 3 && std::strcmp(argv[1], "--library") == 0)
        return probeLibrary(argc == 3 ? argv[2] : "libbeep.so.3");
    if (argc == 2 && std::strcmp(argv[1], "--route") == 0) {
        std::printf("%s\n", std::string(beep::routeKey(beep::chooseRoute({}).taken())).c_str());
        return 0;
    }
    const bool off = argc == 2 && std::strcmp(argv[1], "--off") == 0;
    long hz = 0, ms = 0;
    if (argc == 4 && std::strcmp(argv[1], "--tone") == 0) {
        hz = std::strtol(argv[2], nullptr, 10);
        ms = std::strtol(argv[3], nullptr, 10);
        if (hz < 20 || hz > 20000 || ms <= 0 || ms > 60000) {
            usage();
            return 2;
        }
    } else if (argc != 1 && !off) {
        usage();
        return 2;
    }

    // Said once, here: the library passes over a value it does not know.
    if (const std::string note = beep::chosenSoundWays().note; !note.empty())
        std::printf("%s\n", note.c_str());
    const beep::RouteOptions options;
    const beep::SpeakerRoute route = beep::chooseRoute(options);
    // The sound system is reported as used only where something takes a stream now.
    const bool viaSoundSystem = route.taken() == beep::Route::SoundSystem;
    std::string soundRefusal;
    const auto soundWay = viaSoundSystem ? beep::acceptingSoundWay(soundRefusal) : std::nullopt;
    std::puts("The speaker library tries, in order:");
    for (const auto& attempt : route.attempts) {
        const bool silentSoundSystem =
            attempt.route == beep::Route::SoundSystem && attempt.refusal.empty() && !soundWay;
        if (attempt.refusal.empty() && !silentSoundSystem)
            std::printf("  %-26s used\n", name(attempt.route).c_str());
        else
            std::printf("  %-26s refused: %s\n", name(attempt.route).c_str(),
                        silentSoundSystem ? soundRefusal.c_str() : attempt.refusal.c_str());
    }
    if (soundWay) std::printf("  sound system: a stream plays on %s\n", soundWay->c_str());
    const bool canSound = route.taken() != beep::Route::Silence && (!viaSoundSystem || soundWay);
    if (!canSound)
        std::puts(viaSoundSystem ? "Nothing can sound now; the library tries the sound system "
                                   "again at each tone."
                                 : "Nothing can sound.");

    if (off) return silence(route, options);
    if (hz == 0) return 0;
    if (!canSound) return 1;
    std::printf("Sounding %ld Hz for %ld ms.\n", hz, ms);
    std::fflush(stdout);
    beep::programFrequency(*route.bus, static_cast<std::int32_t>(hz));
    beep::SpeakerGuardian::noteGate(true);
    beep::openGate(*route.bus);
    // Waited out against a deadline: a stop and continue (SIGSTOP, SIGCONT) interrupts the wait,
    // and the tone must not start its length again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    int signal = -1;
    for (;;) {
        const auto left = std::max(std::chrono::steady_clock::duration::zero(),
                                   deadline - std::chrono::steady_clock::now());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec wait{static_cast<time_t>(seconds.count()),
                            static_cast<long>((left - seconds) / std::chrono::nanoseconds(1))};
        signal = sigtimedwait(&termination, nullptr, &wait);
        if (signal >= 0 || errno != EINTR) break;
    }
    beep::closeGate(*route.bus);
    beep::SpeakerGuardian::noteGate(false);
    // Let the sound system play out the ramp that ends the tone, for as long as that takes on a
    // busy machine, within the sink's limit.
    if (viaSoundSystem) static_cast<beep::EmulatedSpeakerBus&>(*route.bus).finishTone();
    if (signal > 0) beep::endBySignal(signal);
    return 0;
}
