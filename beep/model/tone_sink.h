// Where the emulated speaker's sound goes.
#pragma once

#include <cstdint>
#include <optional>

namespace beep {

class ToneSink {
public:
    virtual ~ToneSink() = default;
    // The speaker sounds the timer clock divided by `divisor` (1..65536), or nothing.
    // Called only when the tone changes, by one caller at a time (the emulated bus's callers hold
    // its sequence lock); must return quickly. An implementation needs no lock of its own
    // against a second caller, only against its own threads.
    virtual void setTone(std::optional<std::uint32_t> divisor) noexcept = 0;
    // At the process's end: waits, briefly, until a tone that has ended is heard to its end,
    // where the sink plays it a little after it was asked for.
    virtual void finishTone() noexcept {}
};

class SilentSink final : public ToneSink {
public:
    void setTone(std::optional<std::uint32_t>) noexcept override {}
};

}  // namespace beep
