#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

namespace lumvar::testing {

// One channel of interleaved stereo float samples.
inline std::vector<float> channel(const std::vector<float>& frames, std::size_t which) {
    std::vector<float> values;
    for (std::size_t i = which; i < frames.size(); i += 2) values.push_back(frames[i]);
    return values;
}

inline double rms(const std::vector<float>& values) {
    double sum = 0.0;
    for (const float value : values) sum += static_cast<double>(value) * value;
    return values.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(values.size()));
}

// The stretch of `values` from its first to its last sample louder than `threshold`.
inline std::vector<float> loudPart(const std::vector<float>& values, float threshold = 0.05f) {
    std::size_t first = values.size(), last = 0;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (std::fabs(values[i]) > threshold) {
            first = std::min(first, i);
            last = i;
        }
    if (first >= last) return {};
    return {values.begin() + static_cast<std::ptrdiff_t>(first), values.begin() + static_cast<std::ptrdiff_t>(last)};
}

// Frequency from the median distance between upward zero crossings: a gap the server leaves in the
// stream moves a few crossings, not the median.
inline double frequency(const std::vector<float>& values, double rate) {
    std::vector<std::size_t> periods;
    for (std::size_t i = 1, last = 0; i < values.size(); ++i) {
        if (!(values[i - 1] < 0.0f && values[i] >= 0.0f)) continue;
        if (last > 0) periods.push_back(i - last);
        last = i;
    }
    if (periods.empty()) return 0.0;
    std::nth_element(periods.begin(), periods.begin() + static_cast<std::ptrdiff_t>(periods.size() / 2), periods.end());
    return rate / static_cast<double>(periods[periods.size() / 2]);
}

// Interleaved stereo: a sine of `hertz` on the left, `right` times it on the right.
inline std::vector<float> stereoTone(double hertz, double seconds, float right, double rate = 48000.0) {
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<float> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto value = static_cast<float>(0.5 * std::sin(2.0 * M_PI * hertz * static_cast<double>(i) / rate));
        samples[2 * i] = value;
        samples[2 * i + 1] = right * value;
    }
    return samples;
}

inline std::vector<float> asFloats(const std::string& bytes) {
    std::vector<float> values(bytes.size() / sizeof(float));
    if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

}  // namespace lumvar::testing
