// Fuzzes what a person can do to the frequency box before pressing the button: type keys
// (through the digit filter), commit text from an input method (judged as a whole), paste
// (not filtered), and pick a range; then runs the emit-sound command on stand-in controls.
// The run must either sound the frequency the box holds or refuse it, and nothing between.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "conversions.h"
#include "digit_filter.h"
#include "emit_sound.h"
#include "fakes.h"
#include "runtime_error.h"

namespace {

using namespace vireko;

void require(bool holds) {
    if (!holds) std::abort();
}

// As the toolkit hands the text over: UTF-8, a lone surrogate as U+FFFD.
void appendUtf8(std::string& text, char16_t c) {
    std::uint32_t code = c;
    if (code >= 0xD800 && code <= 0xDFFF) code = 0xFFFD;
    if (code < 0x80) {
        text += char(code);
    } else if (code < 0x800) {
        text += char(0xC0 | (code >> 6));
        text += char(0x80 | (code & 0x3F));
    } else {
        text += char(0xE0 | (code >> 12));
        text += char(0x80 | ((code >> 6) & 0x3F));
        text += char(0x80 | (code & 0x3F));
    }
}

// The frequency the command must sound for a text, or nothing where it must refuse.
std::optional<std::int16_t> acceptable(const std::string& text) {
    try {
        const std::int16_t hz = numberToInt16(textToNumber(text));
        if (hz >= kLowestFrequencyHz && hz <= kHighestFrequencyHz) return hz;
    } catch (const RuntimeError&) {
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    testing::FakeControls controls;
    const int range = data[0] % 4;  // 3: none of the three selected
    for (int i = 0; i < 3; ++i) controls.options[i] = i == range;

    std::u16string box;  // the text box's text, as UTF-16 code units
    bool pasted = false;
    for (std::size_t at = 1; at + 3 <= size; at += 3) {
        const auto unit = static_cast<char16_t>(data[at + 1] | (data[at + 2] << 8));
        switch (data[at] % 3) {
            case 0: {  // a key
                auto keyAscii = static_cast<std::int16_t>(unit);
                Text1_KeyPress(keyAscii);
                if (keyAscii == kBackspaceCode) {
                    if (!box.empty()) box.pop_back();
                } else if (keyAscii != kDiscardCode) {
                    box += char16_t(keyAscii);
                }
                break;
            }
            case 1: {  // an input method commits two characters at once
                const std::u16string commit{unit, char16_t(unit + 1)};
                if (passesDigitFilter(commit)) box += commit;
                break;
            }
            default:  // pasted
                box += unit;
                pasted = true;
        }
    }
    std::string text;
    for (char16_t c : box) appendUtf8(text, c);
    if (!pasted)
        for (char c : text) require((c >= '0' && c <= '9'));

    controls.text1Value = text;
    controls.scrollValue = 1000;
    testing::RecordingSurface picture;
    testing::RecordingSpeaker speaker;
    testing::CountingAlert alert;
    testing::SteppingClock clock;
    clock.stepSeconds = 0.25;
    Command1_Click({controls, picture, speaker, alert, clock});

    if (const auto hz = acceptable(text)) {
        require(alert.beeps == 0);
        require(controls.scrollValue == *hz);
        require(speaker.calls.size() == 3);
        require(speaker.calls[0] == "freq " + std::to_string(*hz));
        require(speaker.calls[1] == "on" && speaker.calls[2] == "off");
        require(controls.text2Value == numberToReportText(*hz) + kToneReportSuffix);
        require(clock.elapsed >= kToneSeconds);
    } else {
        require(alert.beeps == 1);
        require(speaker.calls.empty());
        require(controls.text1Value == kDefaultFrequencyText);
        require(controls.scrollValue == kDefaultFrequencyHz);
        require(controls.text2Value == kRangeMessage);
    }
    require(picture.clears == 1);
    return 0;
}
