#pragma once

#include <array>
#include <cstddef>

namespace lumvar::capture {

// Reads a stream of samples at any fractional position: a windowed sinc of kTaps taps (Kaiser window),
// from a table of kPhases positions between two samples with the values between them interpolated, so
// that a position moving by a slowly changing step resamples the stream by that ratio without a step in
// the sound. Made once (the table is computed at construction); reading allocates nothing.
class SincInterpolator {
  public:
    static constexpr int kHalf = 16;  // taps on each side of the position
    static constexpr int kTaps = 2 * kHalf;
    static constexpr int kPhases = 512;

    SincInterpolator();

    // The stream's value `fraction` (0 <= fraction < 1) past `at[0]`; at[-kHalf + 1] to at[kHalf] must be
    // readable.
    float read(const float* at, double fraction) const;

  private:
    // Row p holds the taps for the position p / kPhases past a sample, for at[-kHalf + 1 + k].
    std::array<std::array<float, kTaps>, kPhases + 1> table_{};
};

}  // namespace lumvar::capture
