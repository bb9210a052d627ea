#pragma once

#include <array>
#include <cstddef>

namespace lumvar::capture {

// Where a stream's frames lie in time, from the stamps of its chunks: the straight line that fits the
// recent stamps best (least squares over the last kSeconds, one point every kSpacing), so that a clock
// that drifts is followed by its slope, while stamps that wander around the truth by a millisecond or
// more (a server's reports) move the line by a small part of that. A stamp further from the line than
// its usual scatter allows is a jump of the stream's clock (a hole, a new placement): the line starts
// afresh there. No allocation.
class StampLine {
  public:
    static constexpr double kSpacing = 0.1;  // seconds
    static constexpr std::size_t kPoints = 200;
    // A stamp this far from the line starts it afresh at least; more when the stamps scatter (three
    // times the farthest point from the line), up to kMaxJumpNanos.
    static constexpr double kMinJumpNanos = 1e6;
    static constexpr double kMaxJumpNanos = 20e6;
    // The steepest the line may get: clocks of real devices differ by far less.
    static constexpr double kMaxDrift = 0.01;
    // The nominal slope's weight in the fit, as the points' spread (in seconds squared) that equals it:
    // kPriorSeconds, and kPriorPerWander more for each kWanderNanos of scatter, squared.
    static constexpr double kPriorSeconds = 8.0;
    static constexpr double kPriorPerWander = 2.0;
    static constexpr double kWanderNanos = 1e5;

    // A line at `rate` frames a second through this first stamp.
    void start(double rate, double frame, double nanos);
    // The stamp of `frame`; whether the line went on (false: it started afresh at it).
    bool add(double frame, double nanos);

    double nanosAt(double frame) const { return originNanos_ + intercept_ + slope_ * (frame - originFrame_); }
    double frameAt(double nanos) const { return originFrame_ + (nanos - originNanos_ - intercept_) / slope_; }
    // Nanoseconds a frame, as the line has it.
    double slope() const { return slope_; }
    // How far the points lie from the line (root mean square), in nanoseconds.
    double scatter() const { return scatter_; }

  private:
    void fit();

    double rate_ = 0.0;
    double originFrame_ = 0.0;
    double originNanos_ = 0.0;
    double intercept_ = 0.0;
    double slope_ = 0.0;
    double scatter_ = 0.0;
    double farthest_ = 0.0;
    double lastPoint_ = 0.0;                // the frame of the newest point
    std::array<double, kPoints> frames_{};  // from originFrame_
    std::array<double, kPoints> nanos_{};   // from originNanos_
    std::size_t count_ = 0;
    std::size_t next_ = 0;
};

}  // namespace lumvar::capture
