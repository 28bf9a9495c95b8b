// Monotonic-clock timing of stages: a stopwatch, a scope that adds its time to
// an accumulator, and an exact span between two instants.
#pragma once

#include <chrono>
#include <cstdint>

namespace tarvix {

using MonotonicClock = std::chrono::steady_clock;

// Seconds from start to end, never negative. Whole seconds and the nanosecond
// remainder are converted apart so that long spans keep their last digits.
inline double seconds_between(MonotonicClock::time_point start, MonotonicClock::time_point end) {
  if (end <= start) return 0.0;
  const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
  return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

class Stopwatch {
 public:
  Stopwatch() : start_(MonotonicClock::now()) {}
  double seconds() const {
    const double s = std::chrono::duration<double>(MonotonicClock::now() - start_).count();
    return s > 0 ? s : 0.0;
  }
  MonotonicClock::time_point start() const { return start_; }

 private:
  MonotonicClock::time_point start_;
};

// Adds the time spent in a scope to an accumulator.
class Lap {
 public:
  explicit Lap(double& total) : total_(total) {}
  ~Lap() { total_ += clock_.seconds(); }
  Lap(const Lap&) = delete;
  Lap& operator=(const Lap&) = delete;

 private:
  double& total_;
  Stopwatch clock_;
};

}  // namespace tarvix
