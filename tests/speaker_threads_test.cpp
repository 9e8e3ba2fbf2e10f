// Several threads driving the speaker at once: every port sequence stays whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <barrier>
#include <optional>
#include <thread>
#include <vector>

#include "emulated_bus.h"
#include "speaker_ops.h"

namespace beep {
namespace {

// Records each tone the bus asks for. Takes no lock: the bus promises one caller at a time,
// and ThreadSanitizer reports it should two ever overlap.
class ToneLog final : public ToneSink {
public:
    std::vector<std::optional<std::uint32_t>> tones;
    void setTone(std::optional<std::uint32_t> divisor) noexcept override {
        tones.push_back(divisor);
    }
};

TEST(SpeakerThreads, ConcurrentCallsNeverTearTheCountOrTheGate) {
    // Counts 2711, 1193, 597 and 5966: their bytes differ, so a count made of two callers' bytes
    // is none of them.
    constexpr std::array kFrequencies{440, 1000, 2000, 200};
    std::vector<std::uint32_t> counts;
    for (int hz : kFrequencies) counts.push_back(countForArgument(hz));

    auto log = std::make_unique<ToneLog>();
    ToneLog& heard = *log;
    EmulatedSpeakerBus bus(std::move(log));
    constexpr int kRounds = 20000;
    std::barrier start(static_cast<std::ptrdiff_t>(kFrequencies.size()));
    std::vector<std::thread> callers;
    for (int hz : kFrequencies) {
        callers.emplace_back([&bus, &start, hz] {
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                programFrequency(bus, hz);
                openGate(bus);
                if (round % 3 == 0) closeGate(bus);
            }
        });
    }
    for (auto& caller : callers) caller.join();
    closeGate(bus);

    ASSERT_FALSE(heard.tones.empty());
    int torn = 0;
    for (const auto& tone : heard.tones)
        if (tone && std::find(counts.begin(), counts.end(), *tone) == counts.end()) ++torn;
    EXPECT_EQ(torn, 0) << "of " << heard.tones.size() << " tones";
    EXPECT_EQ(heard.tones.back(), std::nullopt) << "the last close is heard";
    EXPECT_EQ(*bus.read(kSystemControlPort) & kGateOpenMask, 0);
}

}  // namespace
}  // namespace beep
