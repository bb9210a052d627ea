#include "capture/sinc_interpolator.h"

#include <cmath>
#include <numbers>

namespace lumvar::capture {

namespace {

// The passband's edge relative to the Nyquist frequency: the streams are resampled by a ratio within a
// fraction of a percent of 1, so nothing above their own Nyquist frequency needs to go.
constexpr double kCutoff = 0.97;
constexpr double kBeta = 9.0;  // the Kaiser window's shape: stopband near -90 dB

// The zeroth-order modified Bessel function of the first kind, by its series.
double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 50; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
        if (term < sum * 1e-17) break;
    }
    return sum;
}

double tap(double x) {
    const double edge = static_cast<double>(SincInterpolator::kHalf);
    if (std::fabs(x) >= edge) return 0.0;
    const double sinc =
        x == 0.0 ? 1.0 : std::sin(std::numbers::pi * kCutoff * x) / (std::numbers::pi * kCutoff * x);
    const double window = besselI0(kBeta * std::sqrt(1.0 - (x / edge) * (x / edge))) / besselI0(kBeta);
    return kCutoff * sinc * window;
}

}  // namespace

SincInterpolator::SincInterpolator() {
    for (int p = 0; p <= kPhases; ++p) {
        const double fraction = static_cast<double>(p) / kPhases;
        std::array<double, kTaps> taps{};
        double sum = 0.0;
        for (int k = 0; k < kTaps; ++k) sum += taps[k] = tap(k - kHalf + 1 - fraction);
        // Each row passes a constant unchanged, so that no position is louder than the next.
        for (int k = 0; k < kTaps; ++k) table_[p][k] = static_cast<float>(taps[k] / sum);
    }
}

float SincInterpolator::read(const float* at, double fraction) const {
    const double scaled = fraction * kPhases;
    const int phase = static_cast<int>(scaled);
    const float between = static_cast<float>(scaled - phase);
    const auto& below = table_[phase];
    const auto& above = table_[phase + 1];
    const float* first = at - kHalf + 1;
    // Sums kept in kLanes lanes, added up at the end: the compiler makes vector operations of the lanes,
    // which it may not of one running sum (floating-point addition is not associative).
    constexpr int kLanes = 8;
    std::array<float, kLanes> low{}, high{};
    for (int k = 0; k < kTaps; k += kLanes) {
        for (int lane = 0; lane < kLanes; ++lane) {
            low[lane] += first[k + lane] * below[k + lane];
            high[lane] += first[k + lane] * above[k + lane];
        }
    }
    float lowSum = 0.0f, highSum = 0.0f;
    for (int lane = 0; lane < kLanes; ++lane) lowSum += low[lane], highSum += high[lane];
    return lowSum + (highSum - lowSum) * between;
}

}  // namespace lumvar::capture
