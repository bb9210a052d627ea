#pragma once

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

// Frequency from upward zero crossings, over the middle half of a signal (its edges may be cut).
inline double frequency(const std::vector<float>& values, double rate) {
    const std::size_t begin = values.size() / 4, end = values.size() * 3 / 4;
    std::size_t crossings = 0, firstCrossing = 0, lastCrossing = 0;
    for (std::size_t i = begin + 1; i < end; ++i)
        if (values[i - 1] < 0.0f && values[i] >= 0.0f) {
            if (crossings++ == 0) firstCrossing = i;
            lastCrossing = i;
        }
    if (crossings < 2) return 0.0;
    return rate * static_cast<double>(crossings - 1) / static_cast<double>(lastCrossing - firstCrossing);
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
