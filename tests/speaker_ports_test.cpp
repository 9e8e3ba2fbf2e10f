// The library's port sequences and the emulated counter 2 behind them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emulated_bus.h"
#include "hardware_ports.h"
#include "privileged_calls.h"
#include "speaker_ops.h"

namespace beep {
namespace {

struct PortAccess {
    bool isWrite;
    std::uint16_t port;
    std::uint8_t value;
    friend bool operator==(const PortAccess&, const PortAccess&) = default;
};

PortAccess out(std::uint16_t port, std::uint8_t value) {
    return {true, port, value};
}
PortAccess in(std::uint16_t port, std::uint8_t value) {
    return {false, port, value};
}

// Records every access; port 0x61 reads as `systemControl`.
class RecordingBus final : public PortBus {
public:
    std::uint8_t systemControl = 0;
    std::vector<PortAccess> accesses;

    std::optional<std::uint8_t> read(std::uint16_t port) noexcept override {
        accesses.push_back(in(port, systemControl));
        return systemControl;
    }
    void write(std::uint16_t port, std::uint8_t value) noexcept override {
        accesses.push_back(out(port, value));
    }
};

struct FrequencyCase {
    const char* name;
    std::int32_t argument;
    std::uint8_t low;
    std::uint8_t high;
};

class BeepFreqBytes : public testing::TestWithParam<FrequencyCase> {};

TEST_P(BeepFreqBytes, WritesControlWordThenCountLowByteFirst) {
    RecordingBus bus;
    programFrequency(bus, GetParam().argument);
    const std::vector<PortAccess> expected{out(0x43, 0xB6), out(0x42, GetParam().low),
                                           out(0x42, GetParam().high)};
    EXPECT_EQ(bus.accesses, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, BeepFreqBytes,
    testing::Values(FrequencyCase{"Hz440", 440, 0x97, 0x0A}, FrequencyCase{"Hz20", 20, 0x0B, 0xE9},
                    FrequencyCase{"Hz20000", 20000, 0x3B, 0x00},
                    FrequencyCase{"UpperHalfIgnored", 440 + 65536, 0x97, 0x0A},
                    FrequencyCase{"MinusOneReadsAs65535", -1, 0x12, 0x00},
                    FrequencyCase{"Hz18WrapsToCount751", 18, 0xEF, 0x02},
                    FrequencyCase{"ZeroLoadsCount0", 0, 0x00, 0x00},
                    FrequencyCase{"ZeroLowHalfLoadsCount0", 0x30000, 0x00, 0x00}),
    [](const auto& row) { return row.param.name; });

TEST(BeepGate, OnSetsBothGateBitsAndKeepsTheOthers) {
    RecordingBus bus;
    bus.systemControl = 0x30;
    openGate(bus);
    EXPECT_EQ(bus.accesses, (std::vector{in(0x61, 0x30), out(0x61, 0x33)}));
}

TEST(BeepGate, OffClearsBothGateBitsAndKeepsTheOthers) {
    RecordingBus bus;
    bus.systemControl = 0x33;
    closeGate(bus);
    EXPECT_EQ(bus.accesses, (std::vector{in(0x61, 0x33), out(0x61, 0x30)}));
}

TEST(BeepGate, AlwaysWritesBackEvenWhenNothingChanges) {
    RecordingBus bus;
    bus.systemControl = 0xF3;
    openGate(bus);
    bus.systemControl = 0xFC;
    closeGate(bus);
    EXPECT_EQ(bus.accesses,
              (std::vector{in(0x61, 0xF3), out(0x61, 0xF3), in(0x61, 0xFC), out(0x61, 0xFC)}));
}

// Keeps every tone the emulated speaker asks for.
class RecordingSink final : public ToneSink {
public:
    explicit RecordingSink(std::vector<std::optional<std::uint32_t>>& tones) : tones_(tones) {}
    void setTone(std::optional<std::uint32_t> divisor) noexcept override {
        tones_.push_back(divisor);
    }

private:
    std::vector<std::optional<std::uint32_t>>& tones_;
};

class EmulatedSpeaker : public testing::Test {
protected:
    std::vector<std::optional<std::uint32_t>> tones;
    EmulatedSpeakerBus bus{std::make_unique<RecordingSink>(tones)};
    using Tones = std::vector<std::optional<std::uint32_t>>;
};

TEST_F(EmulatedSpeaker, SoundsOnlyBetweenGateOpenAndClose) {
    programFrequency(bus, 440);
    EXPECT_TRUE(tones.empty()) << "programming the timer alone makes no sound";
    openGate(bus);
    closeGate(bus);
    EXPECT_EQ(tones, (Tones{2711u, std::nullopt}));
}

TEST_F(EmulatedSpeaker, NewCountWhileSoundingChangesPitchWithoutSilence) {
    programFrequency(bus, 440);
    openGate(bus);
    programFrequency(bus, 1000);
    EXPECT_EQ(tones, (Tones{2711u, 1193u}));
}

TEST_F(EmulatedSpeaker, ReopenedGateSoundsTheSameCountAgain) {
    programFrequency(bus, 440);
    openGate(bus);
    closeGate(bus);
    openGate(bus);
    EXPECT_EQ(tones, (Tones{2711u, std::nullopt, 2711u}));
}

TEST_F(EmulatedSpeaker, OpenGateWithNothingLoadedStaysSilent) {
    openGate(bus);
    EXPECT_TRUE(tones.empty());
}

TEST_F(EmulatedSpeaker, CountZeroIsTheLongestPeriod) {
    programFrequency(bus, 0);
    openGate(bus);
    EXPECT_EQ(tones, (Tones{65536u}));
}

TEST_F(EmulatedSpeaker, GateNeedsBothBits) {
    programFrequency(bus, 440);
    bus.write(kSystemControlPort, SystemControlPort::kCounter2Gate);
    bus.write(kSystemControlPort, SystemControlPort::kSpeakerDataEnable);
    EXPECT_TRUE(tones.empty());
    EXPECT_EQ(bus.read(kSystemControlPort), SystemControlPort::kSpeakerDataEnable);
}

TEST(PitCounter2Model, IgnoresControlWordsForOtherCounters) {
    PitCounter2 counter;
    counter.writeControl(0xB6);
    counter.writeData(0x97);
    counter.writeData(0x0A);
    counter.writeControl(0x36);  // counter 0, mode 3
    counter.writeControl(0x76);  // counter 1
    ASSERT_TRUE(counter.divisor());
    EXPECT_EQ(*counter.divisor(), 2711u);
}

TEST(PitCounter2Model, SingleByteAccessLoadsAtOnce) {
    PitCounter2 counter;
    counter.writeControl(0x96);  // counter 2, low byte only, mode 3
    counter.writeData(0x40);
    EXPECT_EQ(counter.divisor(), 0x40u);
    counter.writeControl(0xA6);  // high byte only
    counter.writeData(0x01);
    EXPECT_EQ(counter.divisor(), 0x100u);
    EXPECT_EQ(counter.mode(), CounterMode::SquareWave);
}

TEST(PitCounter2Model, ModeSixAndSevenAreRateAndSquareGenerators) {
    PitCounter2 counter;
    counter.writeControl(0xBC);  // mode 6
    EXPECT_EQ(counter.mode(), CounterMode::RateGenerator);
    counter.writeControl(0xBE);  // mode 7
    EXPECT_EQ(counter.mode(), CounterMode::SquareWave);
}

TEST(PitCounter2Model, ReadsBackTheCountLowByteFirst) {
    PitCounter2 counter;
    counter.writeControl(0xB6);
    counter.writeData(0x97);
    counter.writeData(0x0A);
    EXPECT_EQ(counter.readData(), 0x97);
    EXPECT_EQ(counter.readData(), 0x0A);
}

#if defined(__x86_64__) || defined(__i386__)
// The privileged calls of a process that may or may not be granted the ports: ioperm refused
// for the ports in `refused`, capabilities kept in memory, port instructions recorded.
class FakePrivilegedCalls final : public PrivilegedCalls {
public:
    static constexpr std::uint64_t kRawIo = std::uint64_t{1} << 17;  // CAP_SYS_RAWIO

    std::set<unsigned long> refused;
    std::vector<std::pair<unsigned long, int>> ioperms;  // (first port, on)
    Capabilities capabilities{kRawIo, kRawIo, kRawIo};
    std::uint8_t systemControl = 0x30;
    std::vector<PortAccess> accesses;
    bool threadsInherit = true;  // whether a thread that cannot ask holds the ports

    // Asking needs the capability; turning a port off does not.
    int ioperm(unsigned long from, unsigned long, int turnOn) noexcept override {
        ioperms.emplace_back(from, turnOn);
        if (turnOn && (refused.count(from) || (capabilities.effective & kRawIo) == 0)) {
            errno = EPERM;
            return -1;
        }
        return 0;
    }
    int open(const char* path, int flags) noexcept override {
        return systemCalls().open(path, flags);
    }
    ssize_t pread(int fd, void* buffer, size_t count, off_t offset) noexcept override {
        return systemCalls().pread(fd, buffer, count, offset);
    }
    ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) noexcept override {
        return systemCalls().pwrite(fd, buffer, count, offset);
    }
    bool capget(Capabilities& sets) noexcept override {
        sets = capabilities;
        return true;
    }
    bool capset(const Capabilities& sets) noexcept override {
        capabilities = sets;
        return true;
    }
    std::uint8_t inb(std::uint16_t port) noexcept override {
        accesses.push_back(in(port, systemControl));
        return systemControl;
    }
    void outb(std::uint8_t value, std::uint16_t port) noexcept override {
        accesses.push_back(out(port, value));
    }
    bool threadHoldsPort(std::uint16_t) noexcept override { return threadsInherit; }
};

TEST(DirectPorts, GrantedPortsAreUsedAndTheCapabilityIsGivenUp) {
    FakePrivilegedCalls calls;
    std::string refusal;
    auto bus = openDirectPorts(refusal, calls);
    ASSERT_NE(bus, nullptr) << refusal;
    EXPECT_FALSE(holdsRawIo(calls)) << "CAP_SYS_RAWIO is no longer needed once the ports answer";
    EXPECT_EQ(calls.capabilities.inheritable & FakePrivilegedCalls::kRawIo, 0u);
    openGate(*bus);
    EXPECT_EQ(calls.accesses, (std::vector{in(0x61, 0x30), out(0x61, 0x33)}));
}

// A thread started after the first call inherits the ports but not the capability: its own
// request is refused, and must not take away what it inherited.
TEST(DirectPorts, AThreadStartedAfterTheGrantKeepsThePortsItInherited) {
    FakePrivilegedCalls calls;
    std::string refusal;
    auto bus = openDirectPorts(refusal, calls);
    ASSERT_NE(bus, nullptr) << refusal;
    const std::size_t asked = calls.ioperms.size();
    std::thread([&bus] { programFrequency(*bus, 1234); }).join();
    for (std::size_t i = asked; i < calls.ioperms.size(); ++i)
        EXPECT_EQ(calls.ioperms[i].second, 1) << "port " << calls.ioperms[i].first << " turned off";
    EXPECT_EQ(calls.accesses, (std::vector{out(0x43, 0xB6), out(0x42, 0xC6), out(0x42, 0x03)}));
}

// A thread started before the grant, whose capability the program has since given up, holds
// neither the ports nor the right to ask: a port instruction there would be SIGSEGV.
TEST(DirectPorts, AThreadWithNeitherPortsNorTheCapabilityMakesNoPortAccess) {
    FakePrivilegedCalls calls;
    calls.threadsInherit = false;
    std::string refusal;
    auto bus = openDirectPorts(refusal, calls);
    ASSERT_NE(bus, nullptr) << refusal;
    std::thread([&bus] {
        programFrequency(*bus, 1234);
        openGate(*bus);
    }).join();
    EXPECT_TRUE(calls.accesses.empty());
    closeGate(*bus);
    EXPECT_EQ(calls.accesses.size(), 2u) << "the thread that was granted the ports still uses them";
}

TEST(DirectPorts, AThreadWithoutThePortsIsFoundOutWithoutAFault) {
    EXPECT_FALSE(systemCalls().threadHoldsPort(kSystemControlPort));
}

TEST(DirectPorts, RefusedPortsGiveTheReasonAndLeaveNoHalfGrant) {
    FakePrivilegedCalls calls;
    calls.refused = {kSystemControlPort};
    std::string refusal;
    EXPECT_EQ(openDirectPorts(refusal, calls), nullptr);
    EXPECT_EQ(refusal, "ioperm: Operation not permitted");
    EXPECT_EQ(calls.ioperms.back(), std::make_pair(0x42ul, 0)) << "0x42 and 0x43 given back";
    EXPECT_TRUE(holdsRawIo(calls)) << "nothing was reached, so nothing is given up";
    EXPECT_TRUE(calls.accesses.empty());
}
#endif

// /dev/port is a file whose byte at offset N is port N; a plain file stands in for it here.
class DevPortFile : public testing::Test {
protected:
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("vireko-dev-port-" + std::to_string(getpid()));
    void TearDown() override { std::filesystem::remove(path); }
    void makeFile(std::size_t bytes, std::uint8_t port61 = 0x30) {
        std::vector<char> zeros(bytes, 0);
        if (bytes > kSystemControlPort) zeros[kSystemControlPort] = static_cast<char>(port61);
        std::ofstream(path, std::ios::binary).write(zeros.data(), std::streamsize(bytes));
    }
    std::uint8_t byteAt(std::uint16_t port) {
        std::ifstream file(path, std::ios::binary);
        file.seekg(port);
        return static_cast<std::uint8_t>(file.get());
    }
};

TEST_F(DevPortFile, PortSequencesLandAtTheirPortsOffsets) {
    makeFile(256);
    std::string refusal;
    auto bus = openDevPort(path.c_str(), refusal);
    ASSERT_NE(bus, nullptr) << refusal;
    programFrequency(*bus, 440);
    EXPECT_EQ(byteAt(kTimerControlPort), 0xB6);
    EXPECT_EQ(byteAt(kCounter2DataPort), 0x0A) << "the high byte, written after the low one";
    openGate(*bus);
    EXPECT_EQ(byteAt(kSystemControlPort), 0x33) << "the other bits of port 0x61 kept";
    closeGate(*bus);
    EXPECT_EQ(byteAt(kSystemControlPort), 0x30);
}

// A /dev/port that stops answering must not have a guess written back to port 0x61.
TEST_F(DevPortFile, NothingIsWrittenBackWherePort61CannotBeRead) {
    makeFile(256);
    std::string refusal;
    auto bus = openDevPort(path.c_str(), refusal);
    ASSERT_NE(bus, nullptr) << refusal;
    std::filesystem::resize_file(path, kSystemControlPort);  // port 0x61 no longer answers
    openGate(*bus);
    closeGate(*bus);
    EXPECT_EQ(std::filesystem::file_size(path), kSystemControlPort) << "a byte was written";
}

TEST_F(DevPortFile, RefusedWhenMissingOrWhenPort61DoesNotAnswer) {
    std::string refusal;
    EXPECT_EQ(openDevPort(path.c_str(), refusal), nullptr);
    EXPECT_NE(refusal.find("No such file"), std::string::npos) << refusal;
    makeFile(kSystemControlPort);  // ends just before port 0x61
    EXPECT_EQ(openDevPort(path.c_str(), refusal), nullptr);
    EXPECT_NE(refusal.find("no answer from port 0x61"), std::string::npos) << refusal;
}

}  // namespace
}  // namespace beep
