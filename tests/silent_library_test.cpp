// With neither sound library loadable, libbeep.so.3 still loads, works and stays silent.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <thread>

#include "beep_library.h"
#include "support/monitor_recorder.h"
#include "support/probed_route.h"
#include "support/tone_analysis.h"

namespace vireko {
namespace {

TEST(SilentLibrary, LoadsAndPlaysNothingWithoutSoundLibraries) {
    ASSERT_EQ(dlopen("libpulse.so.0", RTLD_NOW), nullptr) << "the sound libraries are hidden";
    ASSERT_EQ(dlopen("libpipewire-0.3.so.0", RTLD_NOW), nullptr);
    ASSERT_EQ(dlopen("libasound.so.2", RTLD_NOW), nullptr);
    if (!testing::testServerRunning()) GTEST_SKIP() << "no PulseAudio test server";
    if (const auto other = testing::otherRouteThan(beep::Route::Silence)) GTEST_SKIP() << *other;
    testing::MonitorRecorder recorder;
    BeepLibrary speaker;
    EXPECT_NO_THROW(speaker.beepFreq(440));
    EXPECT_NO_THROW(speaker.beepOn());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_NO_THROW(speaker.beepOff());
    const auto samples =
        recorder.recordUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
    EXPECT_EQ(testing::peakLevel(samples), 0.0f);
}

}  // namespace
}  // namespace vireko
