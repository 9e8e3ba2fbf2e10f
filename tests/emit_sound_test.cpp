// The emit-sound run from the typed text to the speaker, the status text and the picture.
#include <gtest/gtest.h>

#include <new>

#include "emit_sound.h"
#include "fakes.h"
#include "waveform.h"

namespace vireko {
namespace {

using namespace vireko::testing;

constexpr std::size_t kGridLines = 9;
constexpr std::size_t kTraceAndAxis = 823;
const std::string kReport440 = " 440　Ｈｚの音を発信中です";

class EmitSound : public ::testing::Test {
protected:
    FakeControls controls;
    RecordingSurface picture;
    RecordingSpeaker speaker;
    CountingAlert alert;
    SteppingClock clock;

    void press(const std::string& text) {
        controls.text1Value = text;
        Command1_Click({controls, picture, speaker, alert, clock});
    }
    void expectRefused() {
        EXPECT_EQ(alert.beeps, 1);
        EXPECT_EQ(controls.text1Value, "440");
        EXPECT_EQ(controls.text2Value, kRangeMessage);
        EXPECT_EQ(controls.scrollValue, 440);
        EXPECT_TRUE(speaker.calls.empty()) << "a refused run never touches the speaker";
        EXPECT_EQ(picture.clears, 1);
        EXPECT_EQ(picture.segments.size(), kGridLines) << "the grid only";
    }
    void expectSounded(int hz) {
        EXPECT_EQ(alert.beeps, 0);
        EXPECT_EQ(speaker.calls,
                  (std::vector<std::string>{"freq " + std::to_string(hz), "on", "off"}));
        EXPECT_EQ(controls.scrollValue, hz);
        EXPECT_EQ(picture.segments.size(), kGridLines + kTraceAndAxis);
    }
};

TEST_F(EmitSound, Accepts440ReportsItAndHoldsTheToneForOneSecond) {
    const float start = clock.now;
    press("440");
    expectSounded(440);
    EXPECT_EQ(controls.text2Value, kReport440);
    EXPECT_EQ(controls.changeEvents, 0) << "the scroll bar already stood at 440";
    EXPECT_GE(clock.now - start, 1.0f);
    EXPECT_LT(clock.now - start, 1.01f);
}

TEST_F(EmitSound, LowestAndHighestFrequenciesAreAccepted) {
    press("20");
    expectSounded(20);
    EXPECT_EQ(controls.text1Value, "20");
    EXPECT_EQ(controls.text2Value, " 20　Ｈｚの音を発信中です");

    speaker.calls.clear();
    picture.clears = 0;
    press("20000");
    expectSounded(20000);
    EXPECT_EQ(controls.text1Value, "20000");
}

TEST_F(EmitSound, EmptyTextIsRefused) {
    controls.scrollValue = 1000;
    press("");
    expectRefused();
}

TEST_F(EmitSound, OneBelowAndOneAboveTheRangeAreRefused) {
    for (const char* text : {"19", "20001"}) {
        alert.beeps = 0;
        picture.clears = 0;
        press(text);
        expectRefused();
    }
}

TEST_F(EmitSound, NumberBeyondSixteenBitsIsRefused) {
    press("99999");
    expectRefused();
}

TEST_F(EmitSound, LeadingZeroIsKeptWhenTheScrollBarAlreadyStandsThere) {
    press("0440");
    expectSounded(440);
    EXPECT_EQ(controls.text1Value, "0440");
    EXPECT_EQ(controls.changeEvents, 0);
}

TEST_F(EmitSound, LeadingZeroIsRewrittenWhenTheScrollBarMoves) {
    controls.scrollValue = 1000;
    press("0440");
    expectSounded(440);
    EXPECT_EQ(controls.text1Value, "440");
    EXPECT_EQ(controls.changeEvents, 1);
}

TEST_F(EmitSound, TrailingLettersSoundButTheTraceIsFlat) {
    press("440abc");
    expectSounded(440);
    EXPECT_EQ(controls.text1Value, "440abc");
    for (std::size_t i = kGridLines + 1; i < kGridLines + 822; ++i)
        ASSERT_EQ(picture.segments[i].y2, 160) << "segment " << i;
}

TEST_F(EmitSound, MissingLibraryIsSilentAndEverythingElseStillHappens) {
    speaker.missing = true;
    const float start = clock.now;
    controls.scrollValue = 1000;
    press("440");
    EXPECT_EQ(speaker.failures, 3);
    EXPECT_EQ(controls.scrollValue, 440);
    EXPECT_EQ(controls.text2Value, kReport440);
    EXPECT_EQ(picture.segments.size(), kGridLines + kTraceAndAxis);
    EXPECT_GE(clock.now - start, 1.0f);
}

TEST_F(EmitSound, AnErrorNoStatementHandlesClosesTheGateOnItsWayOut) {
    controls.endRequest = []() -> bool { throw std::bad_alloc(); };
    EXPECT_THROW(press("440"), std::bad_alloc);
    EXPECT_EQ(speaker.calls, (std::vector<std::string>{"freq 440", "on", "off"}));
}

TEST_F(EmitSound, LastSelectedRangeSetsTheScale) {
    controls.options[0] = false;
    controls.options[1] = true;
    press("1000");
    // 1000 Hz at ten times: worked values 160, 150, 139 at x = 0, 1, 2.
    const auto& atX1 = picture.segments[kGridLines + 102];
    EXPECT_EQ(atX1.x2, 1);
    EXPECT_EQ(atX1.y1, 160);
    EXPECT_EQ(atX1.y2, 150);
}

TEST_F(EmitSound, WaitEndsAfterOneSecondAcrossMidnight) {
    clock.now = kSecondsPerDay - 0.5f;
    press("440");
    EXPECT_NEAR(clock.now, 0.5f, 0.02f);
    EXPECT_EQ(speaker.calls.back(), "off");
}

TEST_F(EmitSound, WaitLastsAFullSecondLateInTheDay) {
    // At 23:30 a single-precision time of day moves in steps of 1/128 s; the clock's
    // millisecond rests vanish into them, while the second still has to pass.
    clock.now = 84600.0f;
    clock.stepSeconds = 0.001;
    press("440");
    EXPECT_GE(clock.elapsed, 1.0);
    EXPECT_LT(clock.elapsed, 1.002);
    EXPECT_EQ(speaker.calls.back(), "off");
}

TEST_F(EmitSound, ToneReportStaysAfterTheToneEnds) {
    press("440");
    press("");
    EXPECT_EQ(controls.text2Value, kRangeMessage);
    press("880");
    EXPECT_EQ(controls.text2Value, " 880　Ｈｚの音を発信中です");
}

}  // namespace
}  // namespace vireko
