// The ways to the sound system that this build has, best first, and how one is chosen.
#include <cstdlib>
#include <vector>

#include "audio_output.h"

namespace beep {

#ifdef VIREKO_HAVE_PIPEWIRE
bool pipewireLibraryLoads(std::string& refusal);
std::unique_ptr<AudioOutput> openPipeWireOutput(int wakeFd, std::string& refusal);
#endif
#ifdef VIREKO_HAVE_PULSE
bool pulseLibraryLoads(std::string& refusal);
std::unique_ptr<AudioOutput> openPulseOutput(int wakeFd, std::string& refusal);
#endif
#ifdef VIREKO_HAVE_ALSA
bool alsaLibraryLoads(std::string& refusal);
std::unique_ptr<AudioOutput> openAlsaOutput(int wakeFd, std::string& refusal);
#endif

namespace {

// As people call each way, in the list and where BEEP_SOUND names one this build may lack.
constexpr std::string_view kPipeWireWay = "PipeWire";
constexpr std::string_view kPulseWay = "PulseAudio (or PipeWire)";
constexpr std::string_view kAlsaWay = "the ALSA default device";

}  // namespace

std::span<const AudioWay> audioWays() {
    static const std::vector<AudioWay> ways = {
#ifdef VIREKO_HAVE_PIPEWIRE
        {kPipeWireWay, "libpipewire-0.3.so.0", pipewireLibraryLoads, openPipeWireOutput},
#endif
#ifdef VIREKO_HAVE_PULSE
        {kPulseWay, "libpulse.so.0", pulseLibraryLoads, openPulseOutput},
#endif
#ifdef VIREKO_HAVE_ALSA
        {kAlsaWay, "libasound.so.2", alsaLibraryLoads, openAlsaOutput},
#endif
    };
    return ways;
}

SoundWayChoice chosenSoundWays() {
    SoundWayChoice choice;
    const std::span<const AudioWay> built = audioWays();
    choice.ways.assign(built.begin(), built.end());
    const char* value = std::getenv("BEEP_SOUND");
    if (value == nullptr || *value == '\0') return choice;
    const std::string_view named = value;
    static constexpr std::pair<std::string_view, std::string_view> kKeys[] = {
        {"pipewire", kPipeWireWay},
        {"pulse", kPulseWay},
        {"alsa", kAlsaWay},
    };
    if (named == "none") {
        choice.ways.clear();
        choice.note = "BEEP_SOUND=none: the sound system stays silent";
        return choice;
    }
    for (const auto& key : kKeys) {
        if (named != key.first) continue;
        const std::string_view name = key.second;
        std::erase_if(choice.ways, [name](const AudioWay& way) { return way.name != name; });
        choice.note = "BEEP_SOUND=" + std::string(key.first) + ": only " + std::string(name) +
                      (choice.ways.empty() ? ", which this build lacks" : "");
        return choice;
    }
    choice.note = "BEEP_SOUND=" + std::string(named) +
                  " names no way (pipewire, pulse, alsa or none): every way is tried";
    return choice;
}

std::optional<PlayingOutput> firstPlayingWay(std::span<const AudioWay> ways, std::size_t until,
                                             int wakeFd, std::string& refusal) {
    refusal.clear();
    for (std::size_t way = 0; way < std::min(until, ways.size()); ++way) {
        std::string why;
        auto output = ways[way].open(wakeFd, why);
        if (output != nullptr && output->startStream(why))
            return PlayingOutput{std::move(output), way};
        refusal += (refusal.empty() ? "" : "; ") + why;
    }
    if (refusal.empty()) refusal = "no sound-system way to try";
    return std::nullopt;
}

std::optional<std::string> acceptingSoundWay(std::string& refusal) {
    const SoundWayChoice choice = chosenSoundWays();
    auto playing = firstPlayingWay(choice.ways, choice.ways.size(), -1, refusal);
    if (!playing) {
        if (choice.ways.empty()) refusal = choice.note;
        return std::nullopt;
    }
    playing->output->stopStream();
    const AudioWay& way = choice.ways[playing->way];
    const std::string server = playing->output->serverName();
    return (server.empty() ? std::string(way.name) : server) + ", through " +
           std::string(way.library);
}

bool soundLibrariesLoad(std::string& refusal) {
    refusal.clear();
    const SoundWayChoice choice = chosenSoundWays();
    for (const AudioWay& backend : choice.ways) {
        std::string why;
        if (backend.libraryLoads(why)) return true;
        refusal += (refusal.empty() ? "" : "; ") + why;
    }
    if (choice.ways.empty())
        refusal = choice.note;
    else if (refusal.empty())
        refusal = "built without PulseAudio and ALSA";
    return false;
}

}  // namespace beep
