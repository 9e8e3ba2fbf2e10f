// The kernel PC-speaker device path, with a pipe standing in for the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "emulated_bus.h"
#include "pcspkr_event_sink.h"
#include "speaker_ops.h"
#include "speaker_route.h"

namespace beep {
namespace {

TEST(KernelToneValue, GivesTheKernelTheSameCount) {
    // The kernel divides 1193182 by the value; the count must come out as the library's.
    for (int hz : {21, 440, 1000, 4000, 10000, 20000, 32000}) {
        const std::uint32_t count = kTimerClockHz / unsigned(hz);
        const int value = kernelToneValue(count);
        EXPECT_EQ(kKernelTimerClockHz / unsigned(value), count) << hz;
    }
    EXPECT_EQ(kernelToneValue(2711), 440);
    EXPECT_EQ(kernelToneValue(59), 20223);
}

TEST(KernelToneValue, WithoutAnExactValueTakesTheNearerPitchOnEitherSide) {
    // Count 1570 plays 759.99 Hz; the kernel makes 759.02 Hz of 759 and 760.47 Hz of 760.
    EXPECT_EQ(kernelToneValue(1570), 760);
    // Count 1111 plays 1073.97 Hz; 1073 gives 1073.97 Hz, 1074 gives 1074.96 Hz.
    EXPECT_EQ(kernelToneValue(1111), 1073);
}

TEST(KernelToneValue, OutsideWhatTheKernelAcceptsTakesTheNearestEnd) {
    EXPECT_EQ(kernelToneValue(59659), 21);  // 20 Hz
    EXPECT_EQ(kernelToneValue(65536), 21);
    EXPECT_EQ(kernelToneValue(18), 32766);
    EXPECT_EQ(kernelToneValue(1), 32766);
}

class PcSpeakerThroughPipe : public testing::Test {
protected:
    int fds[2]{-1, -1};
    void SetUp() override { ASSERT_EQ(pipe(fds), 0); }
    void TearDown() override { close(fds[0]); }
    // The next event, or an empty one once a second has passed without any.
    input_event next() {
        input_event event{};
        pollfd ready{fds[0], POLLIN, 0};
        if (poll(&ready, 1, 1000) != 1) {
            ADD_FAILURE() << "no event within a second";
            return event;
        }
        EXPECT_EQ(read(fds[0], &event, sizeof event), ssize_t(sizeof event));
        return event;
    }
};

TEST_F(PcSpeakerThroughPipe, GateOpenSendsTheToneAndGateCloseSendsZero) {
    EmulatedSpeakerBus bus(std::make_unique<PcSpeakerEventSink>(UniqueFd(fds[1])));
    programFrequency(bus, 440);
    openGate(bus);
    programFrequency(bus, 1000);
    closeGate(bus);
    for (int expected : {440, 1000, 0}) {
        const input_event event = next();
        EXPECT_EQ(event.type, EV_SND);
        EXPECT_EQ(event.code, SND_TONE);
        EXPECT_EQ(event.value, expected);
    }
}

TEST(PcSpeakerDevice, OnlyACharacterDeviceThatAnswersSoundQueriesIsTaken) {
    std::string refusal;
    EXPECT_EQ(openPcSpeakerDevice("/nonexistent/pcspkr", refusal), nullptr);
    EXPECT_NE(refusal.find("No such file"), std::string::npos) << refusal;

    const auto file = std::filesystem::temp_directory_path() / "vireko-not-a-device";
    std::fclose(std::fopen(file.c_str(), "w"));
    EXPECT_EQ(openPcSpeakerDevice(file.c_str(), refusal), nullptr);
    EXPECT_NE(refusal.find("not a character device"), std::string::npos) << refusal;
    std::filesystem::remove(file);

    EXPECT_EQ(openPcSpeakerDevice("/dev/null", refusal), nullptr);
    EXPECT_NE(refusal.find("not a sound input device"), std::string::npos) << refusal;
}

TEST(SpeakerRoute, FallsThroughToTheSilentEmulatedSpeakerAndSaysWhy) {
    RouteOptions options;
    options.tryDirectPorts = false;
    options.devPortPath = "/nonexistent/port";
    options.pcSpeakerPath = "/nonexistent/pcspkr";
    options.trySoundSystem = false;
    const SpeakerRoute route = chooseRoute(options);
    ASSERT_NE(route.bus, nullptr);
    ASSERT_EQ(route.attempts.size(), 3u);
    EXPECT_NE(route.attempts[0].refusal.find("No such file"), std::string::npos);
    EXPECT_NE(route.attempts[1].refusal.find("No such file"), std::string::npos);
    EXPECT_EQ(route.taken(), Route::Silence);
    EXPECT_TRUE(route.attempts[2].refusal.empty());
    programFrequency(*route.bus, 440);
    openGate(*route.bus);
    EXPECT_EQ(*route.bus->read(kSystemControlPort) & 0x03, 0x03);
}

}  // namespace
}  // namespace beep
