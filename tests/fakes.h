// Stand-ins for the window, the speaker and the clock, so the emit-sound run can be watched.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "clock.h"
#include "emit_sound.h"
#include "runtime_error.h"
#include "surface.h"

namespace vireko::testing {

struct Segment {
    float x1, y1, x2, y2;
    Rgb colour;
};

class RecordingSurface final : public Surface {
public:
    int clears = 0;
    std::vector<Segment> segments;
    void clear() override {
        ++clears;
        segments.clear();
    }
    void line(float x1, float y1, float x2, float y2, Rgb colour) override {
        segments.push_back({x1, y1, x2, y2, colour});
    }
    std::size_t count(Rgb colour) const {
        std::size_t n = 0;
        for (const auto& s : segments) n += s.colour == colour ? 1 : 0;
        return n;
    }
};

// The controls as the window keeps them, with the scroll bar's change procedure.
class FakeControls final : public ToneControls {
public:
    std::string text1Value = "440";
    std::string text2Value;
    bool options[3] = {true, false, false};
    std::int16_t scrollValue = 440;
    int changeEvents = 0;

    std::string text1() const override { return text1Value; }
    void setText1(const std::string& text) override { text1Value = text; }
    bool option1() const override { return options[0]; }
    bool option2() const override { return options[1]; }
    bool option3() const override { return options[2]; }
    void setHScroll1Value(std::int16_t value) override {
        if (value == scrollValue) return;
        scrollValue = value;
        ++changeEvents;
        text1Value = std::to_string(value);
    }
    void setText2(const std::string& text) override { text2Value = text; }
    std::function<bool()> endRequest = [] { return false; };
    bool endRequested() override { return endRequest(); }
};

// Records calls as "freq 440", "on", "off"; with `missing`, every call fails as an unloadable
// library does.
class RecordingSpeaker final : public Speaker {
public:
    bool missing = false;
    std::vector<std::string> calls;
    int failures = 0;

    void beepFreq(std::int16_t hz) override { call("freq " + std::to_string(hz)); }
    void beepOn() override { call("on"); }
    void beepOff() override { call("off"); }

private:
    void call(std::string what) {
        if (missing) {
            ++failures;
            throw RuntimeError(ErrorNumber::LibraryNotLoaded);
        }
        calls.push_back(std::move(what));
    }
};

class CountingAlert final : public SystemAlert {
public:
    int beeps = 0;
    void beep() override { ++beeps; }
};

// A clock that moves on by `stepSeconds` at each rest, its time of day wrapping at midnight
// and kept in single precision as the system's is.
class SteppingClock final : public Clock {
public:
    float now = 36000.0f;
    double elapsed = 0;
    double stepSeconds = 1.0 / 128;
    int reads = 0;
    std::function<void()> onRest;  // runs at each rest, after the clock has moved on
    float timeOfDay() override {
        ++reads;
        return now;
    }
    double elapsedSeconds() override { return elapsed; }
    void rest(double maxSeconds) override {
        const double step = std::min(stepSeconds, maxSeconds);
        elapsed += step;
        now = static_cast<float>(now + step);
        if (now >= kSecondsPerDay) now -= kSecondsPerDay;
        if (onRest) onRest();
    }
};

}  // namespace vireko::testing
