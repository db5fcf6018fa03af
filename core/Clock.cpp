#include "core/Clock.h"

namespace pallix {

double secondsSince1970(Date date) {
  return std::chrono::duration<double>(date.time_since_epoch()).count();
}

Date dateFromSecondsSince1970(double seconds) {
  return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds)));
}

SystemClock& SystemClock::instance() {
  static SystemClock clock;
  return clock;
}

// Virtual time starts at a fixed, recognisable date so that test output is
// reproducible: 2026-01-01 00:00:00 UTC.
ManualClock::ManualClock() : mono_(MonoTime(std::chrono::hours(1))), wall_(dateFromSecondsSince1970(1767225600.0)) {}

MonoTime ManualClock::now() const {
  MutexLock lock(mutex_);
  return mono_;
}

Date ManualClock::wallNow() const {
  MutexLock lock(mutex_);
  return wall_;
}

void ManualClock::advance(Duration d) {
  if (d <= Duration::zero()) return;
  MutexLock lock(mutex_);
  mono_ += d;
  wall_ += std::chrono::duration_cast<Date::duration>(d);
}

void ManualClock::advanceTo(MonoTime t) {
  Duration d;
  {
    MutexLock lock(mutex_);
    d = t - mono_;
  }
  advance(d);
}

void ManualClock::setWallNow(Date date) {
  MutexLock lock(mutex_);
  wall_ = date;
}

}  // namespace pallix
