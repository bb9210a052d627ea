#include "capture/stamp_line.h"

#include <algorithm>
#include <cmath>

namespace lumvar::capture {

void StampLine::start(double rate, double frame, double nanos) {
    rate_ = rate;
    originFrame_ = frame;
    originNanos_ = nanos;
    intercept_ = 0.0;
    slope_ = 1e9 / rate;
    scatter_ = farthest_ = 0.0;
    lastPoint_ = frame;
    frames_[0] = nanos_[0] = 0.0;
    count_ = 1;
    next_ = 1;
}

bool StampLine::add(double frame, double nanos) {
    if (std::fabs(nanos - nanosAt(frame)) > std::clamp(3.0 * farthest_, kMinJumpNanos, kMaxJumpNanos)) {
        start(rate_, frame, nanos);
        return false;
    }
    if (frame - lastPoint_ < kSpacing * rate_) return true;
    lastPoint_ = frame;
    frames_[next_] = frame - originFrame_;
    nanos_[next_] = nanos - originNanos_;
    next_ = (next_ + 1) % kPoints;
    count_ = std::min(count_ + 1, kPoints);
    fit();
    return true;
}

// Least squares over the points, centred on their means for precision, with the nominal slope as a
// prior: a few points cannot tilt the line far, and the fit moves from the prior to the points' own
// slope without a step as they come. The prior weighs more the more the points scatter: exact stamps
// give their drift within seconds, stamps that wander by milliseconds only over the whole window.
void StampLine::fit() {
    double meanFrame = 0.0, meanNanos = 0.0;
    for (std::size_t i = 0; i < count_; ++i) meanFrame += frames_[i], meanNanos += nanos_[i];
    meanFrame /= static_cast<double>(count_);
    meanNanos /= static_cast<double>(count_);
    double xy = 0.0, xx = 0.0;
    for (std::size_t i = 0; i < count_; ++i) {
        xy += (frames_[i] - meanFrame) * (nanos_[i] - meanNanos);
        xx += (frames_[i] - meanFrame) * (frames_[i] - meanFrame);
    }
    const double nominal = 1e9 / rate_;
    const double wander = scatter_ / kWanderNanos;
    const double prior = (kPriorSeconds + kPriorPerWander * wander * wander) * rate_ * rate_;
    slope_ = std::clamp((xy + prior * nominal) / (xx + prior), nominal * (1.0 - kMaxDrift),
                        nominal * (1.0 + kMaxDrift));
    intercept_ = meanNanos - slope_ * meanFrame;
    double squares = 0.0;
    farthest_ = 0.0;
    for (std::size_t i = 0; i < count_; ++i) {
        const double off = nanos_[i] - intercept_ - slope_ * frames_[i];
        squares += off * off;
        farthest_ = std::max(farthest_, std::fabs(off));
    }
    scatter_ = std::sqrt(squares / static_cast<double>(count_));
}

}  // namespace lumvar::capture
