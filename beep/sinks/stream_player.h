// One stream of the sound-system sink, played by its audio thread: the tone rendered, placed on
// the stream's clock, and rewritten where it changes.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "audio_output.h"
#include "square_synth.h"
#include "wake_margin.h"

namespace beep {

// What a StreamPlayer reads of the tone it plays, and what it tells back.
class PlayedTone {
public:
    // One reading of the tone: none while the gate is closed.
    struct Reading {
        std::optional<std::uint32_t> tone;
        std::uint64_t stamp = 0;  // which reading it was, for heardOut()
    };
    virtual Reading toneNow() const = 0;
    // When the tone last changed, so that each change is heard the same lead after it was made,
    // however late the audio thread gets to it.
    virtual std::chrono::steady_clock::time_point lastChangeAt() const = 0;
    // The last tone the gate opened on (its last count) and when it opened.
    virtual std::pair<std::uint32_t, std::chrono::steady_clock::time_point> lastOpening() const = 0;
    // The player is to end: its sink is going.
    virtual bool stopping() const = 0;
    // Everything up to `closed`, a reading of the gate closed, has been heard.
    virtual void heardOut(const Reading& closed) = 0;
    // A tone opened with this lead, where the server itself needed `floor` (Standing::floor).
    virtual void noteLead(std::chrono::nanoseconds floor, std::chrono::nanoseconds lead) = 0;

protected:
    ~PlayedTone() = default;
};

// One stream, from the opening of the gate until the tone has been silent for kHoldAfterTone.
// The server's queue is kept full. Each change of tone is placed at the frame heard one lead
// (what the output needs, and the audio thread's lateness) after the change was made: what was
// written from there on is taken back and the synth resumes from that exact frame, so that the
// change is heard within milliseconds with the phase running on; a frame not yet written is waited
// for. A change that could only land later than that (the stream was slow to start, the device
// works further ahead) makes the tone's later changes as late, so that a tone lasts exactly as
// long as its gate was open. An output that renders the tone itself is given the changes at
// their frames instead, and nothing is written to it; there the caller may place its change
// itself (follow()), and the audio thread is not on its path.
class StreamPlayer {
public:
    StreamPlayer(AudioOutput& output, PlayedTone& tone, WakeMargin& wakes)
        : output_(output),
          tone_(tone),
          wakes_(wakes),
          rendering_(output.toneRendering()),
          synth_(kAudioSampleRateHz) {}

    // The stream starts with the tone that opened it placed like any other change, one lead
    // after the gate opened, and silence up to there: nothing written has to be taken back.
    // False where the output was lost.
    bool start();
    // Plays until the hold after the tone is over (true), or the output is lost (false).
    // `placing`, held by the caller, is let go while the player waits on its output, and held
    // again when it returns: follow() is called under it.
    bool play(std::unique_lock<std::mutex>& placing);

    // A change made by the caller of the tone, placed by that caller at once, one lead after
    // `changedAt`, with no wait for the audio thread to wake. Only for an output that renders
    // the tone itself (whose standing() may be asked from there), and only while the stream
    // plays on; otherwise false, and the audio thread places the change once it reads it.
    // Called under the lock play() is given.
    bool follow(std::optional<std::uint32_t> tone, std::chrono::steady_clock::time_point changedAt);

private:
    using SteadyClock = std::chrono::steady_clock;

    // The synth as it stood at one frame of the stream (the start of a chunk, or a change), for
    // rewriting from there.
    struct Snapshot {
        std::size_t frame;
        SquareWaveSynth synth;
    };
    // A change of tone and the frame it was placed at.
    struct Change {
        std::size_t frame;
        std::optional<std::uint32_t> tone;
    };
    // Where a change was placed (in frames and their fractions), and when it was asked to be
    // heard.
    struct Placed {
        double frame;
        SteadyClock::time_point asked;
    };
    static constexpr std::size_t kHistoryFrames = framesIn(kQueuedAudio) + 2 * kRenderChunkFrames;

    void schedule(std::optional<std::uint32_t> tone, SteadyClock::time_point changedAt);
    static SteadyClock::time_point heardAt(SteadyClock::time_point frameZero, double frame);

    // Takes back the frames from `frame` on, and runs the synth from the snapshot before that
    // frame forward to it exactly.
    bool rewindTo(std::size_t frame);

    // Keeps the server's queue full, in whole chunks, each with its snapshot; a change waiting
    // for its frame comes in there, with a snapshot of its own. What was taken back is written
    // again at once, whatever the server has asked for: its first part on its own, and the rest,
    // with what the server asked for, at the next pass. The change goes out now, and the queue
    // does not run short until the server's next request.
    bool topUp();

    std::size_t playedFrames();

    // The tone has ended and `silence` after it has played.
    bool heardOutFor(std::chrono::milliseconds silence);

    AudioOutput& output_;
    PlayedTone& tone_;
    WakeMargin& wakes_;
    ToneRendering* rendering_;     // where the output renders the tone itself
    std::size_t placedUntil_ = 0;  // the frame of the last change given to it
    std::size_t seenLate_ = 0;     // of its lateFrames(), already made up for
    SquareWaveSynth synth_;
    std::deque<Snapshot> history_;  // those that may still be rewritten from, oldest first
    std::deque<Change> pending_;    // past the write position, or not yet given to the output
    std::size_t written_ = 0;
    std::size_t takenBack_ = 0;     // rewound and not yet written again
    std::size_t audibleUntil_ = 0;  // the frame after the last one that was not silent
    std::optional<std::uint32_t> scheduled_;
    std::uint64_t seenStamp_ = 0;    // of the last reading of the tone
    bool finished_ = false;          // the stream is ending, or was lost: follow() places no more
    std::optional<Placed> opening_;  // of the tone now sounding or last sounded
    SteadyClock::duration bump_{0};  // how much later still, where a change could not be as soon
    // Where the last tone ended, in frames and their fractions, and when its gate closed.
    struct Closing {
        double frame;
        SteadyClock::time_point changedAt;
    };
    std::optional<Closing> lastClose_;
    SteadyClock::duration lead_{0};  // for every change of the tone, set at its opening
    std::vector<float> block_;
};

}  // namespace beep
