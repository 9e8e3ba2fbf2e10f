// Playing a tone through the speaker's three functions and judging it as a listener would,
// shared by the sound tests and the sound benchmark.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "monitor_recorder.h"
#include "sound_system_sink.h"
#include "speaker.h"
#include "tone_analysis.h"

namespace vireko::testing {

using SteadyClock = std::chrono::steady_clock;

// The sanitizers make the library's own work several times slower: a limit on what it does
// itself, such as setting up a connection, is widened by this much in their builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)  // GCC
#define VIREKO_SANITIZED 1
#elif defined(__has_feature)  // clang
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VIREKO_SANITIZED 1
#endif
#endif
#ifdef VIREKO_SANITIZED
inline constexpr double kSanitizedSlowdown = 2.0;
#else
inline constexpr double kSanitizedSlowdown = 1.0;
#endif

// Judged away from the 3 ms ramps, which a ring-out and a phase measurement would mistake for a
// fault.
inline constexpr std::size_t kEdgeSamples = 2400;

double secondsBetween(SteadyClock::time_point from, SteadyClock::time_point to);

// When the gate opened and closed, on the steady clock.
struct Gate {
    SteadyClock::time_point on, off;
};

// beep_freq, then the gate held open for `length`.
Gate playTone(Speaker& speaker, std::int16_t hz, std::chrono::milliseconds length);

// The tone without its edges.
std::span<const float> steadyPart(std::span<const float> samples, SampleSpan tone);

// One recorded tone against the gate that made it.
struct ToneFigures {
    double onsetSeconds = 0;        // from the gate's opening to the first sample heard
    double offsetSeconds = 0;       // from the gate's closing to the last sample heard
    double lengthErrorSeconds = 0;  // the tone's length less the gate's
    PhaseContinuity continuity;
};
// Whether the machine stalled (see StallWatch) from a little before `from` to `to`; where it did,
// says so on the output, with what came out wrong. A sound that came out wrong then is not the
// player's doing.
bool spoiltByStall(const MonitorRecorder& recorder, SteadyClock::time_point from,
                   SteadyClock::time_point to, const std::string& wrong);

ToneFigures measureTone(const MonitorRecorder& recorder, std::span<const float> samples,
                        SampleSpan tone, const Gate& gate, double hz);

// Plays a tone of `length` through `sink`, in this process, the way the library plays it, and
// returns the lead the sink used for it and the floor its output said the server needed then.
// A stream's first tone has the output's own guess of the period; later ones, the graph's.
beep::SoundSystemSink::Lead leadOfATone(beep::SoundSystemSink& sink,
                                        std::chrono::milliseconds length);

}  // namespace vireko::testing
