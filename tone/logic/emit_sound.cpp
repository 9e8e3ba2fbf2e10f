#include "emit_sound.h"

#include <optional>

#include "conversions.h"
#include "runtime_error.h"
#include "waveform.h"

namespace vireko {

namespace {

std::int16_t displayScale(const ToneControls& controls) {
    std::int16_t scale = 0;
    if (controls.option1()) scale = kScale1x;
    if (controls.option2()) scale = kScale10x;
    if (controls.option3()) scale = kScale100x;
    return scale;
}

// Closes the gate if an error that no statement handles (running out of memory, say) ends the
// run while the tone sounds: the error goes on to the platform, which ends the program, and a
// real speaker would otherwise sound on after it.
class GateGuard {
public:
    explicit GateGuard(Speaker& speaker) : speaker_(speaker) {}
    ~GateGuard() {
        if (!armed_) return;
        try {
            speaker_.beepOff();
        } catch (...) {
        }
    }
    GateGuard(const GateGuard&) = delete;
    GateGuard& operator=(const GateGuard&) = delete;
    void release() { armed_ = false; }

private:
    Speaker& speaker_;
    bool armed_ = true;
};

void sound(const EmitSoundContext& c, std::int16_t frequencyHz, std::int16_t scale) {
    resumeNext([&] { c.controls.setHScroll1Value(frequencyHz); });
    resumeNext([&] { c.speaker.beepFreq(frequencyHz); });
    resumeNext([&] { c.controls.setText2(numberToReportText(frequencyHz) + kToneReportSuffix); });
    GateGuard gate(c.speaker);
    resumeNext([&] { c.speaker.beepOn(); });
    // Text1 is read again: the scroll bar has normally rewritten it by now.
    std::int16_t traceFrequencyHz = 0;
    resumeNext([&] { traceFrequencyHz = textToInt16(c.controls.text1()); });
    DrawTrace(c.picture, traceFrequencyHz, scale);
    resumeNext([&] { c.controls.traceDrawn(traceFrequencyHz, scale); });
    resumeNext([&] { c.controls.showNow(); });
    // The time of day is read as the wait begins; the wait itself is measured on a clock that
    // only moves forward, so that it lasts a full second at any hour.
    [[maybe_unused]] float start = 0;
    resumeNext([&] { start = c.clock.timeOfDay(); });
    resumeNext([&] { waitFor(c.clock, kToneSeconds, [&] { return c.controls.endRequested(); }); });
    gate.release();
    resumeNext([&] { c.speaker.beepOff(); });
}

void refuse(const EmitSoundContext& c) {
    resumeNext([&] { c.alert.beep(); });
    resumeNext([&] { c.controls.setText1(kDefaultFrequencyText); });
    resumeNext([&] { c.controls.setText2(kRangeMessage); });
    resumeNext([&] { c.controls.setHScroll1Value(kDefaultFrequencyHz); });
}

}  // namespace

void Command1_Click(const EmitSoundContext& context) {
    ClearPicture(context.picture);
    const std::int16_t scale = displayScale(context.controls);
    DrawGrid(context.picture);

    // From here on a failing statement is skipped and the next one runs.
    double enteredValue = 0;
    resumeNext([&] { enteredValue = textToNumber(context.controls.text1()); });
    std::optional<std::int16_t> frequencyHz;
    resumeNext([&] { frequencyHz = numberToInt16(enteredValue); });

    const std::int16_t checked = frequencyHz.value_or(0);
    if (checked >= kLowestFrequencyHz && checked <= kHighestFrequencyHz) {
        sound(context, checked, scale);
    } else {
        refuse(context);
    }
}

}  // namespace vireko
