// How long one full picture takes on the Qt picture area, and one speaker triple on the
// emulated bus.
#include <benchmark/benchmark.h>

#include <QApplication>

#include "emulated_bus.h"
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

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
