// Clock: the source of time for every timer and timestamp in Pallix.
//
// Components take a Clock so that tests can drive time virtually through
// ManualClock; production code uses SystemClock::instance(). A Clock is safe
// to read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

#include "core/ThreadAnnotations.h"

namespace pallix {

using Duration = std::chrono::nanoseconds;
using MonoTime = std::chrono::steady_clock::time_point;
// A wall-clock date, as persisted (catalog dates, last-scan times).
using Date = std::chrono::system_clock::time_point;

// Seconds since 1970 as a double, and back; the persisted form of dates.
double secondsSince1970(Date date);
Date dateFromSecondsSince1970(double seconds);

constexpr Duration seconds(double s) {
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
constexpr Duration milliseconds(double ms) {
  return std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(ms));
}
inline double toSeconds(Duration d) {
  return std::chrono::duration<double>(d).count();
}

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time, for delays and elapsed-time measurements.
  virtual MonoTime now() const = 0;
  // Wall-clock time, for dates that are stored or shown.
  virtual Date wallNow() const = 0;
};

class SystemClock final : public Clock {
 public:
  static SystemClock& instance();
  MonoTime now() const override { return std::chrono::steady_clock::now(); }
  Date wallNow() const override { return std::chrono::system_clock::now(); }
};

// A clock that moves only when told. Monotonic and wall time advance together.
class ManualClock final : public Clock {
 public:
  ManualClock();
  MonoTime now() const override;
  Date wallNow() const override;
  void advance(Duration d);
  // Moves the monotonic time forward to `t` (never backwards).
  void advanceTo(MonoTime t);
  void setWallNow(Date date);

 private:
  mutable Mutex mutex_;
  MonoTime mono_ GUARDED_BY(mutex_);
  Date wall_ GUARDED_BY(mutex_);
};

}  // namespace pallix
