// How long one full picture takes on the Qt picture area, one speaker triple on the emulated
// bus, and reading a megabyte of pasted text.
#include <benchmark/benchmark.h>

#include <QApplication>

#include <string>

#include "conversions.h"
#include "emulated_bus.h"
#include "runtime_error.h"
#include "picture_box.h"
#include "speaker_ops.h"
#include "waveform.h"

namespace {

void FullPictureOnQtSurface(benchmark::State& state) {
    vireko::PictureBox box;
    for (auto _ : state) {
        vireko::ClearPicture(box);
        vireko::DrawGrid(box);
        vireko::DrawTrace(box, 440, 20);
        benchmark::DoNotOptimize(box.image().constBits());
    }
}
BENCHMARK(FullPictureOnQtSurface)->Unit(benchmark::kMicrosecond);

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

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
