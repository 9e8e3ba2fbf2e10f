// beep-probe: tells which way libbeep.so.3 would reach the speaker, and why the ways before it
// were refused; `--tone HZ MS` sounds a tone that way.
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
        "usage: beep-probe [--tone HZ MS]\n"
        "  Without arguments, tells how the speaker library reaches the speaker.\n"
        "  --tone HZ MS  also sounds HZ hertz (20..20000) for MS milliseconds that way.\n",
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

}  // namespace

int main(int argc, char** argv) {
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
