// The emit-sound command: check the typed frequency, then sound it for a second while the
// picture shows its waveform, or refuse it.
#pragma once

#include <cstdint>
#include <string>

#include "clock.h"
#include "speaker.h"
#include "surface.h"

namespace vireko {

inline constexpr std::int16_t kLowestFrequencyHz = 20;
inline constexpr std::int16_t kHighestFrequencyHz = 20000;
inline constexpr std::int16_t kDefaultFrequencyHz = 440;
inline constexpr float kToneSeconds = 1.0f;

// Texts are UTF-8.
inline constexpr const char* kToneReportSuffix = "　Ｈｚの音を発信中です";
inline constexpr const char* kRangeMessage = "チェック！周波数は40～20000です";
inline constexpr const char* kDefaultFrequencyText = "440";  // kDefaultFrequencyHz

// The controls the command reads and writes.
class ToneControls {
public:
    virtual ~ToneControls() = default;
    virtual std::string text1() const = 0;
    virtual void setText1(const std::string& text) = 0;
    virtual bool option1() const = 0;
    virtual bool option2() const = 0;
    virtual bool option3() const = 0;
    // A value different from the current one runs the scroll bar's change procedure, which
    // rewrites Text1, before this returns.
    virtual void setHScroll1Value(std::int16_t value) = 0;
    virtual void setText2(const std::string& text) = 0;
    // The picture now holds the trace for this frequency and display scale (for those who
    // cannot see it).
    virtual void traceDrawn(std::int16_t /*frequencyHz*/, std::int16_t /*scale*/) {}
    // Shows what has been written and drawn so far, before the command stops to wait.
    virtual void showNow() {}
    // Whether the program is being ended (a termination signal): then the one-second wait
    // ends at once, and the gate is closed before the program goes.
    virtual bool endRequested() { return false; }
};

class SystemAlert {
public:
    virtual ~SystemAlert() = default;
    virtual void beep() = 0;
};

struct EmitSoundContext {
    ToneControls& controls;
    Surface& picture;
    Speaker& speaker;
    SystemAlert& alert;
    Clock& clock;
};

void Command1_Click(const EmitSoundContext& context);

}  // namespace vireko
