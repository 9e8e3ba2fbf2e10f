// The emulated speaker heard through the sound system: an audio thread renders the square wave
// while the three functions only publish the gate and the count. Where the sound server renders
// the tone itself (PipeWire's graph), a change made while its stream plays is placed there by
// its caller at once.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio_output.h"
#include "stream_player.h"
#include "tone_sink.h"
#include "unique_fd.h"
#include "wake_margin.h"

namespace beep {

class SoundSystemSink final : public ToneSink, private PlayedTone {
public:
    // Where a way that is not the best plays, the better ones are tried again once a tone is
    // over, at most this often: a server that has come back (or gained a sink) is used again,
    // while a way that cannot play costs the tones nothing in between.
    static constexpr std::chrono::seconds kBetterWayRetry{10};

    // By default the ways chosen, best first (see chosenSoundWays()).
    explicit SoundSystemSink(std::vector<AudioWay> ways = chosenSoundWays().ways,
                             std::chrono::milliseconds betterWayRetry = kBetterWayRetry);
    ~SoundSystemSink() override;
    SoundSystemSink(const SoundSystemSink&) = delete;
    SoundSystemSink& operator=(const SoundSystemSink&) = delete;

    void setTone(std::optional<std::uint32_t> divisor) noexcept override;
    // Waits until the tone just ended has played to its end, for at most kFinishLimit.
    void finishTone() noexcept override;
    static constexpr std::chrono::milliseconds kFinishLimit{250};

    // The last tone's lead, and what the server itself needed then (Standing::floor), for
    // people comparing the two.
    struct Lead {
        std::chrono::nanoseconds floor{0}, lead{0};
    };
    Lead lastLead() const;

private:
    void run();
    void wakeAudioThread() noexcept;
    // Plays one stream from the opening of the gate until it has been silent for a while.
    // False where no way could play or the output was lost.
    bool playStream();
    // Between tones, where a way worse than the best plays: tries the better ones again.
    void tryBetterWays();
    // What the stream's player reads of the tone, and tells back.
    Reading toneNow() const override;
    std::chrono::steady_clock::time_point lastChangeAt() const override;
    std::pair<std::uint32_t, std::chrono::steady_clock::time_point> lastOpening() const override;
    bool stopping() const override;
    void heardOut(const Reading& closed) override;
    void noteLead(std::chrono::nanoseconds floor, std::chrono::nanoseconds lead) override;

    std::vector<AudioWay> ways_;
    std::chrono::milliseconds betterWayRetry_;
    // The audio thread's alone: the output that plays, which of ways_ it came from, and
    // when the ways before it were last tried.
    std::unique_ptr<AudioOutput> output_;
    std::size_t way_ = 0;
    std::chrono::steady_clock::time_point betterTriedAt_;
    bool playedSinceTry_ = false;  // once after a tone, not over and over through the silence
    // Low 32 bits: the divisor while sounding, else 0. High 32 bits: how many times the gate
    // has opened, so that a failed connection is tried again at the next opening only.
    std::atomic<std::uint64_t> state_{0};
    // When the state last changed, on the steady clock, so that each change is heard the same
    // lead after it was made, however late the audio thread gets to it.
    std::atomic<std::int64_t> changedAtNs_{0};
    // Of the last opening, for a stream that was still being opened when the gate closed.
    std::atomic<std::uint32_t> lastDivisor_{0};
    std::atomic<std::int64_t> openedAtNs_{0};
    std::atomic<bool> stopping_{false};
    // The state (gate closed) once everything before it has been heard.
    std::atomic<std::uint64_t> heardOut_{0};
    std::atomic<std::int64_t> floorNs_{0}, leadNs_{0};  // of the last tone (noteLead)
    // The stream's player where its changes may be placed by their callers (follow()), and
    // their placing in it: callers only try it, and the audio thread holds it only while it
    // places and reads where the stream stands, never while it waits (it may wait for it, on a
    // caller held up while placing: then it only reads the tone later).
    std::mutex placing_;
    StreamPlayer* following_ = nullptr;
    UniqueFd wakeFd_;             // an eventfd that ends the audio thread's waits at once
    bool priorityAsked_ = false;  // by the audio thread, for itself
    WakeMargin wakeMargin_;       // the audio thread's, over its streams
    std::thread thread_;
};

}  // namespace beep
