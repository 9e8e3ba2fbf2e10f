// A mono float stream to the desktop's sound system, through libraries loaded at run time.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "timing.h"

namespace beep {

class ToneRendering;

// A connection to a sound server or device, over which one stream at a time plays. Frames are
// counted from the start of the stream. Every call is made from the audio thread alone, but for
// an output that renders the tone itself (toneRendering()): its standing() and the placing of
// changes may come from the thread that made the change, one thread at a time, while the audio
// thread waits.
class AudioOutput {
public:
    virtual ~AudioOutput() = default;

    // Starts a new stream, or says why not (the connection is then no longer usable).
    virtual bool startStream(std::string& refusal) = 0;
    // Ends the stream, or pauses it where the server keeps a paused stream at no cost and
    // resumes it sooner than it starts a new one; the server or device is left idle.
    virtual void stopStream() = 0;

    // Waits until the stream wants more, the wake-up descriptor given at opening becomes
    // readable, or `timeout` passes. False once the server or device is gone.
    virtual bool wait(std::chrono::milliseconds timeout) = 0;
    // How many frames the stream takes now without waiting.
    virtual std::size_t writableFrames() = 0;
    // Appends at the write position. False once the server or device is gone.
    virtual bool write(std::span<const float> samples) = 0;

    // Where the stream stands, for placing a change. May ask the server, within a time limit.
    struct Standing {
        // No frame before this one may be rewritten: the device may already have taken it.
        std::size_t firstReplaceable = 0;
        // When frame 0 is heard, on the steady clock; frame F follows F / kAudioSampleRateHz
        // seconds later. Unknown for an output without a clock, and until the stream plays,
        // unless the output can tell when it will start.
        std::optional<std::chrono::steady_clock::time_point> frameZero;
        // How far ahead of its change a frame must be to be sure it can still be replaced:
        // a change is heard no sooner than this, and where it waits for the audio thread, later
        // by that thread's own lateness to it (WakeMargin).
        std::chrono::nanoseconds lead{0};
        // What the server itself needs before a frame given to it is heard: a pulled graph's
        // period and the delay it reports, a pushed server's device latency and the round
        // trip to it. For people comparing the lead with what the server allows.
        std::chrono::nanoseconds floor{0};
    };
    virtual Standing standing() = 0;
    // Moves the write position back by `frames` (to no earlier than the first replaceable
    // frame), so that the next write replaces them. False, with the position unmoved, where
    // the output cannot take back what it was given.
    virtual bool rewind(std::size_t frames) = 0;
    // Frames written that have not yet been played, as far as is known without asking.
    virtual std::size_t queuedFrames() = 0;

    // Where the output renders the tone itself (see ToneRendering), how changes are placed
    // with it; then nothing is written, rewound or queued.
    virtual ToneRendering* toneRendering() { return nullptr; }

    // What answers at the other end, for people ("PulseAudio 16.1"); empty where unknown.
    virtual std::string serverName() const { return {}; }
};

// A way to the sound system: PipeWire's own client library, PulseAudio's (which also reaches
// PipeWire through its pulse server), ALSA's "default" device. The sink takes a list of them,
// and a test hands it stand-ins the same way.
struct AudioWay {
    std::string_view name;     // as people call it
    std::string_view library;  // the file it loads
    // Whether its library loads, and if not, why.
    std::function<bool(std::string& refusal)> libraryLoads;
    // A connection, or why not. `wakeFd` ends any wait() when it becomes readable; the caller
    // drains it.
    std::function<std::unique_ptr<AudioOutput>(int wakeFd, std::string& refusal)> open;
};

// The ways built, best first: only those whose headers were there at build time.
std::span<const AudioWay> audioWays();

// The ways to be tried: every one built, best first, unless BEEP_SOUND names one
// (pipewire, pulse, alsa) or none at all (none: silence). `note` says so for people, or
// that the value named no way and was passed over; empty where BEEP_SOUND is not set.
struct SoundWayChoice {
    std::vector<AudioWay> ways;
    std::string note;
};
SoundWayChoice chosenSoundWays();

// The first of `ways`, before `until`, that connects and starts a stream, with the stream
// playing; where none does, why not, for each, in `refusal`. The audio thread and beep-probe
// decide by this alone, so that they cannot disagree.
struct PlayingOutput {
    std::unique_ptr<AudioOutput> output;
    std::size_t way = 0;  // its place in `ways`
};
std::optional<PlayingOutput> firstPlayingWay(std::span<const AudioWay> ways, std::size_t until,
                                             int wakeFd, std::string& refusal);

// The first of the chosen ways that plays right now, what answers there and through which
// library ("PipeWire 0.3.65 (its own API), through libpipewire-0.3.so.0"); where none does,
// why not, for each, in `refusal`.
std::optional<std::string> acceptingSoundWay(std::string& refusal);

// Whether the library of any of the chosen ways loads; if none does, why not, for each.
bool soundLibrariesLoad(std::string& refusal);

}  // namespace beep
