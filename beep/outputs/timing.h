// When a change of tone is heard through the sound system: every constant that decides it, in
// one place. A tone's lead is fixed when it opens, and each later change of that tone is heard
// as long after it was made, so that the tone lasts exactly as long as its gate was open.
#pragma once

#include <chrono>
#include <cstddef>

namespace beep {

// Every stream is mono float at this rate; frames count time in every output.
inline constexpr unsigned kAudioSampleRateHz = 48000;

constexpr std::size_t framesIn(std::chrono::milliseconds duration) {
    return static_cast<std::size_t>(duration.count()) * kAudioSampleRateHz / 1000;
}

// For every output

// How much sound is kept queued at the server: deep enough to ride out a busy desktop's
// scheduling delays. A change of tone does not wait behind it: the part not yet taken by the
// device is rewritten.
inline constexpr std::chrono::milliseconds kQueuedAudio{100};
// How far ahead of the queue's reading point the device itself works, at least: a change of
// tone written ahead is heard about twice this long after it is made (see the PulseAudio lead).
// PulseAudio's server wakes this often while a tone plays, and not at all in a silence.
inline constexpr std::chrono::milliseconds kDeviceLatency{2};
// On PipeWire's pulse server, which makes its graph's period follow the request size: below a
// desktop's 256 frames the graph itself runs short on a busy machine.
inline constexpr std::chrono::milliseconds kPipeWirePulseDeviceLatency{8};

// The sound-system sink's audio thread

// Audio is rendered, and can be rewritten, in pieces of this many frames.
inline constexpr std::size_t kRenderChunkFrames = 128;
// A rewrite goes out in writes of this much (in whole chunks), each sent before the next is
// rendered. The server reads on while a rewrite is rendered: the first piece has to arrive within
// the lead, and on a slow machine a whole queue's worth did not (a sanitized build took 10-14 ms
// to render and send 100 ms at 15 kHz, and 4 ms for 20 ms), so that a high tone was cut into at
// its opening (a click). Each later piece has the length of those before it to spare, except
// where the server takes more than a piece at once (PipeWire's pulse server takes a period, 384
// frames at 8 ms): there the pieces of one period go out within about 2 ms of each other
// at 15 kHz in a sanitized build, well within that server's 5 ms (kPipeWirePulseRewriteTime).
inline constexpr std::chrono::milliseconds kRewritePiece{6};
// A change heard later than asked by less than this is the rounding to a whole frame, not a
// late change that makes the rest of its tone as late.
inline constexpr std::chrono::microseconds kLatenessRounding{100};
// Once the tone has been silent this long the stream is closed (on PipeWire, paused), so that
// the server asks nothing while nothing sounds; the connection is kept, and a new stream starts
// as soon.
inline constexpr std::chrono::milliseconds kHoldAfterTone{300};

// A tone's lead is its stream's own (AudioOutput::Standing::lead) and the audio thread's
// lateness to a change, measured (WakeMargin): beyond the worst remembered, this, for the change
// to reach the output once awake and for a wake a little later than any seen;
inline constexpr std::chrono::microseconds kWakeMarginBeyondWorst{1000};
// and until a change was seen, as much as a busy desktop's scheduler may hold a thread back.
inline constexpr std::chrono::microseconds kWakeMarginUnmeasured{5000};

// PulseAudio (and PipeWire's pulse server)

// For a rewrite to reach the server: the round trip of a timing, measured (RecentWorst); beyond
// the worst remembered, this;
inline constexpr std::chrono::microseconds kPulseRoundTripBeyondWorst{1000};
// At least this, however quick the round trips: rendering a rewrite's first piece takes longer
// than a round trip on a slow machine (a sanitized build took 4 ms for 20 ms at 15 kHz), and a
// rewrite that comes after the server read on cuts into the tone.
inline constexpr std::chrono::microseconds kPulseRewriteTime{2500};
// On PipeWire's pulse server, where a rewrite that comes late is lost altogether.
inline constexpr std::chrono::microseconds kPipeWirePulseRewriteTime{5000};
// A new stream through PipeWire's pulse server starts on the first cycle of the graph after its
// first data reaches the server, and one so soon that the data may miss it is left to pass
// (measured here: a cycle 1.6 ms after the stream opened was missed, one 1.7 ms after was not).
inline constexpr std::chrono::microseconds kPipeWirePulseFirstCycleMargin{4000};
// How close to a whole number of periods (the shortest of the last four streams') after the last
// stream's first frame a new stream's first frame must be heard for the graph to be taken to have
// run on in between, in seconds (measured: within 0.3 ms where it did; where it stopped, by chance
// once in a period in ms, which is why the server is also asked whether it runs, and where it
// does not answer, two silences in a row are).
inline constexpr double kPipeWirePulseCycleTolerance = 0.0005;
// How long those cycles are relied on after the last stream: a sound card's clock and the
// system's part by up to about 100 ppm, 0.5 ms in that time.
inline constexpr double kPipeWirePulseCycleMemorySeconds = 5.0;

// PipeWire's own library

// The period asked of the graph, as the PulseAudio output asks for its requests: the graph takes
// the smallest any stream asks for, within its own limits.
inline constexpr std::size_t kPipeWireAskedPeriodFrames = 256;
// For a change placed to reach the ring before the cycle it was placed for begins, by its caller
// or by the audio thread. How late that thread wakes to place it is measured, and added to the
// lead, by the audio thread (WakeMargin), for a change the caller could not place itself.
inline constexpr double kPipeWireCycleSlackSeconds = 0.001;
// Times in the pulled queue closer than this fraction of a frame are the same frame.
inline constexpr double kSameFrameTolerance = 1e-6;

// ALSA

// Its queue, kept short because it is never rewritten: a change of tone, heard once the queue
// ahead of it has played, is on time.
inline constexpr std::chrono::milliseconds kAlsaQueuedAudio{24};
// For the audio thread to wake and write a change.
inline constexpr std::chrono::milliseconds kAlsaWritingTime{5};

// When frame 0 of a stream is heard, from the server's timings (StreamClock)

// How fast the server's clock and the system's may part: ample for any sound card.
inline constexpr double kClockDriftRate = 1e-4;
// A later estimate by more than this is a stall, followed at once.
inline constexpr double kClockJumpSeconds = 0.050;
// Every estimate of a window this long later by more than kClockSlipSeconds is a slip. Many
// timings come in such a window, some of them right after a cycle of the server.
inline constexpr double kClockWindowSeconds = 0.150;
inline constexpr double kClockSlipSeconds = 0.0015;

}  // namespace beep
