// How long one full picture takes on the Qt picture area, one speaker triple on the emulated
// bus, reading a megabyte of pasted text, and one period of the tone rendered on a sound server's
// real-time thread.
#include <benchmark/benchmark.h>

#include <QtGui/private/qhighdpiscaling_p.h>
#include <QApplication>

#include <string>
#include <vector>

#include "conversions.h"
#include "emulated_bus.h"
#include "picture_box.h"
#include "pulled_queue.h"
#include "runtime_error.h"
#include "speaker_ops.h"
#include "waveform.h"

namespace {

// A full picture at 440 Hz, 1x, on a screen of one (goal: 0.2 ms) or two (0.4 ms) device
// pixels to the pixel.
void FullPictureOnQtSurface(benchmark::State& state) {
    const auto ratio = qreal(state.range(0));
    QHighDpiScaling::setGlobalFactor(ratio);
    {
        vireko::PictureBox box;
        if (box.devicePixelRatioF() != ratio) state.SkipWithError("the ratio did not take");
        for (auto _ : state) {
            vireko::ClearPicture(box);
            vireko::DrawGrid(box);
            vireko::DrawTrace(box, 440, 20);
            benchmark::DoNotOptimize(box.image().constBits());
        }
    }
    QHighDpiScaling::setGlobalFactor(1);
    state.SetLabel(ratio == 1 ? "1x" : "2x");
}
BENCHMARK(FullPictureOnQtSurface)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void SpeakerTripleOnEmulatedBus(benchmark::State& state) {
    beep::EmulatedSpeakerBus bus(nullptr);
    for (auto _ : state) {
        beep::programFrequency(bus, 440);
        beep::openGate(bus);
        beep::closeGate(bus);
    }
}
BENCHMARK(SpeakerTripleOnEmulatedBus)->Unit(benchmark::kNanosecond);

// The reader must take a pasted megabyte in its stride (goal: under 50 ms). Digits alone
// overflow a double (error 6); digits after a point are read.
void ReadMegabyteText(benchmark::State& state) {
    const std::string digits(std::size_t{1} << 20, '1');
    const std::string fraction = "0." + digits;
    const std::string& text = state.range(0) == 0 ? digits : fraction;
    for (auto _ : state) {
        double value = 0;
        try {
            value = vireko::textToNumber(text);
        } catch (const vireko::RuntimeError&) {
            value = -1;
        }
        benchmark::DoNotOptimize(value);
    }
    state.SetLabel(state.range(0) == 0 ? "1 MB of digits" : "0. and 1 MB of digits");
}
BENCHMARK(ReadMegabyteText)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One cycle of PipeWire's graph: a period of 256 frames (its default) or 1024, at 440 Hz or at
// near the highest pitch (an edge nearly every frame), with a change of pitch placed in every cycle
// or none. This is all the real-time thread does for the tone (goal: a few microseconds).
void TonePeriodOnGraphThread(benchmark::State& state) {
    const auto frames = static_cast<std::size_t>(state.range(0));
    const auto divisor = static_cast<std::uint32_t>(state.range(1));
    const bool changing = state.range(2) != 0;
    beep::PulledQueue queue(frames);
    queue.restart(0);
    queue.place(0, divisor);
    std::vector<float> period(frames);
    std::size_t taken = 0;
    for (auto _ : state) {
        if (changing) queue.place(taken + frames / 2, divisor + (taken / frames) % 2);
        queue.take(period, std::nullopt);
        taken += frames;
        benchmark::DoNotOptimize(period.data());
    }
    state.SetLabel(std::to_string(frames) + " frames, count " + std::to_string(divisor) +
                   (changing ? ", a change each" : ""));
}
BENCHMARK(TonePeriodOnGraphThread)
    ->Args({256, 2711, 0})
    ->Args({256, 2711, 1})
    ->Args({256, 60, 0})
    ->Args({1024, 2711, 0})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
