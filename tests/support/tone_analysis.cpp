#include "tone_analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace vireko::testing {

namespace {

using Complex = std::complex<double>;

void fft(std::vector<Complex>& data) {
    const std::size_t n = data.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    for (std::size_t length = 2; length <= n; length <<= 1) {
        const Complex step = std::polar(1.0, -2 * std::numbers::pi / double(length));
        for (std::size_t start = 0; start < n; start += length) {
            Complex w = 1;
            for (std::size_t k = 0; k < length / 2; ++k) {
                const Complex even = data[start + k];
                const Complex odd = data[start + k + length / 2] * w;
                data[start + k] = even + odd;
                data[start + k + length / 2] = even - odd;
                w *= step;
            }
        }
    }
}

// Four-term Blackman-Harris: side lobes below -92 dB.
double blackmanHarris(std::size_t i, std::size_t n) {
    const double x = 2 * std::numbers::pi * double(i) / double(n - 1);
    return 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
}

Complex windowedDft(std::span<const float> samples, double rateHz, double frequencyHz) {
    Complex sum = 0;
    const std::size_t n = samples.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double angle = -2 * std::numbers::pi * frequencyHz * double(i) / rateHz;
        sum += double(samples[i]) * blackmanHarris(i, n) * std::polar(1.0, angle);
    }
    return sum;
}

}  // namespace

std::vector<SampleSpan> findTones(std::span<const float> samples, float threshold,
                                  std::size_t joinSamples) {
    std::vector<SampleSpan> tones;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(samples[i]) <= threshold) continue;
        if (!tones.empty() && i - tones.back().end < joinSamples)
            tones.back().end = i + 1;
        else
            tones.push_back({i, i + 1});
    }
    return tones;
}

double measureFrequencyHz(std::span<const float> samples, double rateHz) {
    // Coarse: rising zero crossings.
    std::vector<double> crossings;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0)
            crossings.push_back(double(i - 1) + samples[i - 1] / (samples[i - 1] - samples[i]));
    }
    if (crossings.size() < 3) return 0;
    const double coarseHz =
        rateHz * double(crossings.size() - 1) / (crossings.back() - crossings.front());
    // Fine: the phase at the coarse frequency drifts by 2 pi (f - coarse) per second.
    const std::size_t half = samples.size() / 2;
    const Complex first = windowedDft(samples.first(half), rateHz, coarseHz);
    const Complex second = windowedDft(samples.subspan(half, half), rateHz, coarseHz);
    const double shiftSeconds = double(half) / rateHz;
    double drift =
        std::arg(second / first) -
        std::remainder(2 * std::numbers::pi * coarseHz * shiftSeconds, 2 * std::numbers::pi);
    drift = std::remainder(drift, 2 * std::numbers::pi);
    return coarseHz + drift / (2 * std::numbers::pi * shiftSeconds);
}

double spuriousLevelDb(std::span<const float> samples, double rateHz, double fundamentalHz) {
    std::size_t n = 1;
    while (n * 2 <= samples.size() && n < 32768) n *= 2;
    std::vector<Complex> data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = double(samples[i]) * blackmanHarris(i, n);
    fft(data);
    const double binHz = rateHz / double(n);
    std::vector<double> magnitude(n / 2);
    for (std::size_t i = 0; i < n / 2; ++i) magnitude[i] = std::abs(data[i]);

    const auto guardBins = 6.0;
    auto nearWanted = [&](std::size_t bin) {
        const double hz = double(bin) * binHz;
        for (double harmonic = fundamentalHz; harmonic < rateHz / 2; harmonic += 2 * fundamentalHz)
            if (std::abs(hz - harmonic) <= guardBins * binHz) return true;
        return hz <= guardBins * binHz;  // the DC bins, judged separately
    };
    double fundamental = 0;
    const auto centre = static_cast<std::size_t>(std::lround(fundamentalHz / binHz));
    for (std::size_t bin = centre > 6 ? centre - 6 : 0; bin <= centre + 6 && bin < n / 2; ++bin)
        fundamental = std::max(fundamental, magnitude[bin]);
    double spurious = 1e-12;
    for (std::size_t bin = 0; bin < n / 2; ++bin)
        if (!nearWanted(bin)) spurious = std::max(spurious, magnitude[bin]);
    return toDb(spurious / fundamental);
}

PhaseContinuity phaseContinuity(std::span<const float> samples, double rateHz, double frequencyHz,
                                double thresholdRad) {
    PhaseContinuity result;
    const double periodSamples = rateHz / frequencyHz;
    const double periods = std::max(1.0, std::ceil(0.005 * frequencyHz));
    const auto window = static_cast<std::size_t>(std::lround(periods * periodSamples));
    if (window < 2 || samples.size() < 2 * window) return result;
    std::vector<Complex> phasors;
    for (std::size_t start = 0; start + window <= samples.size(); start += window) {
        Complex sum = 0;
        for (std::size_t i = 0; i < window; ++i) {
            const double hann =
                0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(window));
            // Against the sample clock: a steady tone gives the same phase in every window.
            const double angle = -2 * std::numbers::pi * frequencyHz * double(start + i) / rateHz;
            sum += double(samples[start + i]) * hann * std::polar(1.0, angle);
        }
        phasors.push_back(sum);
    }
    std::vector<double> levels(phasors.size());
    std::transform(phasors.begin(), phasors.end(), levels.begin(),
                   [](const Complex& p) { return std::abs(p); });
    std::vector<double> sorted = levels;
    std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(sorted.size() / 2),
                     sorted.end());
    const double median = sorted[sorted.size() / 2];
    bool inFault = false;
    for (std::size_t w = 0; w < phasors.size(); ++w) {
        const double level = median > 0 ? levels[w] / median : 0;
        result.lowestLevel = std::min(result.lowestLevel, level);
        double jump = 0;
        if (w > 0) jump = std::abs(std::arg(phasors[w] / phasors[w - 1]));
        result.largestJumpRad = std::max(result.largestJumpRad, jump);
        const bool fault = jump > thresholdRad || level < 0.9;
        if (fault && !inFault) ++result.dropouts;
        inFault = fault;
    }
    return result;
}

float peakLevel(std::span<const float> samples) {
    float peak = 0;
    for (float s : samples) peak = std::max(peak, std::abs(s));
    return peak;
}

double rmsLevel(std::span<const float> samples) {
    double sum = 0;
    for (float s : samples) sum += double(s) * s;
    return samples.empty() ? 0 : std::sqrt(sum / double(samples.size()));
}

double meanLevel(std::span<const float> samples) {
    double sum = 0;
    for (float s : samples) sum += s;
    return samples.empty() ? 0 : sum / double(samples.size());
}

double toDb(double ratio) {
    return 20 * std::log10(ratio);
}

}  // namespace vireko::testing
